# description: the kernel's function tracer, on the markers' system call and the window's sleep, runs beside the tracer's own hooks
start_state --load disarm_ms=0 $armed
# On the tracer's clock, "local" (Debian's 6.1 defaults to "global").
echo local >$tracing/trace_clock
echo "${sys}gettimeofday ${sys}clock_nanosleep" >$tracing/set_ftrace_filter
echo function >$tracing/current_tracer
window_case ftrace-beside
# Read before the tracer goes: changing it empties the buffer.
cat $tracing/trace >/results/ftrace-beside/ftrace
echo nop >$tracing/current_tracer
echo >$tracing/set_ftrace_filter
