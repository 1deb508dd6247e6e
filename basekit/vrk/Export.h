// basekit/vrk/Export.h
// VRK_EXPORT marks the classes and functions Basekit exports: dllexport while Basekit
// itself is built, dllimport for everyone who uses it on Windows, default visibility on
// ELF, where Basekit is built with everything else hidden.
#pragma once

#if defined(_WIN32)
#if defined(BASEKIT_BUILDING_LIBRARY)
#define VRK_EXPORT __declspec(dllexport)
#else
#define VRK_EXPORT __declspec(dllimport)
#endif
#else
#define VRK_EXPORT __attribute__((visibility("default")))
#endif
