#!/usr/bin/env bash
# Fetches and unpacks the sources of the decoders that the build compiles in: minizip
# (both systems), and for Windows zstd, liblzma and bzip2 (Debian 12 has no mingw-w64
# packages of them), the versions Debian 12 ships, from Debian's archive. Each tarball
# is checked against the hash below. Safe to run again: a library unpacked from the
# right tarball is kept.
# Usage: scripts/fetch-decoder-sources.sh [DIR [NAME...]]   DIR defaults (also when "")
# to .cache/decoder-sources at the top, a cache of third-party sources beside the
# project's own folders, not among them; NAMEs fetch only those folders.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$(realpath -m "${1:-.cache/decoder-sources}")
wanted=("${@:2}")
pool=http://deb.debian.org/debian/pool/main
# folder unpacked, tarball's address, its SHA-256
sources=(
  "zstd-1.5.4 $pool/libz/libzstd/libzstd_1.5.4%2bdfsg2.orig.tar.xz 8cf4bbb65e77ec348d052c8d6230eba66d435bddf64c8b5be2fcb16880c19953"
  "xz-5.4.1 $pool/x/xz-utils/xz-utils_5.4.1.orig.tar.xz 5d9827aa1875b21c288f78864bb26d2650b436ea8d2cad364e4921eb6266a5a5"
  "bzip2-1.0.8 $pool/b/bzip2/bzip2_1.0.8.orig.tar.gz ab5a03176ee106d3f0fa90e381da478ddae405918153cca248e682cd0c4a2269"
  "minizip $pool/m/minizip/minizip_1.1.orig.tar.xz 7d8da446d3b6799e7851f077a66551a46b80fc3de708549e79dbd3e49e842ba1"
)
mkdir -p "$dir/downloads"
for entry in "${sources[@]}"; do
  read -r folder url sha <<<"$entry"
  if [ ${#wanted[@]} -gt 0 ] && [[ " ${wanted[*]} " != *" $folder "* ]]; then continue; fi
  if [ "$(cat "$dir/$folder/.unpacked-from" 2>/dev/null)" = "$sha" ]; then continue; fi
  tarball=$dir/downloads/${url##*/}
  if [ ! -f "$tarball" ] || ! echo "$sha  $tarball" | sha256sum -c --status; then
    curl -fsSL --retry 3 -o "$tarball.part" "$url"
    mv "$tarball.part" "$tarball"
  fi
  if ! echo "$sha  $tarball" | sha256sum -c --status; then
    echo "fetch-decoder-sources: $url does not have the SHA-256 expected ($sha); got $(sha256sum "$tarball" | cut -d' ' -f1)" >&2
    rm -f "$tarball"
    exit 1
  fi
  rm -rf "${dir:?}/$folder"
  tar -C "$dir" -xf "$tarball"
  [ -d "$dir/$folder" ] || { echo "fetch-decoder-sources: $tarball holds no $folder" >&2; exit 1; }
  echo "$sha" >"$dir/$folder/.unpacked-from"
done
