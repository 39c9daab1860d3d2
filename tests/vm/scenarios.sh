# Guest scenarios for the VM tests, run by the VM's init with its
# helpers (run_case, set_knobs, wait_for). Each case's stdout, stderr and
# status land in /results.
module=/lib/modules/vormek_tracer.ko
knobs=/proc/sys/kernel
tracing=/sys/kernel/tracing
mount -t tracefs nodev $tracing
# The kernel's checkers, where it has them (the debug kernel): which are on,
# and kmemleak's list emptied of what boot left, so that the scan after the
# last unload shows only what came later.
kmemleak=/sys/kernel/debug/kmemleak
mount -t debugfs nodev /sys/kernel/debug
for checker in /proc/lockdep $kmemleak /sys/kernel/debug/kfence \
  $knobs/hung_task_timeout_secs $knobs/soft_watchdog; do
  [ ! -e $checker ] || echo $checker
done >/results/checkers
uname -v >/results/version
# load PARAMETER...: loads the tracer. Under the debug kernel's checkers the
# kernel calls many more functions: its windows need bigger buffers.
size=
[ ! -e /proc/lockdep ] || size=buffer_size=131072
load() {
  insmod $module $size "$@"
}
if [ -e $kmemleak ]; then
  echo scan >$kmemleak
  echo clear >$kmemleak
fi

# No tracer loaded: a kernel without the tracer.
run_case nomodule /bin/vormek
ls $knobs >/results/nomodule/knobs

load
cat /proc/latency_trace >/results/report-before-window
# The shell records its pid, then becomes vormek, which sets
# preempt_max_latency to 0 first: its window is kept though the knob held
# more.
set_knobs preempt_max_latency=2000000000
run_case full sh -c 'echo $$ >/results/full/pid; exec /bin/vormek'
cat /proc/latency_trace >/results/full/report-after
cat $knobs/preempt_max_latency >/results/full/max-latency

# Real users: an ordinary one, and one starting a set-user-ID root copy.
run_case notroot su -s /bin/sh tester -c 'exec /bin/vormek'
cp /bin/vormek /bin/vormek-setuid
chmod 4755 /bin/vormek-setuid
run_case setuid su -s /bin/sh tester -c 'exec /bin/vormek-setuid'
cat /proc/latency_trace >/results/report-after-refusals

# A second after vormek's window the hooks are gone, though the knobs still
# arm the tracer: only the marker's gettimeofday stays patched.
mkdir -p /results/parked
wait_for '^# hooks: functions=0 events=0 wakeups=0 parked=1' /proc/latency_trace || true
cat /proc/latency_trace >/results/parked/report
cat $tracing/enabled_functions >/results/parked/enabled_functions
cat $knobs/trace_enabled $knobs/trace_user_triggered $knobs/mcount_enabled >/results/parked/knobs
# The next start marker puts them back before its window opens (not an
# arming knob: preempt_max_latency=0 lets that window be kept).
set_knobs preempt_max_latency=0
run_case rearmed /bin/vm_window 20
cat /proc/latency_trace >/results/rearmed/report
# An opener killed inside its window: its exit closes the window.
mkdir -p /results/killed
/bin/vm_window 60000 >/results/killed/stdout &
opener=$!
wait_for '^# now: a newer window is open' /proc/latency_trace || true
kill -9 $opener
wait $opener || true
cat /proc/latency_trace >/results/killed/report

# Unloading while a start marker puts the parked hooks back, with its
# window open once it has: rmmod waits for the re-arm and then unhooks.
wait_for '^# hooks: functions=0 events=0 wakeups=0 parked=1' /proc/latency_trace || true
/bin/vm_window 60000 >/dev/null &
opener=$!
sleep 1
run_case unload-busy rmmod vormek_tracer
kill -9 $opener
wait $opener || true

# Load parameters out of range, or buffers that cannot be had (2 GiB per set
# in a 1 GiB guest): each refused with one line of its own in the log.
for load in buffer_size=4294967295 buffer_size=16777216 disarm_ms=3600001; do
  dmesg >/results/dmesg-before-$load
  run_case "load-$load" insmod $module $load
  dmesg >/results/dmesg-after-$load
done
load disarm_ms=0
set_knobs trace_enabled=1 trace_user_triggered=1 mcount_enabled=1
# Out-of-range knob writes are refused and change nothing.
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
set_knobs preempt_thresh=0


# knob_case NAME KNOB=VALUE...: sets the knobs, opens a window of window_ms
# (default 20 ms) with vm_window and keeps the report in /results/NAME/report.
knob_case() {
  name=$1
  shift
  set_knobs "$@"
  run_case "$name" /bin/vm_window ${window_ms:-20}
  cat /proc/latency_trace >/results/"$name"/report
  cat $knobs/preempt_max_latency >/results/"$name"/max-latency
}
armed="trace_enabled=1 trace_user_triggered=1 trace_all_cpus=1 trace_freerunning=0
  trace_verbose=0 preempt_max_latency=0 preempt_thresh=0 wakeup_timing=0 mcount_enabled=1"
# A busy shell keeps both CPUs taking timer ticks, so that each window has
# events on both, unless trace_all_cpus keeps it to one. It never sleeps:
# it leaves a CPU only when preempted.
(while :; do :; done) &
busy=$!
echo $busy >/results/busy-pid
knob_case base $armed
knob_case onecpu $armed trace_all_cpus=0
kill $busy
knob_case disabled $armed trace_enabled=0
knob_case untriggered $armed trace_user_triggered=0
knob_case nofunctions $armed mcount_enabled=0
knob_case verbose $armed trace_verbose=1
# More hogs than CPUs, busy in the kernel: each is preempted there.
hogs=
for hog in 1 2 3; do
  dd if=/dev/zero of=/dev/null bs=1M 2>/dev/null &
  hogs="$hogs $!"
done
window_ms=200
knob_case preempted $armed mcount_enabled=0
window_ms=20
kill $hogs
wait $hogs
# A sleeper on CPU 1, woken by its timer there, gives wakeups whose target
# is not CPU 0; 200 ms without function entries, which would fill the buffers.
taskset -c 1 sh -c 'while :; do sleep 0.01; done' &
sleeper=$!
window_ms=200
knob_case wakeups $armed wakeup_timing=1 mcount_enabled=0
window_ms=20
kill $sleeper
set_knobs preempt_max_latency=0
cat $knobs/preempt_max_latency >/results/max-latency-reset
knob_case thresh $armed preempt_thresh=1000000
# Two ftrace users at once: the kernel's function tracer, on the markers'
# system call and the window's sleep, beside the tracer's own hooks.
# On the tracer's clock, "local" (Debian's 6.1 defaults to "global").
echo local >$tracing/trace_clock
echo '__x64_sys_gettimeofday __x64_sys_clock_nanosleep' >$tracing/set_ftrace_filter
echo function >$tracing/current_tracer
knob_case ftrace-beside $armed
# Read before the tracer goes: changing it empties the buffer.
cat $tracing/trace >/results/ftrace-beside/ftrace
echo nop >$tracing/current_tracer
echo >$tracing/set_ftrace_filter

# The worst window is kept, by ftrace's rules: with preempt_thresh 0 only a
# window longer than preempt_max_latency, with a threshold every window
# that reaches it. A poller of preempt_max_latency runs beside each window.
keep_case() {
  name=$1
  ms=$2
  shift 2
  mkdir -p /results/"$name"
  set_knobs "$@"
  /bin/vm_window poll 3000 >/results/"$name"/poll &
  poller=$!
  wait_for '^polling' /results/"$name"/poll || true
  run_case "$name" /bin/vm_window "$ms"
  wait $poller
  cat /proc/latency_trace >/results/"$name"/report
  cat $knobs/preempt_max_latency >/results/"$name"/max-latency
}
keep_case keep-100 100 $armed
keep_case keep-5 5
keep_case keep-400 400
keep_case thresh-5 5 preempt_thresh=50000
keep_case thresh-100 100

# A window opened by one process and closed by another; between them a
# third makes an ordinary gettimeofday call, which is no marker. Without
# function entries, which would fill the buffers before the third ran.
set_knobs $armed mcount_enabled=0
mkdir -p /results/handover
/bin/vm_window open 60000 >/results/handover/opener &
opener=$!
wait_for '^# now: a newer window is open' /proc/latency_trace || true
/bin/vm_window gettimeofday >/results/handover/ordinary
echo $? >/results/handover/ordinary-status
/bin/vm_window close >/results/handover/closer
cat /proc/latency_trace >/results/handover/report
kill -9 $opener
wait $opener || true
rmmod vormek_tracer

# A buffer of 64 events per CPU: full either way, keeping start or end.
insmod $module buffer_size=64 disarm_ms=0
knob_case stopping $armed trace_freerunning=0
knob_case overwriting $armed trace_freerunning=1
rmmod vormek_tracer

load wakeup_timing=0
run_case nowakeup /bin/vormek
rmmod vormek_tracer

load omit=trace_freerunning,preempt_thresh report_unreadable=1
run_case faults /bin/vormek
rmmod vormek_tracer

load mcount_unreadable=1
run_case unreadable /bin/vormek
rmmod vormek_tracer

# A storm: markers from three processes, hooks parked and put back every
# 50 ms, knob writes that arm and disarm them, and readers; then vormek.
load disarm_ms=50
set_knobs trace_enabled=1 trace_user_triggered=1 trace_all_cpus=1 mcount_enabled=0 wakeup_timing=1
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
run_case storm /bin/vormek
rmmod vormek_tracer

# Readers and a writer hammer the tracer while vormek captures; the writer
# makes more writes than the log holds.
load disarm_ms=0
for reader in 1 2; do
  (for i in $(seq 60); do cat /proc/latency_trace >/dev/null; done) &
done
(for i in $(seq 300); do echo $((i % 2)) >$knobs/trace_verbose; done) &
for run in 1 2 3; do
  run_case stress$run /bin/vormek
done
wait
cat /proc/latency_trace >/results/stress-report-after
rmmod vormek_tracer
# After the last unload: kmemleak reports objects that two scans, 5 s or
# more after their allocation, found unreferenced.
if [ -e $kmemleak ]; then
  sleep 6
  echo scan >$kmemleak
  sleep 6
  echo scan >$kmemleak
  cat $kmemleak >/results/kmemleak
  echo "kmemleak scanned after the last unload" >>/results/kmemleak
fi
load disarm_ms=0
set_knobs trace_enabled=1 trace_user_triggered=1

# Last, a window kept for the crash: the init panics the kernel after the
# results are saved, and the trace must reach the console.
set_knobs trace_print_at_crash=1
run_case crash /bin/vm_window 5
crash_at_end=1
