// os_includes/windows/libVantor/SharedLibrary.cpp
//
// Windows side of a library loaded at run time: LoadLibraryExW, searching the program's
// folder, the system folder and the folders added with AddDllDirectory, never the current
// one.
#include <libVantor/internal/SharedLibrary.h>

#include <windows.h>

#include <vrk/windows/WideText.h>

namespace vantor::os {

SharedLibrary::SharedLibrary(const char* name)
    : handle_(LoadLibraryExW(vrk::windows::wide(vrk::String(name)).c_str(), nullptr,
                             LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)) {
  if (!handle_) problem_ = std::string(name) + " could not be loaded (error " + std::to_string(GetLastError()) + ")";
}

SharedLibrary::~SharedLibrary() {
  if (handle_) FreeLibrary(static_cast<HMODULE>(handle_));
}

void* SharedLibrary::symbol(const char* name) const {
  return handle_ ? reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name)) : nullptr;
}

}  // namespace vantor::os
