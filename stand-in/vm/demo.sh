# Guest scenario of script/demo: load the stand-in tracer and run vormek once.
insmod /lib/modules/vormek_standin.ko wakeup_timing=1
run_case demo /bin/vormek
