# The VM tests' guest suite, sourced by the VM's init (with its run_case,
# set_knobs and wait_for). Runs each scenario in scenarios/ in name order,
# each in a subshell from the state it declares; VORMEK_VM_SCENARIOS (names
# without ".sh", separated by spaces) runs only those. Scenarios from 90 on
# run after the last unload and its kmemleak scan. Each case's stdout,
# stderr and status land in /results; /results/scenarios lists each
# scenario run with the guest's uptime at its start and end.
. /scenario/lib.sh
mount -t tracefs nodev $tracing
# The kernel's checkers, where it has them (the debug kernel): which are on,
# and kmemleak's list emptied of what boot left, so that the scan after the
# last unload shows only what came later.
kmemleak=/sys/kernel/debug/kmemleak
mount -t debugfs nodev /sys/kernel/debug
for checker in /proc/lockdep $kmemleak /sys/kernel/debug/kfence \
  $knobs/hung_task_timeout_secs $knobs/soft_watchdog; do
  [ ! -e $checker ] || echo $checker
done >/results/checkers
uname -v >/results/version
uname -m >/results/machine
if [ -e $kmemleak ]; then
  echo scan >$kmemleak
  echo clear >$kmemleak
fi

uptime() { cut -d' ' -f1 /proc/uptime; }
# run_scenarios PATTERN: the selected scenarios whose file names match.
run_scenarios() {
  for file in /scenario/scenarios/$1; do
    name=${file##*/}
    name=${name%.sh}
    case " ${VORMEK_VM_SCENARIOS:-$name} " in *" $name "*) ;; *) continue ;; esac
    start=$(uptime)
    # On the console, so that a guest that times out shows where it was,
    # and, for a scenario still running after 600 s, what each task and CPU
    # was doing.
    echo "scenario $name from ${start} s" >&2
    (
      sleep 600 &
      sleeper=$!
      trap 'kill $sleeper; exit' TERM
      wait $sleeper
      echo "scenario $name still running after 600 s" >&2
      echo w >/proc/sysrq-trigger
      echo l >/proc/sysrq-trigger
    ) &
    watchdog=$!
    (. "$file")
    kill $watchdog
    echo "$name $start $(uptime)" >>/results/scenarios
  done
}
run_scenarios '[0-8]*.sh'
# After the last unload: kmemleak reports objects that two scans, 5 s or
# more after their allocation, found unreferenced.
start_state --unloaded
if [ -e $kmemleak ]; then
  sleep 6
  echo scan >$kmemleak
  sleep 6
  echo scan >$kmemleak
  cat $kmemleak >/results/kmemleak
  echo "kmemleak scanned after the last unload" >>/results/kmemleak
fi
run_scenarios '9*.sh'
# A scenario that leaves this file ends the boot with a deliberate panic.
[ ! -e /tmp/crash-at-end ] || crash_at_end=1
