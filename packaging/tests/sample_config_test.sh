#!/bin/sh
# Runs the program on the sample configuration against the simulated zfs: as shipped it must do
# nothing at all, and with its example lines uncommented every example must be accepted and
# snapshotted at midnight.
# Arguments: testdrive zfs-sim sample
set -eu
testdrive=$1 zfs_sim=$2 sample=$3

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }
midnight=1740787200  # 2025-03-01 00:00:00 UTC: every entry is due

run() {  # config-file
  mkdir -p "$scratch/sim"
  status=0
  TZ=UTC ZFS_SIM_STATE=$scratch/sim CORVATEL_TEST_CONFIG=$1 CORVATEL_TEST_LOG=$scratch/log \
    CORVATEL_TEST_LOCK=$scratch/lock CORVATEL_TEST_ZFS=$zfs_sim CORVATEL_TEST_TIME=$midnight \
    "$testdrive" >"$scratch/stdout" 2>"$scratch/stderr" || status=$?
}

# As shipped: every line a comment, so no zfs command and no log line.
run "$sample"
[ "$status" = 0 ] || fail "the sample as shipped exits $status"
[ ! -s "$scratch/log" ] || { fail "the sample as shipped logs"; cat "$scratch/log"; }
[ ! -e "$scratch/sim/calls" ] || fail "the sample as shipped runs zfs"
[ ! -s "$scratch/stderr" ] || { fail "the sample as shipped writes to standard error"; cat "$scratch/stderr"; }

# The examples: lines of a '#' directly followed by a dataset name and five more fields.
sed -n 's/^#\([A-Za-z][^,]*\(,[^,]*\)\{5\}\)$/\1/p' "$sample" >"$scratch/examples.conf"
examples=$(($(wc -l <"$scratch/examples.conf")))  # a number: FreeBSD's wc pads it with blanks
[ "$examples" -ge 2 ] || fail "the sample has $examples example lines"

# A pool with every example dataset and its ancestors, all with data written since.
rm -rf "$scratch/sim" "$scratch/log"
mkdir -p "$scratch/sim"
{
  printf 'clock\t%s\ntxg\t1\n' "$midnight"
  cut -d, -f1 "$scratch/examples.conf" | while IFS= read -r dataset; do
    while :; do
      echo "$dataset"
      case "$dataset" in */*) dataset=${dataset%/*} ;; *) break ;; esac
    done
  done | sort -u | while IFS= read -r dataset; do
    printf 'dataset\t%s\t50000000\tfilesystem\n' "$dataset"
  done
} >"$scratch/sim/state"
run "$scratch/examples.conf"
[ "$status" = 0 ] || fail "the examples exit $status"
if grep -v ' Created=' "$scratch/log"; then fail "the examples log more than Created= lines"; fi
created=$(grep -c ' Created=' "$scratch/log" || true)
[ "$created" -eq "$examples" ] || fail "$created snapshots for $examples examples"
while IFS=, read -r dataset interval retention prefix recursive min_bytes; do
  grep -qF " Created=$dataset@${prefix}_2025-03-01_00:00:00p0000 " "$scratch/log" ||
    fail "no snapshot for the example $dataset,$prefix"
done <"$scratch/examples.conf"
[ "$failed" = 0 ] || cat "$scratch/log"
exit $failed
