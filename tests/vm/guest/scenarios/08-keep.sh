# description: window_report_latency keeps the worst window, by ftrace's rules, and a poller of preempt_max_latency is woken when a window is kept
# With preempt_thresh 0 only a window longer than preempt_max_latency is
# kept, with a threshold every window that reaches it. A poller of
# preempt_max_latency runs beside each window.
start_state --load disarm_ms=0 $armed
save keep-before
keep_case() {
  name=$1
  ms=$2
  mkdir -p /results/"$name"
  /bin/vm_window poll 6000 >/results/"$name"/poll &
  poller=$!
  wait_for '^polling' /results/"$name"/poll || true
  window_case "$name" "$ms"
  wait $poller
}
keep_case keep-100 100
keep_case keep-5 5
keep_case keep-400 400
set_knobs preempt_thresh=50000
keep_case thresh-5 5
keep_case thresh-100 100
