# description: a window opened by one process is closed by another, an ordinary gettimeofday is no marker, and a second thread's window is its process's
start_state --load disarm_ms=0 $armed mcount_enabled=0
# Between the opener and the closer a third process makes an ordinary
# gettimeofday call. Without function entries, which would fill the
# buffers before the third ran.
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
# A second thread, not its process's leader, opens and closes a window.
start_state --load disarm_ms=0 $armed mcount_enabled=0
run_case thread /bin/vm_window thread 20
save thread
