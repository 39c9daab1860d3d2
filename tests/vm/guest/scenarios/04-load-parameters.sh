# description: load parameters out of range, or buffers that cannot be had, are refused with one log line each
start_state --unloaded
# 2 GiB per set in a 1 GiB guest cannot be had.
for load in buffer_size=4294967295 buffer_size=16777216 disarm_ms=3600001 hist_bucket_us=3; do
  dmesg >/results/dmesg-before-$load
  run_case "load-$load" insmod $module $load
  dmesg >/results/dmesg-after-$load
done
