# description: knob writes out of range are refused and change nothing
start_state --load disarm_ms=0 $armed
mkdir -p /results/refused
grep -E '^# (hooks|writes):' /proc/latency_trace >/results/refused/before
for write in trace_enabled=2 trace_enabled=-1 trace_enabled=0x10 mcount_enabled=2 \
  trace_verbose=yes preempt_thresh=-1 preempt_max_latency=2147483648; do
  knob=${write%%=*}
  before=$(cat $knobs/$knob)
  status=0
  echo "${write#*=}" 2>/dev/null >$knobs/$knob || status=$?
  echo "$write status=$status before=$before after=$(cat $knobs/$knob)"
done >/results/refused/writes
grep -E '^# (hooks|writes):' /proc/latency_trace >/results/refused/after
set_knobs preempt_thresh=2147483647
cat $knobs/preempt_thresh >/results/refused/thresh-max
