// Windows: a new file with a random suffix made with CREATE_NEW beside the image;
// MoveFileExW, which refuses an existing name unless told to replace it.
#include <windows.h>

#include <random>

#include <libVantor/VantorException.h>

#include "../FileFacts.h"
#include "../PartialImage.h"
#include "WindowsText.h"

namespace vantor::cli {

PartialImage::PartialImage(const std::string& image) : image_(image) {
  static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device seed;
  std::mt19937 random(seed());
  std::uniform_int_distribution<int> pick(0, sizeof letters - 2);
  DWORD error = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < 100 && error == ERROR_FILE_EXISTS; ++attempt) {
    std::string name = image + ".partial-";
    for (int i = 0; i < 6; ++i) name += letters[pick(random)];
    HANDLE file = CreateFileW(systemPath(name).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      CloseHandle(file);
      path_ = name;
      return;
    }
    error = GetLastError();
  }
  throw VantorException(ERR_FILE_ACCESS,
                        vrk::String("cannot create a file beside \"") + image + "\": " + errorText(error));
}

PartialImage::~PartialImage() {
  if (!committed_) DeleteFileW(systemPath(path_).c_str());
}

void PartialImage::commit(bool replace) {
  const FileFacts::Kind kind = FileFacts::inspect(image_).kind;
  if (kind != FileFacts::Kind::Missing && kind != FileFacts::Kind::Regular) {
    throw VantorException(ERR_FILE_ACCESS, vrk::String("\"") + image_ + "\" exists and is not a regular file");
  }
  if (!MoveFileExW(systemPath(path_).c_str(), systemPath(image_).c_str(),
                   MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0))) {
    throw VantorException(ERR_FILE_ACCESS, vrk::String("cannot put the captured image at \"") + image_ + "\": " +
                                               lastErrorText() + " (it is left in \"" + path_ + "\")");
  }
  committed_ = true;
}

}  // namespace vantor::cli
