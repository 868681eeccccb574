#!/bin/sh
# Installs a built tree into a scratch prefix and checks that exactly the two programs, their
# manual pages and the sample configuration land there, with their modes, that each installed
# program and its page name the same paths, and that the FreeBSD port's plist lists the same
# files.
# Arguments: build-dir sbindir sysconfdir mandir version config log lock zfs sample-source plist
#   check-state check-textfile
set -eu
build=$1 sbindir=$2 sysconfdir=$3 mandir=$4 version=$5
config=$6 log=$7 lock=$8 zfs=$9
shift 9
sample_source=$1 plist=$2 state=$3 textfile=$4

case "$sbindir$sysconfdir$mandir" in
  */../* | ../*) echo "install directories leave the prefix"; exit 77 ;;
esac
for dir in "$sbindir" "$sysconfdir" "$mandir"; do
  case "$dir" in /*) echo "absolute install directory $dir; nothing to check"; exit 77 ;; esac
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
root=$scratch/prefix
failed=0
fail() { echo "FAIL: $*"; failed=1; }

cmake --install "$build" --prefix "$root" >"$scratch/install.log" 2>&1 ||
  { cat "$scratch/install.log"; echo "FAIL: cmake --install"; exit 1; }

expected=$(printf '%s\n' "$sbindir/corvatel" "$sbindir/corvatel-check" \
  "$sysconfdir/corvatel.conf.sample" "$mandir/man8/corvatel.8" "$mandir/man8/corvatel-check.8" |
  sort)
actual=$(cd "$root" && find . ! -type d | sed 's|^\./||' | sort)
if [ "$actual" != "$expected" ]; then
  fail "installed files"
  printf '%s\n' "$actual"
  echo "instead of"
  printf '%s\n' "$expected"
  exit 1
fi

# The port installs the same files, the pages compressed and the sample as a sample, and adds
# its newsyslog entry and periodic script itself.
if [ "$sbindir $sysconfdir $mandir" = "sbin etc share/man" ]; then
  from_plist=$(sed -e 's/^@sample //' -e 's/\.gz$//' "$plist" |
    grep -v -e '^etc/newsyslog\.conf\.d/corvatel\.conf$' \
      -e '^etc/periodic/daily/405\.status-corvatel$' | sort)
  if [ "$from_plist" != "$expected" ]; then
    fail "$plist lists"
    printf '%s\n' "$from_plist"
  fi
fi

mode() { ls -l "$1" | cut -c1-10; }
for file in "$sbindir/corvatel" "$sbindir/corvatel-check"; do
  [ "$(mode "$root/$file")" = "-rwxr-xr-x" ] || fail "$file mode $(mode "$root/$file")"
done
for file in "$sysconfdir/corvatel.conf.sample" "$mandir/man8/corvatel.8" \
  "$mandir/man8/corvatel-check.8"; do
  [ "$(mode "$root/$file")" = "-rw-r--r--" ] || fail "$file mode $(mode "$root/$file")"
done
cmp -s "$sample_source" "$root/$sysconfdir/corvatel.conf.sample" ||
  fail "the installed sample differs from $sample_source"

program=$root/$sbindir/corvatel
[ "$("$program" --version)" = "corvatel $version (portbld)" ] || fail "version line: $("$program" --version)"
help=$("$program" --help)
help_paths=$(printf '%s\n' "$help" | sed -nE 's/^  (Config|Log|Lock): *//p')
expected_paths=$(printf '%s\n' "$config" "$log" "$lock")
[ "$help_paths" = "$expected_paths" ] || fail "--help shows $help_paths"

# FILES of the page: the configuration, the sample beside it, the log, the lock, zfs.
page=$root/$mandir/man8/corvatel.8
page_paths=$(sed -n '/^\.Sh FILES/,/^\.Sh /s/^\.It Pa //p' "$page")
sample_path=$(dirname "$config")/corvatel.conf.sample
expected_page=$(printf '%s\n' "$config" "$sample_path" "$log" "$lock" "$zfs")
if [ "$page_paths" != "$expected_page" ]; then
  fail "FILES of the page"
  printf '%s\n' "$page_paths"
fi
# The check likewise: its version, the paths of its help and of its page's FILES.
check=$root/$sbindir/corvatel-check
check_status=0
check_version=$("$check" --version) || check_status=$?
[ "$check_status" = 3 ] || fail "corvatel-check --version exit status $check_status"
[ "$check_version" = "corvatel-check $version (portbld)" ] || fail "check version: $check_version"
check_help=$("$check" --help) || true
check_paths=$(printf '%s\n' "$check_help" | sed -nE 's/^  (Config|Log|State|Textfile|zfs): *//p')
expected_check_paths=$(printf '%s\n' "$config" "$log" "$state" "$textfile" "$zfs")
[ "$check_paths" = "$expected_check_paths" ] || fail "corvatel-check --help shows $check_paths"
check_page_paths=$(sed -n '/^\.Sh FILES/,/^\.Sh /s/^\.It Pa //p' "$root/$mandir/man8/corvatel-check.8")
if [ "$check_page_paths" != "$expected_check_paths" ]; then
  fail "FILES of the check's page"
  printf '%s\n' "$check_page_paths"
fi
exit $failed
