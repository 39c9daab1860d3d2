# description: a window's calls beside the kernel's function_graph tracer on the same system calls, with the graph and slices files
start_state --load disarm_ms=0 $armed
mkdir -p /results/calls
echo local >$tracing/trace_clock
for option in funcgraph-abstime funcgraph-proc funcgraph-cpu funcgraph-duration; do
  echo 1 >$tracing/options/$option
done
# Interrupts run on their own stacks in the tracer's graph.
echo 0 >$tracing/options/funcgraph-irqs
# One name that is not traceable fails a whole write: one at a time. 6.12
# inlines getppid's entry into x64_sys_call.
: >$tracing/set_graph_function
for f in ${sys}clock_nanosleep ${sys}getppid ${sys}read ${sys}write; do
  echo $f >>$tracing/set_graph_function 2>/dev/null || true
done
cat $tracing/set_graph_function >/results/calls/graph-functions
mkfifo /tmp/calls-go
/bin/vm_window calls 10 </tmp/calls-go >/results/calls/stdout 2>/results/calls/stderr &
calls=$!
exec 8>/tmp/calls-go
sleep 1
echo $calls >$tracing/set_ftrace_pid
echo function_graph >$tracing/current_tracer
echo go >&8
exec 8>&-
wait $calls && echo 0 >/results/calls/status || echo $? >/results/calls/status
echo $calls >/results/calls/pid
cat $tracing/trace >/results/calls/function_graph
echo nop >$tracing/current_tracer
echo >$tracing/set_ftrace_pid
: >$tracing/set_graph_function
save calls
cat /proc/latency_graph >/results/calls/graph
cat /proc/latency_slices >/results/calls/slices
rm /tmp/calls-go
