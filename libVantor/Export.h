// libVantor/Export.h
// VANTOR_EXPORT marks the classes the library exports; everything else stays hidden. On
// Windows it is dllexport while the library is built and dllimport for its users, unless
// they link the library's objects themselves (VANTOR_STATIC, as the tests do).
#pragma once

#if defined(_WIN32)
#if defined(VANTOR_BUILDING_LIBRARY)
#define VANTOR_EXPORT __declspec(dllexport)
#elif defined(VANTOR_STATIC)
#define VANTOR_EXPORT
#else
#define VANTOR_EXPORT __declspec(dllimport)
#endif
#else
#define VANTOR_EXPORT __attribute__((visibility("default")))
#endif
