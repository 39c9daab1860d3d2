# description: each knob does what its name says, one 20 ms window each; a window under preempt_thresh is dropped by window_report_latency
# Ordered so that the function hook flips twice at most: each flip patches
# every call site, seconds in the emulator.
knobs_case() {
  start_state --load disarm_ms=0 "$@"
  window_case "$case"
}
# A busy shell keeps both CPUs taking timer ticks, so that each window has
# events on both, unless trace_all_cpus keeps it to one. It never sleeps:
# it leaves a CPU only when preempted.
(while :; do :; done) &
busy=$!
echo $busy >/results/busy-pid
case=base knobs_case $armed
case=onecpu knobs_case $armed trace_all_cpus=0
kill $busy
case=verbose knobs_case $armed trace_verbose=1
# The report before the next window, for its dropped count.
start_state --load disarm_ms=0 $armed preempt_thresh=1000000
save thresh-before
case=thresh knobs_case $armed preempt_thresh=1000000
case=disabled knobs_case $armed trace_enabled=0
case=untriggered knobs_case $armed trace_user_triggered=0
case=nofunctions knobs_case $armed mcount_enabled=0
# More hogs than CPUs, busy in the kernel: each is preempted there.
hogs=
for hog in 1 2 3; do
  dd if=/dev/zero of=/dev/null bs=1M 2>/dev/null &
  hogs="$hogs $!"
done
start_state --load disarm_ms=0 $armed mcount_enabled=0
window_case preempted 200
kill $hogs
wait $hogs
# A sleeper on CPU 1, woken by its timer there, gives wakeups whose target
# is not CPU 0; 200 ms without function entries, which would fill the buffers.
taskset -c 1 sh -c 'while :; do sleep 0.01; done' &
sleeper=$!
start_state --load disarm_ms=0 $armed wakeup_timing=1 mcount_enabled=0
window_case wakeups 200
kill $sleeper
