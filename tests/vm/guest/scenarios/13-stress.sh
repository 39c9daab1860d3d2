# description: readers and a writer hammer the tracer while vormek captures; the writer makes more writes than the log holds
start_state --fresh --load disarm_ms=0
for reader in 1 2; do
  (for i in $(seq 60); do cat /proc/latency_trace >/dev/null; done) &
done
(for i in $(seq 300); do echo $((i % 2)) >$knobs/trace_verbose; done) &
for run in 1 2 3; do
  run_case stress$run /bin/vormek
done
wait
cat /proc/latency_trace >/results/stress-report-after
