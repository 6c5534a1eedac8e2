#!/bin/bash
# Runs a command in a private mount namespace with fresh tmpfs on /var and /mnt, so that
# nothing it does reaches the machine's real /var or /mnt. Nested calls run the command
# directly.
set -euo pipefail
if [ "${FH_PRIVATE_VAR:-}" = 1 ]; then
  exec "$@"
fi
exec unshare -m --propagation private bash -c '
  set -e
  mount -t tmpfs -o mode=0755 fh-var /var
  mount -t tmpfs -o mode=0755 fh-mnt /mnt
  mkdir -p /var/log /var/lock /var/tmp /var/lib
  chmod 1777 /var/tmp
  export FH_PRIVATE_VAR=1
  exec "$@"' fh-private "$@"
