#!/bin/sh
# Configures scratch builds and checks the paths that would be built into the program and
# written into its manual page, and where the sample configuration is installed: the
# configuration file is in GNUInstallDirs' full sysconfdir (/usr/local/etc for /usr/local,
# /etc for /usr), an explicit setting wins over every prefix, the other paths stay system paths,
# and relative paths are refused.
# Arguments: source-dir generator c++-compiler
set -eu
source=$1 generator=$2 compiler=$3

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
build=$scratch/build
failed=0
fail() { echo "FAIL: $*"; failed=1; }

configure() {
  env -u CMAKE_INSTALL_PREFIX cmake -S "$source" -B "$build" -G "$generator" \
    -DCMAKE_CXX_COMPILER="$compiler" -DCORVATEL_BUILD_TESTS=OFF "$@" >"$scratch/configure.log" 2>&1
}

# The values of one compile definition of the program, as the generator wrote them.
defined() {
  grep -rhoE "$1=\\\\?\"[^\"\\\\]*" "$build" --include=build.ninja --include=flags.make |
    sed 's/.*"//' | sort -u
}

# A path in the FILES section of the configured page.
page_files() { sed -n '/^\.Sh FILES/,/^\.Sh /s/^\.It Pa //p' "$build/man/corvatel.8"; }

# Runs only the install script of packaging/ (the sample; nothing there needs a build) into a
# scratch DESTDIR and checks that exactly the sample lands at $2.
expect_sample_at() {  # label path
  rm -rf "$scratch/root"
  if ! DESTDIR=$scratch/root cmake -P "$build/packaging/cmake_install.cmake" >"$scratch/install.log" 2>&1; then
    cat "$scratch/install.log"
    fail "$1: installing the sample"
    return
  fi
  installed=$(cd "$scratch/root" && find . ! -type d | sed 's|^\.||')
  [ "$installed" = "$2" ] || fail "$1: the sample installed as '$installed', not $2"
}

expect() {  # label config log lock zfs
  label=$1
  [ "$(defined CORVATEL_CONFIG_PATH)" = "$2" ] || fail "$label: config path $(defined CORVATEL_CONFIG_PATH)"
  [ "$(defined CORVATEL_LOG_PATH)" = "$3" ] || fail "$label: log path $(defined CORVATEL_LOG_PATH)"
  [ "$(defined CORVATEL_LOCK_PATH)" = "$4" ] || fail "$label: lock path $(defined CORVATEL_LOCK_PATH)"
  [ "$(defined CORVATEL_ZFS_PATH)" = "$5" ] || fail "$label: zfs path $(defined CORVATEL_ZFS_PATH)"
  page_files | grep -qxF "$2" || fail "$label: the page does not name $2"
}

configure || { cat "$scratch/configure.log"; fail "default configure"; exit 1; }
expect "default prefix" /usr/local/etc/corvatel.conf /var/log/corvatel.log /var/run/corvatel.lock /sbin/zfs
# corvatel-check's state and textfile: where the system keeps such files, and where the node
# exporter's textfile collector reads by default. Its page names them and its own path.
if [ "$(uname -s)" = FreeBSD ]; then
  state_default=/var/db/corvatel-check.state
  textfile_default=/var/tmp/node_exporter/corvatel.prom
else
  state_default=/var/lib/corvatel/check.state
  textfile_default=/var/lib/prometheus/node-exporter/corvatel.prom
fi
check_page_files() { sed -n '/^\.Sh FILES/,/^\.Sh /s/^\.It Pa //p' "$build/man/corvatel-check.8"; }
expect_check() {  # label state textfile
  [ "$(defined CORVATEL_CHECK_STATE_PATH)" = "$2" ] || fail "$1: state path $(defined CORVATEL_CHECK_STATE_PATH)"
  [ "$(defined CORVATEL_CHECK_TEXTFILE_PATH)" = "$3" ] ||
    fail "$1: textfile path $(defined CORVATEL_CHECK_TEXTFILE_PATH)"
  check_page_files | grep -qxF "$2" || fail "$1: the check's page does not name $2"
  check_page_files | grep -qxF "$3" || fail "$1: the check's page does not name $3"
}
expect_check "default" "$state_default" "$textfile_default"
grep -qF '/usr/local/sbin/corvatel-check -t 50' "$build/man/corvatel-check.8" ||
  fail "the check's page does not run /usr/local/sbin/corvatel-check"
grep -qx 'check=/usr/local/sbin/corvatel-check' "$source/contrib/periodic/daily/405.status-corvatel" ||
  fail "the periodic script does not run /usr/local/sbin/corvatel-check"
expect_sample_at "default prefix" /usr/local/etc/corvatel.conf.sample
grep -qF '/usr/local/sbin/corvatel' "$build/man/corvatel.8" || fail "the page's cron line"
# The operator snippets are written for the default paths.
contrib=$source/contrib
grep -qx '/var/log/corvatel.log[[:space:]].*' "$contrib/newsyslog.conf.d/corvatel.conf" ||
  fail "the newsyslog entry does not name /var/log/corvatel.log"
grep -qx '/var/log/corvatel.log {' "$contrib/logrotate.d/corvatel" ||
  fail "the logrotate entry does not name /var/log/corvatel.log"
grep -qx '\*[[:space:]]\*[[:space:]]\*[[:space:]]\*[[:space:]]\*[[:space:]]root[[:space:]]/usr/local/sbin/corvatel' \
  "$contrib/cron.d/corvatel" || fail "the cron line does not run /usr/local/sbin/corvatel"

configure -DCMAKE_INSTALL_PREFIX=/usr/local || fail "configure with /usr/local"
expect "prefix /usr/local" /usr/local/etc/corvatel.conf /var/log/corvatel.log /var/run/corvatel.lock /sbin/zfs
expect_sample_at "prefix /usr/local" /usr/local/etc/corvatel.conf.sample

# A Linux package: the configuration in /etc, not /usr/etc, and the sample beside it.
configure -DCMAKE_INSTALL_PREFIX=/usr || fail "configure with /usr"
expect "prefix /usr" /etc/corvatel.conf /var/log/corvatel.log /var/run/corvatel.lock /sbin/zfs
page_files | grep -qxF /etc/corvatel.conf.sample || fail "prefix /usr: the page's sample path"
grep -qF '/usr/sbin/corvatel' "$build/man/corvatel.8" || fail "prefix /usr: the page's cron line"
expect_sample_at "prefix /usr" /etc/corvatel.conf.sample

# GNUInstallDirs puts the sysconfdir of a prefix below /opt into /etc/opt.
configure -DCMAKE_INSTALL_PREFIX=/opt/cv || fail "configure with /opt/cv"
expect "prefix /opt/cv" /etc/opt/cv/corvatel.conf /var/log/corvatel.log /var/run/corvatel.lock /sbin/zfs
page_files | grep -qxF /etc/opt/cv/corvatel.conf.sample || fail "the page's sample path"
grep -qF '/opt/cv/sbin/corvatel' "$build/man/corvatel.8" || fail "the page's cron line"
expect_sample_at "prefix /opt/cv" /etc/opt/cv/corvatel.conf.sample

# A prefix whose sysconfdir stays inside it.
configure -DCMAKE_INSTALL_PREFIX=/srv/cv || fail "configure with /srv/cv"
expect "prefix /srv/cv" /srv/cv/etc/corvatel.conf /var/log/corvatel.log /var/run/corvatel.lock /sbin/zfs
expect_sample_at "prefix /srv/cv" /srv/cv/etc/corvatel.conf.sample

# A changed prefix on the same build folder moves the default along.
configure -DCMAKE_INSTALL_PREFIX=/srv/other || fail "configure with /srv/other"
expect "prefix /srv/other" /srv/other/etc/corvatel.conf /var/log/corvatel.log /var/run/corvatel.lock /sbin/zfs

configure -DCMAKE_INSTALL_PREFIX=/usr/local -DCMAKE_INSTALL_SYSCONFDIR=/etc || fail "configure with /etc"
expect "sysconfdir /etc" /etc/corvatel.conf /var/log/corvatel.log /var/run/corvatel.lock /sbin/zfs
expect_sample_at "sysconfdir /etc" /etc/corvatel.conf.sample

# An explicit path wins, and keeps winning when the prefix changes afterwards.
configure -DCMAKE_INSTALL_SYSCONFDIR=etc -DCORVATEL_CONFIG_PATH=/srv/cv/snap.conf \
  -DCORVATEL_LOG_PATH=/srv/cv/snap.log -DCORVATEL_LOCK_PATH=/srv/cv/snap.lock \
  -DCORVATEL_ZFS_PATH=/usr/sbin/zfs || fail "configure with explicit paths"
expect "explicit paths" /srv/cv/snap.conf /srv/cv/snap.log /srv/cv/snap.lock /usr/sbin/zfs
configure -DCMAKE_INSTALL_PREFIX=/opt/third || fail "configure with /opt/third"
expect "explicit paths, new prefix" /srv/cv/snap.conf /srv/cv/snap.log /srv/cv/snap.lock /usr/sbin/zfs

configure -DCORVATEL_CHECK_STATE_PATH=/srv/cv/check.state \
  -DCORVATEL_CHECK_TEXTFILE_PATH=/srv/prom/cv.prom || fail "configure with explicit check paths"
expect_check "explicit check paths" /srv/cv/check.state /srv/prom/cv.prom

# A relative path would be looked up from wherever cron starts the program.
if configure -DCORVATEL_LOG_PATH=corvatel.log; then
  fail "a relative log path was accepted"
elif ! grep -q "CORVATEL_LOG_PATH must be an absolute path" "$scratch/configure.log"; then
  cat "$scratch/configure.log"
  fail "no message for the relative log path"
fi
if configure -DCORVATEL_LOG_PATH=/var/log/corvatel.log -DCORVATEL_CHECK_STATE_PATH=check.state; then
  fail "a relative state path was accepted"
elif ! grep -q "CORVATEL_CHECK_STATE_PATH must be an absolute path" "$scratch/configure.log"; then
  cat "$scratch/configure.log"
  fail "no message for the relative state path"
fi
exit $failed
