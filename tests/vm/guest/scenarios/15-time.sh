# description: where a window's time went, on workloads whose answer is known: a sleep, then a wait behind a busy SCHED_FIFO task on the same CPU; a busy loop under timer interrupts
start_state --load disarm_ms=0 trace_enabled=1 trace_user_triggered=1 trace_all_cpus=1 wakeup_timing=1
run_case waited /bin/vm_window preempted 20
save waited
echo 0 >$knobs/preempt_max_latency
run_case spin /bin/vm_window spin 40
save spin
