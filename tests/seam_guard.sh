#!/bin/sh
# The core sees no platform: it includes no system header of either platform, names no
# system type or call, and every <libVantor/...> header it includes lies in the core
# itself, so the build's choice of platform folder never changes what a core header means.
# The host (tools/) asks the system only for what is its own: the terminal, signals and
# FUSE. Drives, volumes, mounts, files and their locks it learns from the library; the
# table below names the few files that may include a system header, and which.
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

# The system headers each host file may include (an extended pattern); none for any other.
host_allowance() {
  case "$1" in
    # the terminal, signals and FUSE
    */posix/Terminal.cpp) echo 'sys/ioctl|unistd' ;;
    */posix/Interrupts.cpp) echo 'unistd' ;;
    */windows/Terminal.cpp | */windows/Interrupts.cpp) echo 'windows' ;;
    */MountCommand.cpp) echo 'fuse3/fuse|sys/stat|dirent' ;;
    *) echo '' ;;
  esac
}
system_header='#include <((sys|linux)/[a-z_/]+|unistd|fcntl|windows|winioctl|setupapi|cfgmgr32|io|mntent|termios|poll|dirent|libmount/libmount|blkid/blkid|libudev|fuse3?/fuse)\.h>'
for file in $(find "$root/tools" -name '*.cpp' -o -name '*.h' | sort); do
  allowance=$(host_allowance "$file")
  for header in $(grep -hoE "$system_header" "$file" | sed 's/#include <//; s/\.h>//'); do
    if [ -z "$allowance" ] || ! echo "$header" | grep -qxE "$allowance"; then
      echo "$file includes <$header.h>, which the host leaves to the library" >&2
      status=1
    fi
  done
  # libblkid, libmount and SetupAPI by their calls, drive queries and file calls, wherever
  # they hide
  if [ -z "$allowance" ] && grep -nE '\b(blkid_[a-z_]+|mnt_[a-z_]+|SetupDi[A-Za-z]+|DeviceIoControl|CreateFileW?|ioctl|BLK[A-Z0-9]+|flock|LockFileEx|GetFileInformationByHandle|DeleteFileW|unlink) *\(|(^|[^A-Za-z0-9_>])::(l?stat|open|lseek|pread|pwrite) *\(' "$file" |
      grep -vE '^[0-9]+: *(//|\*)'; then
    echo "$file asks the system about drives or files, which the host leaves to the library" >&2
    status=1
  fi
done
exit $status
