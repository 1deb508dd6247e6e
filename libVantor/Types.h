// libVantor/Types.h
// The integer types of every on-disk layout and interface of the library.
#pragma once
#include <vrk/Types.h>

namespace vantor {
using vrk::u16;
using vrk::u32;
using vrk::u64;
using vrk::u8;
}  // namespace vantor
