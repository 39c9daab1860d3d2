# description: a kept window is printed to the console at a crash (the boot ends with a deliberate panic)
start_state --load disarm_ms=0 trace_enabled=1 trace_user_triggered=1 trace_print_at_crash=1
run_case crash /bin/vm_window 5
touch /tmp/crash-at-end
