#!/bin/bash
# Prepares the 32-bit ARM (armhf) cross build: the cross compiler and qemu-user from
# Debian, and a sysroot with the target's libcurl, LMDB and GoogleTest (and everything
# they load) unpacked from Debian's armhf packages. Does nothing when it is all there.
# Run as root.
#
#   scripts/cross-deps.sh [SYSROOT]     default /opt/filehandle-armhf-sysroot
#
# The armhf packages are unpacked into the sysroot rather than installed beside the
# amd64 ones: multiarch would require each shared library at the very same version for
# both architectures, and the amd64 ones often come from the security release whose
# armhf index is not always fetchable (some days the mirror's copy fails its size check
# and apt-get update exits non-zero while armhf is enabled). That one failure is
# tolerated; a package that is really unavailable still fails the download below.
set -euo pipefail
sysroot=${1:-/opt/filehandle-armhf-sysroot}
host_packages=(g++-arm-linux-gnueabihf qemu-user)
target_packages=(libcurl4-openssl-dev liblmdb-dev libgtest-dev libstdc++6)
stamp=$sysroot/.packages
want="${target_packages[*]}"

missing=()
for p in "${host_packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ] && [ "$(cat "$stamp" 2>/dev/null)" = "$want" ]; then
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  dpkg --add-architecture armhf
fi
apt-get update -qq || echo "cross-deps: apt-get update reported a failure (tolerated)" >&2
if [ ${#missing[@]} -gt 0 ]; then
  apt-get install -y -qq "${missing[@]}"
fi

# The target packages and everything they depend on, for armhf only.
mapfile -t debs < <(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
  --no-breaks --no-replaces --no-enhances "${target_packages[@]/%/:armhf}" 2>/dev/null |
  grep -E '^[a-z0-9].*:armhf$' | sort -u)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 777 "$work"  # apt fetches as its own unprivileged user
(cd "$work" && apt-get download -qq "${debs[@]}")
rm -rf "$sysroot"
mkdir -p "$sysroot"
for deb in "$work"/*.deb; do
  dpkg-deb -x "$deb" "$sysroot"
done
echo "$want" > "$stamp"
echo "cross-deps: ${#debs[@]} armhf packages unpacked into $sysroot"
