# Guest scenario of script/demo: load the tracer module and run vormek once.
uname -r >/results/release
insmod /lib/modules/vormek_tracer.ko
run_case demo /bin/vormek
