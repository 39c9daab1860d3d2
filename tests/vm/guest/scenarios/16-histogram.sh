# description: windows of known lengths in the histogram, counted afresh once preempt_max_latency is written 0; a window open while another process arms the function hook is dropped for it
start_state --load 'disarm_ms=0 hist_bucket_us=20000 hist_range_us=60000' trace_enabled=1 trace_user_triggered=1
mkdir -p /results/hist
/bin/vm_window 13 >/dev/null
cat /proc/latency_hist >/results/hist/before-reset
echo 0 >$knobs/preempt_max_latency
# Buckets of 20 ms: 3 ms in the first, 25 ms in the second, 65 ms over. A
# window runs longer than its sleep by the markers' work, 7.4 ms at most
# seen (on the debug kernel): each is far enough from its bucket's end.
for ms in 3 25 25 65 3; do
  /bin/vm_window $ms >>/results/hist/windows
done
save hist
cat /proc/latency_hist >/results/hist/histogram
/bin/vm_window 3000 >/dev/null &
sleep 1
echo 1 >$knobs/mcount_enabled
wait
save hist-hooks
cat /proc/latency_hist >/results/hist/histogram-after-hooks
