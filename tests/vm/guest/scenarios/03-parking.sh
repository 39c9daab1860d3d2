# description: the hooks go disarm_ms after the last window and the next start marker puts them back; an opener's exit closes its window; unloading waits for a pending re-arm
start_state $armed
# A second after the last window the hooks are gone, though the knobs still
# arm the tracer: only the marker's gettimeofday stays patched.
mkdir -p /results/parked
wait_for '^# hooks: functions=0 events=0 wakeups=0 parked=1' /proc/latency_trace || true
cat /proc/latency_trace >/results/parked/report
cat $tracing/enabled_functions >/results/parked/enabled_functions
cat $knobs/trace_enabled $knobs/trace_user_triggered $knobs/mcount_enabled >/results/parked/knobs
# The next start marker puts them back before its window opens.
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
