// basekit/vrk/Types.h
// Fixed-width integers and the native handle type of the foundation library.
#pragma once
#include <cstdint>

namespace vrk {
using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;

#ifdef _WIN32
using NativeHandle = void*;  // HANDLE; INVALID_HANDLE_VALUE is (HANDLE)-1
#else
using NativeHandle = int;    // a file descriptor; -1 is none
#endif
}  // namespace vrk
