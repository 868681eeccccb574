# The time zone changes between runs (both offset forms count toward retention), and the clock
# is stepped a year ahead for three runs and back: every later run keeps its new snapshot and
# the three most recently created ones remain.
pool tank
fs tank/a
config <<'CONF'
tank/a,1,3,h,no,0
CONF
zone UTC
run "2026-12-10 10:00:00"
zone America/New_York
run "2026-12-10 05:01:00"
run "2026-12-10 05:02:00"
zone Asia/Tokyo
run "2026-12-10 19:03:00"
zone UTC
run "2027-12-10 10:04:00"
run "2027-12-10 10:05:00"
run "2027-12-10 10:06:00"
run "2026-12-10 10:07:00"
run "2026-12-10 10:08:00"
run "2026-12-10 10:09:00"
