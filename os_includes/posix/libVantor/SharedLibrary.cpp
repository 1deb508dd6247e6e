// os_includes/posix/libVantor/SharedLibrary.cpp
//
// POSIX side of a library loaded at run time: dlopen(3) with its symbols kept to itself.
#include <libVantor/internal/SharedLibrary.h>

#include <dlfcn.h>

namespace vantor::os {

SharedLibrary::SharedLibrary(const char* name) : handle_(dlopen(name, RTLD_NOW | RTLD_LOCAL)) {
  if (!handle_) {
    const char* why = dlerror();
    problem_ = why ? why : std::string(name) + " could not be loaded";
  }
}

SharedLibrary::~SharedLibrary() {
  if (handle_) dlclose(handle_);
}

void* SharedLibrary::symbol(const char* name) const { return handle_ ? dlsym(handle_, name) : nullptr; }

}  // namespace vantor::os
