# Shared by the test-server scripts (sourced). Each script defines start and stop_all and
# ends with: fh_server_main "$@" PORT...
#
# running_pid PIDFILE PATTERN: prints the pid stored in PIDFILE if that process is alive
# and its command line contains PATTERN, so that a recycled pid is never signalled.
running_pid() {
  local pid
  [ -s "$1" ] || return 1
  pid="$(cat "$1" 2>/dev/null)" || return 1
  [[ "$pid" =~ ^[0-9]+$ ]] || return 1
  tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline" | grep -qF -- "$2" || return 1
  echo "$pid"
}

# stop_pid PIDFILE PATTERN [children]: SIGTERM to that process (and, with "children", to
# its direct children, the sessions of a listener), up to 5 s of waiting, then SIGKILL.
stop_pid() {
  local pid kids=""
  if pid="$(running_pid "$1" "$2")"; then
    [ "${3:-}" = children ] && kids="$(pgrep -P "$pid" || true)"
    # shellcheck disable=SC2086
    kill -TERM "$pid" $kids 2>/dev/null || true
    for _ in $(seq 50); do
      running_pid "$1" "$2" >/dev/null || break
      sleep 0.1
    done
    if running_pid "$1" "$2" >/dev/null; then kill -KILL "$pid" 2>/dev/null || true; fi
  fi
  rm -f "$1"
}

# fh_server_main start|stop DIR [PORT...]: checks the arguments, sets DIR to the absolute
# directory and runs start or stop_all. DIR ends up in configuration files, so it may not
# hold characters that those files would read as syntax.
fh_server_main() {
  [ $# -ge 2 ] || die "usage: $0 start|stop DIR"
  local action=$1 dir=$2 port
  shift 2
  for port in "$@"; do
    [[ "$port" =~ ^[0-9]+$ ]] || die "bad port number: $port"
  done
  case "$dir" in
    *[[:space:]\"\'\$\;\{\}\\#]*) die "DIR must not contain whitespace, quotes, \$, ;, #, braces or backslashes" ;;
  esac
  case "$action" in
    start)
      mkdir -p "$dir"
      DIR="$(cd "$dir" && pwd -P)"
      start
      ;;
    stop)
      [ -d "$dir" ] || exit 0
      DIR="$(cd "$dir" && pwd -P)"
      stop_all
      ;;
    *) die "usage: $0 start|stop DIR" ;;
  esac
}
