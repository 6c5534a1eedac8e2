#!/bin/bash
# Runs a command in a private mount namespace with fresh tmpfs on /var and /mnt, so that
# nothing it does reaches the machine's real /var or /mnt. Nested calls run the command
# directly. FH_PRIVATE_NET=1 also gives it a network namespace of its own with only
# loopback, so that two suites can run their servers on the same ports at once; 127.0.0.2
# is added because resolvers skip address families with nothing but 127.0.0.1 configured.
set -euo pipefail
if [ "${FH_PRIVATE_VAR:-}" = 1 ]; then
  exec "$@"
fi
net=()
[ "${FH_PRIVATE_NET:-}" = 1 ] && net=(-n)
exec unshare -m "${net[@]}" --propagation private bash -c '
  set -e
  if [ "${FH_PRIVATE_NET:-}" = 1 ]; then
    ip link set lo up
    ip addr add 127.0.0.2/8 dev lo
  fi
  mount -t tmpfs -o mode=0755 fh-var /var
  mount -t tmpfs -o mode=0755 fh-mnt /mnt
  mkdir -p /var/log /var/lock /var/tmp /var/lib
  chmod 1777 /var/tmp
  export FH_PRIVATE_VAR=1
  exec "$@"' fh-private "$@"
