#!/bin/sh
# Checks the systemd units in contrib/systemd: they hold the settings that make them the cron
# line's equivalent (a oneshot run of the same program, at second 0 of every minute, to the
# second, no catch-up of missed minutes), the calendar elapses once a minute, and
# "systemd-analyze verify" accepts both units without a single message. ExecStart is pointed at
# the built program in a scratch copy, since verify requires it to exist. Exits 77 (skipped)
# when systemd-analyze is not installed.
# Arguments: source-dir program man-page
set -eu
source=$1 program=$2 page=$3
units=$source/contrib/systemd

if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "systemd-analyze is not installed; skipping the check of the systemd units"
  exit 77
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

has() {  # file line
  grep -qxF "$2" "$1" || fail "$(basename "$1") lacks the line '$2'"
}
has "$units/corvatel.service" "Type=oneshot"
has "$units/corvatel.timer" "OnCalendar=*-*-* *:*:00"
has "$units/corvatel.timer" "AccuracySec=1s"
has "$units/corvatel.timer" "Persistent=false"
has "$units/corvatel.timer" "WantedBy=timers.target"
grep -q '^Unit=' "$units/corvatel.timer" && fail "corvatel.timer names a unit; it starts corvatel.service"
# The same program as the cron line.
cron_program=$(sed -n 's/^\*[[:space:]]\*[[:space:]]\*[[:space:]]\*[[:space:]]\*[[:space:]]root[[:space:]]//p' \
  "$source/contrib/cron.d/corvatel")
has "$units/corvatel.service" "ExecStart=$cron_program"

# From 14:00:30 the timer elapses at second 0 of each following minute.
calendar=$(sed -n 's/^OnCalendar=//p' "$units/corvatel.timer")
elapses=$(TZ=UTC0 systemd-analyze calendar --iterations=3 --base-time='2025-03-01 14:00:30 UTC' \
  "$calendar" | sed -nE 's/^ *(Next elapse|Iter\. #[0-9]+): //p')
expected_elapses='Sat 2025-03-01 14:01:00 UTC
Sat 2025-03-01 14:02:00 UTC
Sat 2025-03-01 14:03:00 UTC'
[ "$elapses" = "$expected_elapses" ] || fail "OnCalendar=$calendar elapses at: $elapses"

# verify looks up Documentation=man:corvatel(8) with man, and requires ExecStart to exist.
mkdir -p "$scratch/bin" "$scratch/units" "$scratch/man/man8"
cp "$program" "$scratch/bin/corvatel"
cp "$page" "$scratch/man/man8/corvatel.8"
man_option=
if ! command -v man >/dev/null 2>&1; then
  echo "note: man is not installed; the Documentation= page is not looked up"
  man_option=--man=no
fi

# Every message counts: verify exits 0 after a setting it could not parse and ignored.
verify() {  # folder
  MANPATH=$scratch/man systemd-analyze verify $man_option \
    "$1/corvatel.service" "$1/corvatel.timer" >"$scratch/verify.log" 2>&1 && [ ! -s "$scratch/verify.log" ]
}
copy_units() {  # folder
  mkdir -p "$1"
  sed "s|^ExecStart=$cron_program\$|ExecStart=$scratch/bin/corvatel|" "$units/corvatel.service" \
    >"$1/corvatel.service"
  cp "$units/corvatel.timer" "$1/corvatel.timer"
}

copy_units "$scratch/units"
grep -qxF "ExecStart=$scratch/bin/corvatel" "$scratch/units/corvatel.service" ||
  fail "ExecStart was not pointed at the built program"
if ! verify "$scratch/units"; then
  cat "$scratch/verify.log"
  fail "systemd-analyze verify does not accept the units"
fi

# The check itself must catch a setting that verify only warns about.
copy_units "$scratch/broken"
sed 's/^AccuracySec=.*/AccuracySec=fast/' "$units/corvatel.timer" >"$scratch/broken/corvatel.timer"
verify "$scratch/broken" && fail "a timer with AccuracySec=fast passed the check"
exit $failed
