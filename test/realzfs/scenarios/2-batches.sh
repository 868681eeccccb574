# Batching and waves: two pools, nested recursive entries with different prefixes, two prefixes
# on one dataset, a volume, a dataset name with a blank and a configured dataset that is missing.
pool tank
pool other
fs tank/a
fs "tank/with blank"
fs tank/n
fs tank/n/m
fs tank/n/m/k
vol tank/vol 16M
fs other/b
zone UTC
config <<'CONF'
tank/a,1,2,h,no,0
tank/a,1,2,d,no,0
tank/with blank,1,2,h,no,0
tank/n,1,2,x,yes,0
tank/n/m,1,2,y,yes,0
tank/vol,1,2,h,no,0
other/b,1,2,h,no,0
tank/missing,1,2,h,no,0
CONF
write tank/a 128
write "tank/with blank" 128
write tank/n/m/k 128
write other/b 128
run "2026-12-10 10:00:00"
run "2026-12-10 10:01:00"
run "2026-12-10 10:02:00"
