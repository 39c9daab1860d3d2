# description: vormek on tracers that lack a knob, refuse the report, or make mcount_enabled write-only
start_state --load wakeup_timing=0
run_case nowakeup /bin/vormek
start_state --load 'omit=trace_freerunning,preempt_thresh report_unreadable=1'
run_case faults /bin/vormek
start_state --load mcount_unreadable=1
run_case unreadable /bin/vormek
