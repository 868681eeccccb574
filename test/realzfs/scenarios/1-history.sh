# A history over several runs: thresholds, a recursive entry covering a same-prefix child,
# retention, look-alike names that must survive, a run when nothing is due and an idle run.
pool tank
fs tank/a
fs tank/ab
fs tank/home
fs tank/home/u
zone UTC
clock "2026-12-10 09:00:00"
snap tank/a@h_manual
snap tank/a@h_2026-12-10_09:00:00x0000
snap tank/a@hx_2026-12-10_09:00:00p0000
snap tank/a@h_2026-12-10_09:00p0000
snap tank/ab@h_2026-12-10_09:00:00p0000
snap tank/home/u@h_2026-12-10_09:00:00p0000
config <<'CONF'
# hourly, two kept, at least 1000000 bytes written
tank/a,60,2,h,no,1000000
tank/home,60,2,h,yes,1000000
tank/home/u,60,5,h,no,1000000
CONF
write tank/a 2048
write tank/home/u 2048
run "2026-12-10 10:00:00"
write tank/a 2048
write tank/home 512
run "2026-12-10 11:00:00"
write tank/a 2048
run "2026-12-10 11:30:00"
run "2026-12-10 12:00:00"
write tank/a 2048
write tank/home 1024
run "2026-12-10 13:00:00"
write tank/a 2048
write tank/home/u 2048
run "2026-12-10 14:00:00"
run "2026-12-10 15:00:00"
