# description: a storm of markers, re-arms every 50 ms, arming knob writes and readers leaves vormek working; windows longer than disarm_ms are recorded whole
start_state --load disarm_ms=50 trace_enabled=1 trace_user_triggered=1 trace_all_cpus=1 wakeup_timing=1
rm -f /tmp/storm-over
for marker in 1 2 3; do
  (while [ ! -e /tmp/storm-over ]; do /bin/vm_window 2 >/dev/null; done) &
done
for reader in 1 2; do
  (while [ ! -e /tmp/storm-over ]; do cat /proc/latency_trace >/dev/null; done) &
done
(
  for i in $(seq 20); do
    echo $((i % 2)) >$knobs/trace_enabled
    sleep 0.1
  done
  # One flip of the function hook while the markers go on.
  set_knobs trace_enabled=1 mcount_enabled=1
  sleep 1
  touch /tmp/storm-over
) &
wait
# vormek's window is twice disarm_ms long.
run_case storm /bin/vormek
# A window thirty times disarm_ms long, overwriting so that its end is kept.
start_state --load disarm_ms=50 $armed trace_freerunning=1
window_case long-window 1500
