#!/usr/bin/env bash
# Installs everything the build, the tests, the benchmarks and the sample disk need,
# from Debian's packages: also the mingw-w64 cross compiler and Wine, for the Windows
# build and its tests. Safe to run again; run as root on Debian 12.
set -euo pipefail
packages=(
  build-essential cmake g++ clang libclang-rt-14-dev
  libboost-dev libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
  dosfstools mtools fdisk util-linux e2fsprogs partclone
  exfatprogs exfat-fuse ntfs-3g gdisk
  libxxhash-dev
  libfuse3-dev fuse3 pkg-config time
  libmount-dev libblkid-dev nlohmann-json3-dev python3
  g++-mingw-w64-x86-64 wine wine64 ninja-build
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
