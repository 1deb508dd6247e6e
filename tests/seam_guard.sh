#!/bin/sh
# The core sees no platform: it includes no system header of either platform, names no
# system type or call, and every <libVantor/...> header it includes lies in the core
# itself, so the build's choice of platform folder never changes what a core header means.
root=${1:?usage: seam_guard.sh SOURCE_DIR}
core=$root/libVantor
status=0
if grep -rnE '#include <(unistd|fcntl|windows|winioctl|setupapi|io|mntent|libmount/libmount|blkid/blkid)\.h>|#include <(sys|linux)/' "$core"; then
  echo "the core includes a platform header" >&2
  status=1
fi
if grep -rnE '\b(HANDLE|DWORD|LARGE_INTEGER|errno|off_t|ssize_t|dev_t)\b|(::|[^A-Za-z0-9_.>:])(open|close|lseek|pread|pwrite|mmap|munmap|ioctl|fstat|ftruncate|mount|umount2?|CreateFileW?|ReadFile|WriteFile|CloseHandle|DuplicateHandle|VirtualAlloc|VirtualFree|DeviceIoControl|GetLastError|SetFilePointerEx|SetEndOfFile|GetFileSizeEx) *\(' \
    "$core" --include='*.h' --include='*.cpp' | grep -vE '^[^:]+:[0-9]+: *(//|\*)'; then
  echo "the core names a system's types or calls" >&2
  status=1
fi
for header in $(grep -rhoE '#include <libVantor/[A-Za-z/]+\.h>' "$core" | sed 's/#include <libVantor\///; s/>//' | sort -u); do
  if [ ! -f "$core/$header" ]; then
    echo "the core includes <libVantor/$header>, which only a platform folder has" >&2
    status=1
  fi
done
exit $status
