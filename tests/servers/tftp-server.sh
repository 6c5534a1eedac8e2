#!/bin/bash
# Local TFTP server (tftpd-hpa) for the TFTP bridge tests and benchmark.
#
#   tests/servers/tftp-server.sh start DIR   serve DIR/root on 127.0.0.1 (uploads may create
#                                      files), write DIR/tftp.env
#   tests/servers/tftp-server.sh stop DIR    stop it (harmless if nothing runs)
#
# The port is FH_TFTP_PORT (18069). Must run inside scripts/in-private-var.sh, like the
# tests. After a successful start, DIR/tftp.env holds TFTP_PORT and TEST_DIR.
#
# in.tftpd forks a child per transfer that lingers a few seconds after it, and in
# foreground (-L) mode the listener may ignore SIGTERM. So the server runs as the leader
# of its own session and process group (setsid), and stop signals the whole group: TERM,
# then KILL after a short wait.
set -euo pipefail

PORT="${FH_TFTP_PORT:-18069}"
TFTPD="$(command -v in.tftpd || echo /usr/sbin/in.tftpd)"

die() { echo "tftp-server: $*" >&2; exit 1; }
. "$(dirname "${BASH_SOURCE[0]}")/server-lib.sh"

# Prints the process group stored in DIR/tftpd.pid (the listener's pid) while any process
# of that group is an in.tftpd: the listener, or a transfer child that outlived it. A
# recycled number is never signalled.
running_group() {
  local pgid stat rest
  [ -s "$DIR/tftpd.pid" ] || return 1
  pgid="$(cat "$DIR/tftpd.pid" 2>/dev/null)" || return 1
  [[ "$pgid" =~ ^[0-9]+$ ]] || return 1
  for stat in /proc/[0-9]*/stat; do
    rest="$(cat "$stat" 2>/dev/null)" || continue
    # "PID (COMM) STATE PPID PGRP ...": the group is the third field after the name.
    [[ "$rest" == *"(in.tftpd) "* ]] || continue
    rest="${rest##*) }"
    read -r _ _ group _ <<<"$rest"
    if [ "$group" = "$pgid" ]; then
      echo "$pgid"
      return 0
    fi
  done
  return 1
}

stop_all() {
  local pgid
  if pgid="$(running_group)"; then
    kill -TERM -- "-$pgid" 2>/dev/null || true
    for _ in $(seq 10); do
      kill -0 -- "-$pgid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL -- "-$pgid" 2>/dev/null || true
    for _ in $(seq 50); do
      kill -0 -- "-$pgid" 2>/dev/null || break
      sleep 0.1
    done
  fi
  rm -f "$DIR/tftpd.pid" "$DIR/tftp.env"
}

# Waits until the server serves DIR/root/.ready with this start's token: an answer from
# another server on the same port (ours then failed to bind) does not count.
wait_ready() {
  local got
  for _ in $(seq 50); do
    got="$(curl --noproxy '*' -s --connect-timeout 1 --max-time 1 \
      "tftp://127.0.0.1:$PORT/.ready" 2>/dev/null)" || got=""
    [ "$got" = "$TOKEN" ] && return 0
    running_group >/dev/null || return 1
    sleep 0.1
  done
  return 1
}

start() {
  [ "${FH_PRIVATE_VAR:-}" = 1 ] || die "run inside scripts/in-private-var.sh"
  [ -x "$TFTPD" ] || die "in.tftpd not found (Debian package tftpd-hpa)"
  stop_all # a previous instance in the same DIR
  mkdir -p "$DIR/root"
  TOKEN="ready $$ $RANDOM $(date +%s%N)"
  printf '%s\n' "$TOKEN" >"$DIR/root/.ready"
  # setsid execs in.tftpd in place (a background job of a script is no group leader), so
  # $! is the listener's pid and its process group id.
  setsid "$TFTPD" -L -a "127.0.0.1:$PORT" -c -p -s -u root "$DIR/root" \
    </dev/null >>"$DIR/tftpd.log" 2>&1 &
  echo "$!" >"$DIR/tftpd.pid"
  if ! wait_ready; then
    echo "tftp-server: start failed on 127.0.0.1:$PORT; see $DIR/tftpd.log" >&2
    tail -n 5 "$DIR/tftpd.log" >&2 2>/dev/null || true
    stop_all
    exit 1
  fi
  printf '%s\n' "TFTP_PORT=$PORT" "TEST_DIR=$DIR" >"$DIR/tftp.env"
  echo "tftp server up: tftp://127.0.0.1:$PORT (files in $DIR/root)"
}

fh_server_main "$@" "$PORT"
