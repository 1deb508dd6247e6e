// tools/vantor/PartialImage.h
// The file a capture writes: IMAGE.partial-XXXXXX beside IMAGE, made so that it is this
// run's own (it did not exist before). commit() puts it at IMAGE; until then an existing
// IMAGE stays as it was, and a capture that fails or is given up leaves nothing behind
// (the destructor removes the file unless it was committed). Throws VantorException
// (ERR_FILE_ACCESS) when the file cannot be made or put in place. Main thread.
#pragma once
#include <string>

namespace vantor::cli {

class PartialImage {
 public:
  explicit PartialImage(const std::string& image);
  ~PartialImage();
  PartialImage(const PartialImage&) = delete;
  PartialImage& operator=(const PartialImage&) = delete;

  const std::string& path() const { return path_; }

  // Puts the finished file at IMAGE; `replace` lets it take the place of an existing one.
  void commit(bool replace);

 private:
  std::string image_;
  std::string path_;
  bool committed_ = false;
};

}  // namespace vantor::cli
