# description: a buffer of 64 events per CPU fills, stopping keeps the window's start and overwriting its end, and the report counts what was lost
start_state --load 'buffer_size=64 disarm_ms=0' $armed
window_case stopping 100
start_state --load 'buffer_size=64 disarm_ms=0' $armed trace_freerunning=1
window_case overwriting
