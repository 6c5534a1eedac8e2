#!/bin/bash
# Installs the Debian packages that building, the tests, the demo and the benchmarks
# need; does nothing when they are all there. Run as root.
set -euo pipefail
packages=(build-essential cmake pkg-config clang libclang-rt-14-dev libcurl4-openssl-dev liblmdb-dev libgtest-dev
  nginx-light openssl curl python3 util-linux openssh-server openssh-client vsftpd sshpass
  samba smbnetfs nfs-ganesha nfs-ganesha-vfs rpcbind libnfs-dev libfuse3-dev fuse3 iproute2
  tftpd-hpa libcpp-httplib-dev nlohmann-json3-dev python3-sushy redfishtool)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  # The tests start their own servers on loopback: keep the packages' own services from
  # starting on install (policy-rc.d 101 = "not allowed").
  policy=/usr/sbin/policy-rc.d
  had_policy=0
  [ -e "$policy" ] && had_policy=1
  [ $had_policy = 1 ] || printf '#!/bin/sh\nexit 101\n' > "$policy"
  chmod +x "$policy"
  # A foreign architecture's index may fail to fetch (see cross-deps.sh); a package that
  # is really unavailable still fails the install below.
  apt-get update -qq || echo "install-deps: apt-get update reported a failure (tolerated)" >&2
  apt-get install -y -qq "${missing[@]}"
  [ $had_policy = 1 ] || rm -f "$policy"
fi

