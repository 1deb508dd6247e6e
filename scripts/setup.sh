#!/usr/bin/env bash
# Installs, from Debian's packages, what Vantor needs. Safe to run again; run as root on
# Debian 12.
#   scripts/setup.sh demo   what the Quick start's demo needs: the compiler, the library's
#                           and the vantor program's build dependencies, and the tools that
#                           make and read the sample disk, and minizip's source, which
#                           the library compiles in (scripts/fetch-decoder-sources.sh);
#   scripts/setup.sh        all of that, and what the tests, the benchmarks and the Windows
#                           build need: GoogleTest, clang and its fuzzing runtime, the file
#                           system and table tools the tests check against, partclone for
#                           the benchmarks, the mingw-w64 cross compiler and Wine, zlib
#                           for it, and the sources of the other decoders it compiles in
#                           (scripts/fetch-decoder-sources.sh).
set -euo pipefail
demo=(
  build-essential cmake g++ pkg-config
  libboost-dev libcli11-dev libxxhash-dev libmount-dev libblkid-dev nlohmann-json3-dev
  libfuse3-dev fuse3
  zlib1g-dev liblzma-dev libzstd-dev libbz2-dev
  dosfstools mtools fdisk util-linux
)
rest=(
  clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
  e2fsprogs partclone exfatprogs exfat-fuse ntfs-3g gdisk time python3 xz-utils zstd bzip2 gzip zip
  g++-mingw-w64-x86-64 libz-mingw-w64-dev wine wine64 ninja-build
)
case "${1:-all}" in
  demo) packages=("${demo[@]}") ;;
  all) packages=("${demo[@]}" "${rest[@]}") ;;
  *) echo "usage: scripts/setup.sh [demo]" >&2; exit 2 ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# The library builds minizip from its source; the Windows build the other decoders too.
if [ "${1:-all}" = all ]; then
  bash "$(dirname "$0")/fetch-decoder-sources.sh"
else
  bash "$(dirname "$0")/fetch-decoder-sources.sh" "" minizip
fi
