// os_includes/windows/libVantor/DllMain.cpp
//
// Vantor.dll's entry point. The library keeps no per-thread state that the system would
// have to tell it about, so process attach only turns off the thread attach and detach
// notifications (DisableThreadLibraryCalls); nothing else happens on load or unload.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}
