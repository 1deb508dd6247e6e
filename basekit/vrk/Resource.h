// basekit/vrk/Resource.h
// Owners of operating-system handles. CopiedResource<Manager> holds one handle: a
// copy duplicates it (and is empty when duplication fails), destruction closes it,
// a move hands it over. Manager says what "invalid", "copy" and "destroy" mean for its
// kind of handle; FileHandleResManager does so for files and devices of this platform.
#pragma once
#include <utility>

#include <vrk/Export.h>
#include <vrk/String.h>
#include <vrk/Types.h>

namespace vrk {

// How a file or device is to be opened (the platform maps these to its own flags).
struct CreateFileOpenArgs {
  bool read = true;
  bool write = true;
  bool create = false;     // create the file when missing
  bool exclusive = false;  // refuse when somebody else holds the device open exclusively
  bool direct = false;     // bypass the system cache (whole, aligned sectors only)
};

struct VRK_EXPORT FileHandleResManager {
  using Handle = NativeHandle;
  static Handle invalid();
  // Duplicates `source` into `copy`; false (and `copy` invalid) on failure.
  static bool copy(Handle source, Handle& copy);
  static void destroy(Handle handle);
  // Opens `path`; invalid() on failure.
  static Handle open(const String& path, const CreateFileOpenArgs& args);
};

template <class Manager>
class CopiedResource {
 public:
  using Handle = typename Manager::Handle;

  CopiedResource() = default;
  // Takes ownership of `handle`.
  explicit CopiedResource(Handle handle) : handle_(handle) {}
  CopiedResource(const CopiedResource& other) {
    if (other.isValid() && !Manager::copy(other.handle_, handle_)) handle_ = Manager::invalid();
  }
  CopiedResource(CopiedResource&& other) noexcept : handle_(other.release()) {}
  CopiedResource& operator=(const CopiedResource& other) {
    if (this != &other) {
      CopiedResource copy(other);
      swap(copy);
    }
    return *this;
  }
  CopiedResource& operator=(CopiedResource&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = other.release();
    }
    return *this;
  }
  ~CopiedResource() { reset(); }

  Handle get() const { return handle_; }
  bool isValid() const { return handle_ != Manager::invalid(); }
  // Closes the handle held and takes `handle` (invalid by default).
  void reset(Handle handle = Manager::invalid()) {
    if (isValid()) Manager::destroy(handle_);
    handle_ = handle;
  }
  Handle release() { return std::exchange(handle_, Manager::invalid()); }
  void swap(CopiedResource& other) noexcept { std::swap(handle_, other.handle_); }

 private:
  Handle handle_ = Manager::invalid();
};

using FileHandle = CopiedResource<FileHandleResManager>;

}  // namespace vrk
