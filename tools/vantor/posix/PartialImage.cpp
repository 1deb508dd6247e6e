// POSIX: mkstemp(3) beside the image, renameat2(2) with RENAME_NOREPLACE unless replacing
// (a hard link where the file system lacks it).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <libVantor/VantorException.h>

#include "../FileFacts.h"
#include "../PartialImage.h"

namespace vantor::cli {

PartialImage::PartialImage(const std::string& image) : image_(image) {
  std::string name = image + ".partial-XXXXXX";
  const int fd = ::mkstemp(name.data());
  if (fd < 0) {
    throw VantorException(ERR_FILE_ACCESS, vrk::String("cannot create a file beside \"") + image + "\": " +
                                               std::strerror(errno));
  }
  path_ = name;
  // mkstemp makes the file private; an image gets the ordinary mode of a new file.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  (void)::fchmod(fd, 0666 & ~mask);
  ::close(fd);
}

PartialImage::~PartialImage() {
  if (!committed_) (void)::unlink(path_.c_str());
}

void PartialImage::commit(bool replace) {
  const FileFacts::Kind kind = FileFacts::inspect(image_).kind;
  if (kind != FileFacts::Kind::Missing && kind != FileFacts::Kind::Regular) {
    throw VantorException(ERR_FILE_ACCESS, vrk::String("\"") + image_ + "\" exists and is not a regular file");
  }
  int rc = ::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, image_.c_str(), replace ? 0 : RENAME_NOREPLACE);
  if (rc != 0 && errno == EINVAL && !replace) {
    // A file system without RENAME_NOREPLACE: a hard link refuses an existing name too.
    rc = ::link(path_.c_str(), image_.c_str());
    if (rc == 0) (void)::unlink(path_.c_str());
  }
  if (rc != 0) {
    throw VantorException(ERR_FILE_ACCESS, vrk::String("cannot put the captured image at \"") + image_ + "\": " +
                                               std::strerror(errno) + " (it is left in \"" + path_ + "\")");
  }
  committed_ = true;
}

}  // namespace vantor::cli
