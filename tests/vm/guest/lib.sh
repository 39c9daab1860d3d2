# Helpers for the guest scenarios.
module=/lib/modules/vormek_tracer.ko
knobs=/proc/sys/kernel
tracing=/sys/kernel/tracing
# The system calls' entry functions are named by architecture.
case $(uname -m) in
  aarch64) sys=__arm64_sys_ ;;
  *) sys=__x64_sys_ ;;
esac
# The module's knobs, from its own list.
knob_names=$(sed -n 's/^[[:space:]]*X(K_[A-Z_]*, \([a-z_]*\)).*/\1/p' /lib/modules/knob_list.h)
# Under the debug kernel's checkers the kernel calls many more functions:
# its windows need bigger buffers.
size=
[ ! -e /proc/lockdep ] || size=buffer_size=131072

# start_state [--fresh] [--unloaded] [--load PARAMETERS] [KNOB=VALUE...]
# The state a scenario starts from: the module loaded with PARAMETERS (none
# by default), or not loaded; every knob at the value named, the others
# (preempt_max_latency among them) at 0. The module is loaded again only if
# its parameters differ, or with --fresh (empty counters and write log), and
# only the knobs whose values differ are written: those going down first,
# so that no step arms the hooks that the state does not.
start_state() {
  fresh=
  loaded=1
  params=
  while :; do
    case ${1:-} in
      --fresh) fresh=1 ;;
      --unloaded) loaded= ;;
      --load) params=$2; shift ;;
      *) break ;;
    esac
    shift
  done
  case $params in *buffer_size=*) ;; *) params="$size $params" ;; esac
  want=none
  [ -z "$loaded" ] || want=$(echo $params)
  now=none
  [ ! -e /sys/module/vormek_tracer ] || now=$(cat /tmp/loaded-with)
  if [ -n "$fresh" ] || [ "$want" != "$now" ]; then
    [ "$now" = none ] || rmmod vormek_tracer
    [ "$want" = none ] || insmod $module $want
    echo "$want" >/tmp/loaded-with
  fi
  [ "$want" != none ] || return 0
  down=
  up=
  for name in $knob_names; do
    [ -e $knobs/$name ] || continue
    value=0
    for setting in "$@"; do
      [ "${setting%%=*}" != "$name" ] || value=${setting#*=}
    done
    # mcount_enabled may be write-only (mcount_unreadable).
    now=$(cat $knobs/$name 2>/dev/null) || now=-1
    if [ "$now" -gt "$value" ]; then
      down="$down $name=$value"
    elif [ "$now" -lt "$value" ]; then
      up="$up $name=$value"
    fi
  done
  set_knobs $down $up
}

# The knobs as a tracing window wants them, all CPUs, function entries on.
armed="trace_enabled=1 trace_user_triggered=1 trace_all_cpus=1 mcount_enabled=1"

# save NAME: the report and preempt_max_latency in /results/NAME.
save() {
  mkdir -p /results/"$1"
  cat /proc/latency_trace >/results/"$1"/report
  cat $knobs/preempt_max_latency >/results/"$1"/max-latency
}

# window_case NAME [MILLISECONDS]: a window of vm_window's (default 20 ms),
# with the report after it in /results/NAME.
window_case() {
  run_case "$1" /bin/vm_window ${2:-20}
  save "$1"
}
