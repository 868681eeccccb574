# corvatel-check against real zfs after corvatel's runs: a snapshotted entry that is then
# missed while cron is stopped, an idle one, a held snapshot beyond retention, a configured
# dataset that is gone, an invalid line; the error lines between two checks, the clock set
# forward by hours, and the daily report. The checks run within a minute of each other, as
# real time passing; `date -s` an hour ahead is a stepped clock to the check. A new
# snapshot beside one beyond retention counts only once corvatel's run has had -c seconds.
pool tank
fs tank/a
fs tank/b
fs tank/c
zone UTC
clock "2026-12-10 09:00:00"
snap tank/c@h_2026-12-10_09:00:00p0000
hold tank/c@h_2026-12-10_09:00:00p0000 keep
config <<'CONF'
tank/a,1,3,h,no,1000000
tank/b,1,3,h,no,1000000
tank/c,1,1,h,no,0
tank/gone,1,3,h,no,0
bad line
CONF
write tank/a 2048
run "2026-12-10 10:00:00"
check "2026-12-10 10:00:20" -v
write tank/a 2048
check "2026-12-10 10:00:30"
# cron is stopped: 10:01 passes without corvatel
check "2026-12-10 10:01:10" -w 0 -c 0
run "2026-12-10 10:01:30"
check "2026-12-10 10:01:40" -v
release tank/c@h_2026-12-10_09:00:00p0000 keep
run "2026-12-10 10:02:00"
check "2026-12-10 10:02:05"
check "2026-12-10 10:02:10" -r
check "2026-12-10 12:00:30"
