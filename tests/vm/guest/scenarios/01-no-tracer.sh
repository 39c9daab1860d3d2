# description: vormek on a kernel without the tracer refuses, touching nothing
start_state --unloaded
run_case nomodule /bin/vormek
ls $knobs >/results/nomodule/knobs
