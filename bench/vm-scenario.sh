# Guest scenario of script/bench's VM part. Each round runs the same
# system-call loop in each setup, one after another, so that the setups
# alternate through the boot; each result is one line of ns per round in
# /results/SETUP. Then vormek runs once for its window's counts.
module=/lib/modules/vormek_tracer.ko
tracing=/sys/kernel/tracing
rounds=${bench_rounds:-7}
iterations=${bench_iterations:-20000}
mkdir -p /results $tracing
mount -t tracefs nodev $tracing

# The knobs as vormek leaves them: arm FREERUNNING MCOUNT.
arm() {
  set_knobs trace_all_cpus=1 trace_enabled=1 trace_freerunning=$1 trace_user_triggered=1 \
    trace_verbose=0 preempt_thresh=0 mcount_enabled=$2
}
# measure ARGS...: the loop once to warm up, then once measured. Patching
# code (loading, arming, parking) makes the emulator translate the patched
# pages anew, which the first loop after it would pay.
measure() {
  syscall_loop "$iterations" >/dev/null
  syscall_loop "$iterations" "$@"
}
# Events the kernel's ring buffer took: kept and overwritten, every CPU.
ftrace_events() {
  cat $tracing/per_cpu/cpu*/stats | while read -r key value; do
    case $key in entries: | overrun:) echo "$value" ;; esac
  done | (sum=0; while read -r n; do sum=$((sum + n)); done; echo $sum)
}

for round in $(seq "$rounds"); do
  measure >>/results/absent
  syscall_loop 200 --markers >>/results/markers-absent

  # The default disarm_ms: the loop after a vormek run, once its hooks
  # went; then a start marker that puts them back, and a burst that finds
  # them in place.
  insmod $module
  measure >>/results/loaded
  /bin/vormek >/dev/null
  # Until the hooks are parked (disarm_ms after the last window).
  wait_for '^# hooks: functions=0 events=0 wakeups=0 parked=1' /proc/latency_trace
  measure >>/results/after-vormek
  syscall_loop 200 --markers >>/results/markers-rearm
  syscall_loop 200 --markers >>/results/markers-burst
  rmmod vormek_tracer

  # disarm_ms=0: the hooks stay as the knobs arm them.
  insmod $module disarm_ms=0
  arm 0 0
  measure >>/results/armed-nofunctions
  arm 0 1
  measure >>/results/armed
  syscall_loop 200 --markers >>/results/markers-pinned
  rmmod vormek_tracer
  # The same without the histogram: what counting a window costs its end
  # marker.
  insmod $module disarm_ms=0 hist_range_us=0
  arm 0 1
  syscall_loop 200 --markers >>/results/markers-nohist
  rmmod vormek_tracer
  insmod $module disarm_ms=0
  arm 0 1
  arm 1 1
  measure --window >>/results/window
  cat /proc/latency_trace | grep '^# events: ' >>/results/window-events
  rmmod vormek_tracer

  echo 0 >$tracing/tracing_on
  echo function >$tracing/current_tracer
  measure --ftrace >>/results/ftrace
  ftrace_events >>/results/ftrace-events
  # function_graph: an entry and a return event per call.
  echo function_graph >$tracing/current_tracer
  measure --ftrace >>/results/graph
  ftrace_events >>/results/graph-events
  echo nop >$tracing/current_tracer
done

insmod $module
run_case vormek /bin/vormek
rmmod vormek_tracer
