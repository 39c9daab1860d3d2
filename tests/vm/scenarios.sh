# Guest scenarios for the VM tests, run by the stand-in VM's init with its
# run_case helper. Each case's stdout, stderr and status land in /results.
module=/lib/modules/vormek_standin.ko

# No stand-in loaded: a kernel without the tracer.
run_case nomodule /bin/vormek
ls /proc/sys/kernel >/results/nomodule/knobs

insmod $module wakeup_timing=1
cat /proc/latency_trace >/results/report-before-window
# The shell records its pid, then becomes vormek.
run_case full sh -c 'echo $$ >/results/full/pid; exec /bin/vormek'
cat /proc/latency_trace >/results/full/report-after

# Real users: an ordinary one, and one starting a set-user-ID root copy.
run_case notroot su -s /bin/sh tester -c 'exec /bin/vormek'
cp /bin/vormek /bin/vormek-setuid
chmod 4755 /bin/vormek-setuid
run_case setuid su -s /bin/sh tester -c 'exec /bin/vormek-setuid'
cat /proc/latency_trace >/results/report-after-refusals
rmmod vormek_standin

insmod $module
run_case nowakeup /bin/vormek
rmmod vormek_standin

insmod $module omit=trace_freerunning,preempt_thresh report_unreadable=1
run_case faults /bin/vormek
rmmod vormek_standin

insmod $module mcount_unreadable=1
run_case unreadable /bin/vormek
rmmod vormek_standin

# Readers and a writer hammer the module while vormek captures; the writer
# makes more writes than the log holds.
insmod $module wakeup_timing=1
for reader in 1 2; do
  (for i in $(seq 60); do cat /proc/latency_trace >/dev/null; done) &
done
(for i in $(seq 300); do echo $((i % 2)) >/proc/sys/kernel/trace_verbose; done) &
for run in 1 2 3; do
  run_case stress$run /bin/vormek
done
wait
cat /proc/latency_trace >/results/stress-report-after
rmmod vormek_standin
