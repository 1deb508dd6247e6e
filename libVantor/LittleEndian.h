// libVantor/LittleEndian.h
// Reading and writing little-endian integers at any byte address, for every on-disk
// layout of the library (MBR entries, FAT boot sectors and tables, image headers).
#pragma once
#include <libVantor/Types.h>

namespace vantor {

inline u16 readLE16(const u8* p) { return static_cast<u16>(p[0] | (p[1] << 8)); }
inline u32 readLE32(const u8* p) { return u32(p[0]) | (u32(p[1]) << 8) | (u32(p[2]) << 16) | (u32(p[3]) << 24); }
inline u64 readLE64(const u8* p) { return u64(readLE32(p)) | (u64(readLE32(p + 4)) << 32); }

inline void writeLE16(u8* p, u16 v) {
  p[0] = static_cast<u8>(v);
  p[1] = static_cast<u8>(v >> 8);
}
inline void writeLE32(u8* p, u32 v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<u8>(v >> (8 * i));
}
inline void writeLE64(u8* p, u64 v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<u8>(v >> (8 * i));
}

}  // namespace vantor
