// libVantor/Export.h
// VANTOR_EXPORT marks the classes the library exports; everything else stays hidden.
#pragma once

#if defined(_WIN32)
#if defined(VANTOR_BUILDING_LIBRARY)
#define VANTOR_EXPORT __declspec(dllexport)
#else
#define VANTOR_EXPORT __declspec(dllimport)
#endif
#else
#define VANTOR_EXPORT __attribute__((visibility("default")))
#endif
