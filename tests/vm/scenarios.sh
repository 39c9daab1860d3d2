# Guest scenarios for the VM tests, run by the VM's init with its run_case
# helper. Each case's stdout, stderr and status land in /results.
module=/lib/modules/vormek_tracer.ko
knobs=/proc/sys/kernel

# No tracer loaded: a kernel without the tracer.
run_case nomodule /bin/vormek
ls $knobs >/results/nomodule/knobs

insmod $module
cat /proc/latency_trace >/results/report-before-window
# The shell records its pid, then becomes vormek.
run_case full sh -c 'echo $$ >/results/full/pid; exec /bin/vormek'
cat /proc/latency_trace >/results/full/report-after
cat $knobs/preempt_max_latency >/results/full/max-latency

# Real users: an ordinary one, and one starting a set-user-ID root copy.
run_case notroot su -s /bin/sh tester -c 'exec /bin/vormek'
cp /bin/vormek /bin/vormek-setuid
chmod 4755 /bin/vormek-setuid
run_case setuid su -s /bin/sh tester -c 'exec /bin/vormek-setuid'
cat /proc/latency_trace >/results/report-after-refusals

# knob_case NAME KNOB=VALUE...: sets the knobs, opens a 20 ms window with
# vm_window and keeps the report in /results/NAME/report.
knob_case() {
  name=$1
  shift
  set_knobs "$@"
  run_case "$name" /bin/vm_window 20
  cat /proc/latency_trace >/results/"$name"/report
  cat $knobs/preempt_max_latency >/results/"$name"/max-latency
}
armed="trace_enabled=1 trace_user_triggered=1 trace_all_cpus=1 trace_freerunning=0
  trace_verbose=0 preempt_thresh=0 wakeup_timing=0 mcount_enabled=1"
# A busy shell keeps both CPUs taking timer ticks, so that each window has
# events on both, unless trace_all_cpus keeps it to one.
(while :; do :; done) &
busy=$!
knob_case base $armed
knob_case onecpu $armed trace_all_cpus=0
kill $busy
knob_case disabled $armed trace_enabled=0
knob_case untriggered $armed trace_user_triggered=0
knob_case nofunctions $armed mcount_enabled=0
knob_case verbose $armed trace_verbose=1
knob_case wakeups $armed wakeup_timing=1
set_knobs preempt_max_latency=0
cat $knobs/preempt_max_latency >/results/max-latency-reset
knob_case thresh $armed preempt_thresh=1000000
rmmod vormek_tracer

# A buffer of 64 events per CPU: full either way, keeping start or end.
insmod $module buffer_size=64
knob_case stopping $armed trace_freerunning=0
knob_case overwriting $armed trace_freerunning=1
rmmod vormek_tracer

insmod $module wakeup_timing=0
run_case nowakeup /bin/vormek
rmmod vormek_tracer

insmod $module omit=trace_freerunning,preempt_thresh report_unreadable=1
run_case faults /bin/vormek
rmmod vormek_tracer

insmod $module mcount_unreadable=1
run_case unreadable /bin/vormek
rmmod vormek_tracer

# Readers and a writer hammer the tracer while vormek captures; the writer
# makes more writes than the log holds.
insmod $module
for reader in 1 2; do
  (for i in $(seq 60); do cat /proc/latency_trace >/dev/null; done) &
done
(for i in $(seq 300); do echo $((i % 2)) >$knobs/trace_verbose; done) &
for run in 1 2 3; do
  run_case stress$run /bin/vormek
done
wait
cat /proc/latency_trace >/results/stress-report-after

# Last, a window kept for the crash: the init panics the kernel after the
# results are saved, and the trace must reach the console.
set_knobs trace_print_at_crash=1
run_case crash /bin/vm_window 5
crash_at_end=1
