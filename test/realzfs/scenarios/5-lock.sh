# A run while another instance holds the lock exits 1 at once and runs no zfs command; the
# next run goes ahead.
pool tank
fs tank/a
zone UTC
config <<'CONF'
tank/a,1,2,h,no,0
CONF
run "2026-12-10 10:00:00" locked
run "2026-12-10 10:01:00"
