#!/bin/sh
# Lints a configured manual page with mandoc, which must report nothing. The one message
# tolerated is that a page named under SEE ALSO is not installed on this machine (Debian has no
# zfs(8) or newsyslog.conf(5)); only the pages given after the page, "name section" each, in
# the order of SEE ALSO, may be missing. Exits 77 (skipped) when mandoc is not installed.
set -eu
page=$1
shift
expected_references=$(printf '%s\n' "$@")

if ! command -v mandoc >/dev/null 2>&1; then
  echo "mandoc is not installed; skipping the lint"
  exit 77
fi
if grep -n '@[A-Z_]*@' "$page"; then
  echo "FAIL: $page has placeholders that CMake did not fill in"
  exit 1
fi

messages=$(mandoc -T lint "$page" 2>&1) || true
failed=0
printf '%s\n' "$messages" | while IFS= read -r line; do
  [ -n "$line" ] || continue
  reference=${line##*: referenced manual not found: Xr }
  reference=${reference% (* times)}
  if [ "$reference" != "$line" ] &&
     printf '%s\n' "$expected_references" | grep -qxF "$reference"; then
    echo "note (not installed here): $line"
  else
    echo "FAIL: $line"
    exit 1
  fi
done || failed=1

# Every page that SEE ALSO names is one of the expected references, and the other way round.
references=$(sed -n '/^\.Sh SEE ALSO/,/^\.Sh /s/^\.Xr \([^ ]*\) \([0-9]\).*/\1 \2/p' "$page")
if [ "$references" != "$expected_references" ]; then
  echo "FAIL: SEE ALSO names"
  printf '%s\n' "$references"
  echo "instead of"
  printf '%s\n' "$expected_references"
  failed=1
fi
exit $failed
