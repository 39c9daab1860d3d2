# description: vormek captures its window on a freshly loaded tracer; callers who are not root are refused and change nothing
start_state --fresh
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
