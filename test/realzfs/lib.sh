# Scenario steps, sourced by test/realzfs/run-scenario. A scenario is a plain bash script of
# these steps; the same script runs in the guest against real zfs (backend "real") and on the
# host against zfs-sim (backend "sim"), and both leave the same raw record in $out:
#   run.N.exit  run.N.calls  run.N.log  run.N.stderr  snapshots
# where run.N.calls holds one zfs invocation per line, its arguments escaped and tab-joined
# (zfs-sim's "calls" form). Only corvatel's and corvatel-check's own zfs invocations are
# recorded; setup steps (pool, fs, snap, hold, ...) use zfs directly. A run of corvatel-check
# (step `check`) also leaves run.N.kind ("check"), run.N.out (its standard output) and, in the
# guest, run.N.monotonic (the seconds since boot when it started), which the host's run of the
# same check is given as its monotonic clock, as it is given real zfs's `written` values.

zone=UTC
runs=0

die() { echo "scenario step failed: $*" >&2; exit 3; }

# Seconds since the epoch of a local time in the current zone.
epoch_of() { TZ=$zone date -d "$1" +%s || die "bad time '$1'"; }

if [ "$backend" = real ]; then
  zfs_cmd=/usr/sbin/zfs.real
  make_pool() {
    truncate -s 512M "/var/tmp/pool-$1.img"
    zpool create -f -O mountpoint="/pools/$1" "$1" "/var/tmp/pool-$1.img" || die "zpool create $1"
  }
  fs() { "$zfs_cmd" create "$1" || die "zfs create $1"; }
  vol() { "$zfs_cmd" create -V "$2" "$1" || die "zfs create -V $2 $1"; }
  snap() { "$zfs_cmd" snapshot "$@" || die "zfs snapshot $*"; }
  hold() { "$zfs_cmd" hold "$2" "$1" || die "zfs hold $2 $1"; }
  release() { "$zfs_cmd" release "$2" "$1" || die "zfs release $2 $1"; }
  clone() { "$zfs_cmd" clone "$1" "$2" || die "zfs clone $1 $2"; }
  # Writes KIB kibibytes (a multiple of 64) of incompressible data into a filesystem.
  write() {
    local mountpoint
    mountpoint=$("$zfs_cmd" get -H -o value mountpoint "$1") || die "no mountpoint for $1"
    dd if=/dev/urandom of="$mountpoint/data.$RANDOM$RANDOM" bs=64K count=$(($2 / 64)) \
      conv=fsync status=none || die "write $1"
  }
  set_zone() { ln -sf "/usr/share/zoneinfo/$1" /etc/localtime || die "zone $1"; }
  set_clock() { date -s "@$1" >/dev/null || die "date -s @$1"; }
  config_path=/usr/local/etc/corvatel.conf
  log_path=/var/log/corvatel.log
  lock_path=/var/run/corvatel.lock
  record_dir=/run/zfs-record
  mkdir -p "$record_dir"
  start_corvatel() { /usr/local/sbin/corvatel; }
  state_path=/var/lib/corvatel/check.state
  start_check() {
    awk '{ print int($1) }' /proc/uptime >"$out/run.$runs.monotonic"
    /usr/local/sbin/corvatel-check "$@"
  }
  # written counts synced transaction groups only.
  before_run() { zpool sync || die "zpool sync"; }
  finish() {
    "$zfs_cmd" list -H -t snapshot -o name | LC_ALL=C sort >"$out/snapshots"
    for p in $pools; do zpool destroy -f "$p"; rm -f "/var/tmp/pool-$p.img"; done
    rm -f "$log_path" "$config_path" "$lock_path"
    rm -rf /var/lib/corvatel
  }
else
  # zfs-sim: the state file is edited directly for what corvatel never runs (datasets, holds,
  # clones, the clock); `written` is taken from what real zfs reported in the guest's run.
  state=$work/sim
  mkdir -p "$state"
  printf 'version\t%s\n' "$zfs_version" >"$state/state"
  export ZFS_SIM_STATE=$state
  zfs_cmd=$zfs_sim
  add_line() { printf '%s\n' "$*" >>"$state/state"; }
  make_pool() { add_line "dataset	$1	0	filesystem"; }
  fs() { add_line "dataset	$1	0	filesystem"; }
  vol() { add_line "dataset	$1	0	volume"; }
  snap() { "$zfs_cmd" snapshot "$@" >/dev/null || die "zfs-sim snapshot $*"; }
  hold() { add_line "hold	$1	$2"; }
  release() {
    grep -v -x -F "hold	$1	$2" "$state/state" >"$state/state.new"
    mv "$state/state.new" "$state/state"
  }
  clone() { add_line "clone	$1	$2"; fs "$2"; }
  write() { :; }
  set_zone() { [ -f "/usr/share/zoneinfo/$1" ] || die "no zone $1"; }
  set_clock() {
    sed -i "s/^clock	.*/clock	$1/" "$state/state"
    grep -q "^clock	" "$state/state" || add_line "clock	$1"
  }
  config_path=$work/corvatel.conf
  log_path=$work/corvatel.log
  lock_path=$work/corvatel.lock
  record_dir=$state
  start_corvatel() {
    TZ=$zone CORVATEL_TEST_TIME=$now CORVATEL_TEST_CONFIG=$config_path CORVATEL_TEST_LOG=$log_path \
      CORVATEL_TEST_LOCK=$lock_path CORVATEL_TEST_ZFS=$zfs_sim \
      bash -c 'exec -a /usr/local/sbin/corvatel "$0"' "$testdrive"
  }
  state_path=$work/check.state
  start_check() {
    local monotonic=$now
    [ -f "$guest_out/run.$runs.monotonic" ] && monotonic=$(cat "$guest_out/run.$runs.monotonic")
    TZ=$zone CORVATEL_TEST_TIME=$now CORVATEL_TEST_MONOTONIC=$monotonic \
      CORVATEL_TEST_CONFIG=$config_path CORVATEL_TEST_LOG=$log_path \
      CORVATEL_TEST_STATE=$state_path CORVATEL_TEST_TEXTFILE=$work/corvatel.prom \
      CORVATEL_TEST_ZFS=$zfs_sim \
      bash -c 'exec -a /usr/local/sbin/corvatel-check "$0" "$@"' "$checkdrive" "$@"
  }
  # The guest's `written` values of this run, as real zfs reported them.
  before_run() {
    local got=$guest_out/run.$runs.get name value
    [ -f "$got" ] || return 0
    while IFS='	' read -r name value; do
      awk -F'\t' -v OFS='\t' -v n="$name" -v v="$value" \
        '$1 == "dataset" && $2 == n { $3 = v } { print }' "$state/state" >"$state/state.new"
      mv "$state/state.new" "$state/state"
    done <"$got"
  }
  finish() { "$zfs_cmd" list -H -t snapshot -o name | LC_ALL=C sort >"$out/snapshots"; }
fi

pools=
# pool NAME: a new pool on a file (real) or an empty pool dataset (sim).
pool() { make_pool "$1"; pools="$pools $1"; }

zone() { zone=$1; set_zone "$1"; }
clock() { now=$(epoch_of "$1"); set_clock "$now"; }
config() { cat >"$config_path"; }

# One corvatel run at local time $1 (in the current zone), recorded as run number N.
run() {
  runs=$((runs + 1))
  before_run
  : >"$record_dir/calls"
  rm -f "$record_dir/get"
  local lines=0
  [ -f "$log_path" ] && lines=$(wc -l <"$log_path")
  clock "$1"
  local status=0
  if [ "${2:-}" = locked ]; then
    # Another instance holds the lock for the whole run.
    exec 9>>"$lock_path"
    flock -n 9 || die "cannot take $lock_path"
  fi
  local started=$SECONDS
  start_corvatel 2>"$out/run.$runs.stderr" 9>&- || status=$?
  exec 9>&-
  # A run that finds the lock taken must give up at once, not wait for it.
  if [ "${2:-}" = locked ] && ((SECONDS - started > 5)); then
    die "the run with the lock held took $((SECONDS - started)) s"
  fi
  echo "$status" >"$out/run.$runs.exit"
  cp "$record_dir/calls" "$out/run.$runs.calls"
  [ -f "$record_dir/get" ] && cp "$record_dir/get" "$out/run.$runs.get"
  if [ -f "$log_path" ]; then tail -n +$((lines + 1)) "$log_path"; fi >"$out/run.$runs.log"
}

# One run of corvatel-check at local time $1 (in the current zone) with the options after it,
# recorded as run number N, without corvatel running.
check() {
  runs=$((runs + 1))
  local when=$1
  shift
  before_run
  : >"$record_dir/calls"
  rm -f "$record_dir/get"
  clock "$when"
  local status=0
  start_check "$@" >"$out/run.$runs.out" 2>"$out/run.$runs.stderr" || status=$?
  echo "$status" >"$out/run.$runs.exit"
  echo check >"$out/run.$runs.kind"
  cp "$record_dir/calls" "$out/run.$runs.calls"
  [ -f "$record_dir/get" ] && cp "$record_dir/get" "$out/run.$runs.get"
  : >"$out/run.$runs.log"
}
