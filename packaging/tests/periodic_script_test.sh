#!/bin/sh
# Runs the periodic(8) daily script with corvatel-check replaced by a stand-in that exits with a
# chosen status: the script must stay silent unless enabled, print the check's report under its
# heading, and turn the check's status into periodic's (0 OK, 1 WARNING, 3 CRITICAL or UNKNOWN,
# never masked; 2 when the check is not installed). The shipped script must call the program by
# its full path.
# Arguments: script
set -eu
script=$1

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

grep -qx 'check=/usr/local/sbin/corvatel-check' "$script" ||
  fail "the script does not call /usr/local/sbin/corvatel-check"
sh -n "$script" || fail "sh -n"

stand_in=$scratch/corvatel-check
sed "s|^check=.*|check=$stand_in|" "$script" >"$scratch/script"

run() {  # enable-value check-status-or-"missing"; sets out and status
  rm -f "$stand_in"
  if [ "$2" != missing ]; then
    printf '#!/bin/sh\necho "CORVATEL report $*"\nexit %s\n' "$2" >"$stand_in"
    chmod 755 "$stand_in"
  fi
  status=0
  out=$(env daily_status_corvatel_enable="$1" sh "$scratch/script") || status=$?
}

expect() {  # label status output
  [ "$status" = "$2" ] || fail "$1: exit status $status, not $2"
  [ "$out" = "$3" ] || fail "$1: printed '$out'"
}

heading='
corvatel snapshots:'
for enable in YES yes Yes; do
  run "$enable" 0
  expect "$enable, OK" 0 "$heading
CORVATEL report -r"
done
run YES 1 && expect "WARNING" 1 "$heading
CORVATEL report -r"
run YES 2 && expect "CRITICAL" 3 "$heading
CORVATEL report -r"
run YES 3 && expect "UNKNOWN" 3 "$heading
CORVATEL report -r"
run YES missing && expect "not installed" 2 "$heading
$stand_in is not installed"
for enable in NO no ""; do
  run "$enable" 2
  expect "'$enable'" 0 ""
done
exit $failed
