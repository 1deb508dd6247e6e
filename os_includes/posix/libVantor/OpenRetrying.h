// os_includes/posix/libVantor/OpenRetrying.h
// The one open(2) of the POSIX seam: restarted while a signal interrupts it, always with
// O_CLOEXEC, through PosixApi. Answers the descriptor, or -1 with errno from the last
// attempt.
#pragma once
#include <fcntl.h>
#include <sys/types.h>

#include <cerrno>

#include <libVantor/PosixApi.h>

namespace vantor::os {

inline int openRetrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = posixApi().open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace vantor::os
