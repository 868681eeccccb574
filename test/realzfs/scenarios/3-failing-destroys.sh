# Destroys that fail: a hold and a dependent clone are each logged while the others are still
# pruned; the held snapshot goes once it is released. Also a hold below a recursive snapshot.
pool tank
fs tank/a
fs tank/r
fs tank/r/c
zone UTC
config <<'CONF'
tank/a,1,1,h,no,0
tank/r,1,1,h,yes,0
CONF
clock "2026-12-10 09:00:00"
snap tank/a@h_2026-12-10_09:00:00p0000
snap -r tank/r@h_2026-12-10_09:00:00p0000
clock "2026-12-10 09:01:00"
snap tank/a@h_2026-12-10_09:01:00p0000
snap -r tank/r@h_2026-12-10_09:01:00p0000
clock "2026-12-10 09:02:00"
snap tank/a@h_2026-12-10_09:02:00p0000
hold tank/a@h_2026-12-10_09:00:00p0000 keep
clone tank/a@h_2026-12-10_09:01:00p0000 tank/cl
hold tank/r/c@h_2026-12-10_09:00:00p0000 keep
run "2026-12-10 10:00:00"
release tank/a@h_2026-12-10_09:00:00p0000 keep
release tank/r/c@h_2026-12-10_09:00:00p0000 keep
run "2026-12-10 10:01:00"
