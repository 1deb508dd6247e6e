// libVantor/internal/SharedLibrary.h
// A library of the system loaded while the program runs, for a facility that few runs
// need: a program that never uses it does not pay for loading it (and everything it
// links) at start-up. Loaded on construction, let go of on destruction; each platform
// implements it in os_includes/<platform>/libVantor/SharedLibrary.cpp (dlopen;
// LoadLibraryW). Nothing here logs or throws.
#pragma once
#include <string>

namespace vantor::os {

class SharedLibrary {
 public:
  // Loads the library the system finds by `name` ("libarchive.so.13"); loaded() says
  // whether it could, and problem() why not.
  explicit SharedLibrary(const char* name);
  ~SharedLibrary();
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;

  bool loaded() const { return handle_ != nullptr; }
  const std::string& problem() const { return problem_; }
  // The address of the function `name`; null when the library is not loaded or lacks it.
  void* symbol(const char* name) const;
  // The same, as the function type F (`decltype(&some_function)`).
  template <typename F>
  F function(const char* name) const {
    return reinterpret_cast<F>(symbol(name));
  }

 private:
  void* handle_ = nullptr;
  std::string problem_;
};

}  // namespace vantor::os
