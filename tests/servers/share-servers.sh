#!/bin/bash
# Local NFS and CIFS servers, and mount helpers, for the share transfer tests.
#
#   tests/servers/share-servers.sh start DIR   start the servers, install the mount helpers,
#                                        check one mount and umount of each share
#   tests/servers/share-servers.sh stop DIR    undo all of it (harmless if nothing runs)
#
# The test kernel has no NFS or CIFS client, so `mount -t nfs` and `mount -t cifs` are
# served by helpers of our own: /usr/sbin gets a read-only overlay that adds mount.nfs
# (runs nfsfuse/, an NFSv3 client on FUSE) and mount.cifs (runs smbnetfs, FUSE over
# libsmbclient). umount(8) of those FUSE mounts needs no helper.
#
# Both servers (nfs-ganesha with rpcbind, and smbd) and both FUSE clients run in a network
# namespace of our own that has only a loopback interface, so nothing here can reach
# another machine whatever host a test names. The mounts themselves stay in the caller's
# mount namespace. Everything is changed in that namespace only, so this script runs only
# under scripts/in-private-var.sh (FH_PRIVATE_VAR=1); call start and stop from the same
# private namespace. smbd needs the user fhuser: /etc/passwd, /etc/shadow and /etc/group
# get bind-mounted copies that add it.
#
# Layout under DIR: nfs-root/ is exported as /export, cifs-root/ is the share fhshare
# (owned by fhuser: files written through CIFS belong to fhuser, so a directory that a
# test creates there must be writable by fhuser); samba/, ganesha/ hold configs and logs;
# run/ the network namespace, pid files and the per-mount smbnetfs configs; bin/ the
# helpers. After a successful start DIR/share.env holds NFS_HOST, NFS_PORT, NFS_EXPORT,
# NFS_ROOT, CIFS_HOST, CIFS_PORT, CIFS_SHARE, CIFS_USER, CIFS_PASS, CIFS_ROOT, TEST_DIR.
#
# Ports (inside the namespace): FH_NFS_PORT (20490), FH_MNT_PORT (20048), FH_CIFS_PORT
# (4445). FH_NFSFUSE names a built nfsfuse; without it, nfsfuse/nfsfuse.c is
# compiled into DIR/bin.
set -euo pipefail

NFS_PORT="${FH_NFS_PORT:-20490}"
MNT_PORT="${FH_MNT_PORT:-20048}"
CIFS_PORT="${FH_CIFS_PORT:-4445}"
CIFS_USER=fhuser
CIFS_PASS=fhpass
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)"

die() { echo "share-servers: $*" >&2; exit 1; }
. "$HERE/server-lib.sh"


# stop_groups PIDFILE PATTERN...: each process is a process-group leader (started under
# setsid); SIGTERM all the groups, wait up to 5 s, then SIGKILL what is left.
stop_groups() {
  local pid pids=()
  while [ $# -ge 2 ]; do
    if pid="$(running_pid "$1" "$2")"; then
      kill -TERM -- "-$pid" 2>/dev/null || true
      pids+=("$pid")
    fi
    rm -f "$1"
    shift 2
  done
  for pid in ${pids[@]+"${pids[@]}"}; do
    for _ in $(seq 50); do
      kill -0 -- "-$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL -- "-$pid" 2>/dev/null || true
  done
}

# Mount points (decoded) of this namespace's mounts whose type is $1.
mounts_of_type() {
  local _id _parent _dev _root mnt _rest type
  while read -r _id _parent _dev _root mnt _rest; do
    type="${_rest#* - }"
    type="${type%% *}"
    [ "$type" = "$1" ] && printf '%b\n' "$mnt"
  done </proc/self/mountinfo
}

# True while FILE has a bind mount of our copy COPY on top.
is_bound() {
  [ -e "$2" ] && [ "$(stat -c %d:%i "$1" 2>/dev/null)" = "$(stat -c %d:%i "$2" 2>/dev/null)" ]
}

stop_all() {
  local m f pid
  # FUSE mounts of the helpers (only they run these clients), then their daemons.
  for type in fuse.nfsfuse fuse.smbnetfs; do
    while read -r m; do
      [ -n "$m" ] || continue
      umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true
    done < <(mounts_of_type "$type")
  done
  # (One command for all of /proc: a fork per process would take seconds.)
  while read -r f; do
    pid="${f#/proc/}"
    pid="${pid%%/*}"
    kill -TERM "$pid" 2>/dev/null || true
  done < <(find /proc -mindepth 2 -maxdepth 2 -name exe -lname "$DIR/bin/nfsfuse*" 2>/dev/null
    grep -laF -- "config=$DIR/run/" /proc/[0-9]*/cmdline 2>/dev/null)
  stop_groups "$DIR/run/smbd.pid" "$DIR/samba/smb.conf" \
    "$DIR/run/nfs.pid" "fh-share-nfs $DIR/ganesha"
  # The helpers' overlay on /usr/sbin, and the user database copies.
  while [ "$(findmnt -n -o SOURCE --mountpoint /usr/sbin 2>/dev/null | tail -n 1)" = fh-share-sbin ]; do
    umount /usr/sbin || break
  done
  for f in passwd shadow group; do
    while is_bound "/etc/$f" "$DIR/samba/etc/$f"; do umount "/etc/$f" || break; done
  done
  if [ -e "$DIR/run/netns" ]; then
    umount "$DIR/run/netns" 2>/dev/null || true
  fi
  rm -rf "$DIR/run" "$DIR/share.env"
}

in_netns() { nsenter --net="$DIR/run/netns" "$@"; }

make_netns() {
  mkdir -p "$DIR/run"
  : >"$DIR/run/netns"
  unshare --net="$DIR/run/netns" true
  in_netns ip link set lo up
}

# The tests' own copy of nfsfuse, so that stop can tell its processes by their binary.
install_nfsfuse() {
  local src="$HERE/nfsfuse/nfsfuse.c"
  mkdir -p "$DIR/bin"
  if [ -n "${FH_NFSFUSE:-}" ]; then
    [ -x "$FH_NFSFUSE" ] || die "FH_NFSFUSE=$FH_NFSFUSE is not an executable"
    cp "$FH_NFSFUSE" "$DIR/bin/nfsfuse.new"
  else
    # shellcheck disable=SC2046
    cc -std=c11 -O2 -Wall -Wextra -Werror $(pkg-config --cflags fuse3 libnfs) \
      -o "$DIR/bin/nfsfuse.new" "$src" $(pkg-config --libs fuse3 libnfs) ||
      die "cannot build $src (needs libnfs-dev, libfuse3-dev, pkg-config)"
  fi
  mv -f "$DIR/bin/nfsfuse.new" "$DIR/bin/nfsfuse"
}

add_user() {
  local f uid=4711
  mkdir -p "$DIR/samba/etc"
  for f in passwd shadow group; do cp "/etc/$f" "$DIR/samba/etc/$f"; done
  if ! getent passwd "$CIFS_USER" >/dev/null; then
    while getent passwd "$uid" >/dev/null || getent group "$uid" >/dev/null; do uid=$((uid + 1)); done
    echo "$CIFS_USER:x:$uid:$uid:share test user:/nonexistent:/usr/sbin/nologin" >>"$DIR/samba/etc/passwd"
    echo "$CIFS_USER:!:19000:0:99999:7:::" >>"$DIR/samba/etc/shadow"
    echo "$CIFS_USER:x:$uid:" >>"$DIR/samba/etc/group"
  fi
  for f in passwd shadow group; do mount --bind "$DIR/samba/etc/$f" "/etc/$f"; done
}

start_smbd() {
  local s="$DIR/samba"
  mkdir -p "$s"/{private,state,lock,cache,pid,ncalrpc,log} "$DIR/cifs-root"
  chmod 700 "$s/private"
  chown "$CIFS_USER:" "$DIR/cifs-root"
  # smbd listens on 445 too (the namespace's own port), so that a mount without port=
  # works as well.
  cat >"$s/smb.conf" <<EOF
# Generated by tests/servers/share-servers.sh; rewritten on every start.
[global]
  server role = standalone server
  workgroup = FHTEST
  netbios name = FHTEST
  smb ports = $CIFS_PORT$([ "$CIFS_PORT" = 445 ] || echo " 445")
  interfaces = lo
  bind interfaces only = yes
  disable netbios = yes
  private dir = $s/private
  state directory = $s/state
  lock directory = $s/lock
  cache directory = $s/cache
  pid directory = $s/pid
  ncalrpc dir = $s/ncalrpc
  log file = $s/log/log.%m
  max log size = 1000
  log level = 1
  passdb backend = tdbsam:$s/private/passdb.tdb
  map to guest = never
  load printers = no
  printing = bsd
  printcap name = /dev/null
  disable spoolss = yes
  unix password sync = no
  obey pam restrictions = no

[fhshare]
  path = $DIR/cifs-root
  read only = no
  valid users = $CIFS_USER
EOF
  printf '%s\n%s\n' "$CIFS_PASS" "$CIFS_PASS" |
    smbpasswd -c "$s/smb.conf" -a -s "$CIFS_USER" >"$s/log/smbpasswd.out" 2>&1 ||
    die "smbpasswd failed: $(cat "$s/log/smbpasswd.out")"
  # smbd --no-process-group signals its whole process group when it ends: setsid gives
  # it (and the processes it forks) a group of its own, which stop then signals.
  setsid nsenter --net="$DIR/run/netns" \
    smbd --foreground --no-process-group -s "$s/smb.conf" </dev/null >>"$s/log/smbd.out" 2>&1 &
  echo "$!" >"$DIR/run/smbd.pid"
}

start_nfs() {
  local g="$DIR/ganesha"
  mkdir -p "$g/recovery" "$DIR/nfs-root"
  # No Bind_addr: ganesha resolves it with AI_ADDRCONFIG, which finds nothing in a
  # namespace that has only loopback addresses. The namespace has nothing else anyway.
  cat >"$g/ganesha.conf" <<EOF
# Generated by tests/servers/share-servers.sh; rewritten on every start.
NFS_CORE_PARAM {
  NFS_Port = $NFS_PORT;
  MNT_Port = $MNT_PORT;
  Enable_NLM = false;
  Enable_RQUOTA = false;
  Protocols = 3, 4;
  Mount_Path_Pseudo = true;
}
NFSV4 {
  Graceless = true;
  RecoveryRoot = "$g/recovery";
}
NFS_KRB5 { Active_krb5 = false; }
EXPORT {
  Export_Id = 1;
  Path = "$DIR/nfs-root";
  Pseudo = /export;
  Access_Type = RW;
  Squash = No_Root_Squash;
  Protocols = 3, 4;
  Transports = TCP, UDP;
  SecType = sys;
  FSAL { Name = VFS; }
}
EOF
  # rpcbind has its socket and state in /run: both daemons get a mount namespace with a
  # tmpfs of their own there. The shell stays as the group leader that stop signals.
  # shellcheck disable=SC2016 # expanded by the inner shell
  setsid nsenter --net="$DIR/run/netns" unshare -m --propagation private \
    bash -c 'set -e
      mount -t tmpfs -o mode=0755 fh-share-run /run
      mkdir -p /run/rpcbind
      rpcbind -f &
      for _ in $(seq 50); do [ -S /run/rpcbind.sock ] && break; sleep 0.1; done
      ganesha.nfsd -F -f "$1/ganesha.conf" -L "$1/ganesha.log" -p "$1/ganesha.pid" -N NIV_EVENT &
      wait' fh-share-nfs "$g" </dev/null >>"$g/daemons.out" 2>&1 &
  echo "$!" >"$DIR/run/nfs.pid"
}

# Copies the mount helpers into DIR/bin/sbin and lays that directory over /usr/sbin.
install_helpers() {
  local b="$DIR/bin/sbin"
  mkdir -p "$b"
  printf 'netns=%q\nnfsfuse=%q\nrun_dir=%q\n' "$DIR/run/netns" "$DIR/bin/nfsfuse" "$DIR/run" \
    >"$b/share-helpers.env"
  cp "$HERE/mount.nfs" "$HERE/mount.cifs" "$b/"
  chmod 755 "$b/mount.nfs" "$b/mount.cifs"
  mount -t overlay fh-share-sbin -o "lowerdir=$b:/usr/sbin" /usr/sbin
}

# wait_port PORT SECONDS: until something in the namespace accepts TCP on PORT.
wait_port() {
  local n=$(($2 * 10))
  for _ in $(seq "$n"); do
    # shellcheck disable=SC2016 # expanded by the inner shell
    in_netns bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$1"' wait-port "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# probe NAME MOUNT-COMMAND...: mount, list, umount, with a few tries.
probe() {
  local name="$1" mnt="$DIR/run/probe"
  shift
  mkdir -p "$mnt"
  for _ in $(seq 20); do
    if "$@" "$mnt" 2>"$DIR/run/probe.err"; then
      ls "$mnt" >/dev/null && umount "$mnt" && return 0
      umount "$mnt" 2>/dev/null || true
    fi
    sleep 0.25
  done
  echo "share-servers: $name mount does not work: $(cat "$DIR/run/probe.err")" >&2
  return 1
}

start() {
  [ -x "$(command -v smbd)" ] && [ -x "$(command -v smbnetfs)" ] &&
    [ -x "$(command -v ganesha.nfsd)" ] && [ -x "$(command -v rpcbind)" ] ||
    die "needs samba, smbnetfs, nfs-ganesha, nfs-ganesha-vfs and rpcbind"
  stop_all # a previous instance in the same DIR
  # Whatever way start fails, it leaves nothing mounted or running.
  # shellcheck disable=SC2154 # rc is set in the trap
  trap 'rc=$?; [ $rc = 0 ] || stop_all; exit $rc' EXIT
  mkdir -p "$DIR/run" "$DIR/bin"
  make_netns
  add_user
  install_nfsfuse
  start_smbd
  start_nfs
  install_helpers
  if ! wait_port "$CIFS_PORT" 20 || ! wait_port "$NFS_PORT" 30 ||
    ! probe CIFS mount -t cifs -o "username=$CIFS_USER,password=$CIFS_PASS,port=$CIFS_PORT" \
      "//127.0.0.1/fhshare" ||
    ! probe NFS mount -t nfs -o "nolock,port=$NFS_PORT" "127.0.0.1:/export"; then
    echo "share-servers: start failed; see $DIR/samba/log and $DIR/ganesha" >&2
    tail -n 5 "$DIR/samba/log/smbd.out" "$DIR/ganesha/ganesha.log" "$DIR/ganesha/daemons.out" >&2 2>/dev/null || true
    exit 1
  fi
  printf '%s\n' NFS_HOST=127.0.0.1 "NFS_PORT=$NFS_PORT" NFS_EXPORT=/export \
    "NFS_ROOT=$DIR/nfs-root" CIFS_HOST=127.0.0.1 "CIFS_PORT=$CIFS_PORT" CIFS_SHARE=fhshare \
    "CIFS_USER=$CIFS_USER" "CIFS_PASS=$CIFS_PASS" "CIFS_ROOT=$DIR/cifs-root" \
    "TEST_DIR=$DIR" >"$DIR/share.env"
  echo "share servers up: nfs 127.0.0.1:$NFS_PORT:/export cifs //127.0.0.1:$CIFS_PORT/fhshare (dir $DIR)"
}

[ "${FH_PRIVATE_VAR:-}" = 1 ] ||
  die "runs only in a private mount namespace: use scripts/in-private-var.sh"
[ "$(id -u)" = 0 ] || die "must run as root"
# DIR goes into configs, an overlay's lowerdir (':' and ',' separate there) and
# generated scripts.
case "${2:-}" in
  *[!A-Za-z0-9._/+-]*) die "DIR may hold only letters, digits and . _ / + -" ;;
esac
fh_server_main "$@" "$NFS_PORT" "$MNT_PORT" "$CIFS_PORT"
