// libVantor/internal/Crc32.h
// CRC-32 as GPT headers and entry arrays carry it (IEEE 802.3 polynomial, reflected,
// initial value and final XOR 0xFFFFFFFF), from tables built at compile time. No state:
// a CRC over pieces is crc32(b, nb, crc32(a, na)), the same as over the pieces joined.
#pragma once
#include <cstddef>

#include <libVantor/Types.h>

namespace vantor {
namespace crc32_detail {

// entry[0] is the usual byte table; entry[k][b] is the CRC of byte b followed by k zero
// bytes, so that four bytes are folded in with four look-ups ("slicing by four").
struct Tables {
  u32 entry[4][256];
};
constexpr Tables makeTables() {
  Tables t{};
  for (u32 i = 0; i < 256; ++i) {
    u32 c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t.entry[0][i] = c;
  }
  for (u32 i = 0; i < 256; ++i) {
    for (u32 k = 1; k < 4; ++k) t.entry[k][i] = (t.entry[k - 1][i] >> 8) ^ t.entry[0][t.entry[k - 1][i] & 0xFF];
  }
  return t;
}
inline constexpr Tables TABLES = makeTables();

}  // namespace crc32_detail

// The CRC-32 of `size` bytes at `data`, continuing from `crc` (0 to start).
constexpr u32 crc32(const u8* data, std::size_t size, u32 crc = 0) {
  const auto& t = crc32_detail::TABLES.entry;
  crc = ~crc;
  std::size_t i = 0;
  for (; i + 4 <= size; i += 4) {
    crc ^= u32(data[i]) | u32(data[i + 1]) << 8 | u32(data[i + 2]) << 16 | u32(data[i + 3]) << 24;
    crc = t[3][crc & 0xFF] ^ t[2][(crc >> 8) & 0xFF] ^ t[1][(crc >> 16) & 0xFF] ^ t[0][crc >> 24];
  }
  for (; i < size; ++i) crc = t[0][(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

namespace crc32_detail {
constexpr u8 CHECK_INPUT[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
static_assert(crc32(CHECK_INPUT, 9) == 0xCBF43926u, "the standard check value of CRC-32");
static_assert(crc32(CHECK_INPUT + 4, 5, crc32(CHECK_INPUT, 4)) == 0xCBF43926u, "CRC over pieces");
static_assert(crc32(CHECK_INPUT + 1, 8, crc32(CHECK_INPUT, 1)) == 0xCBF43926u, "CRC over unaligned pieces");
}  // namespace crc32_detail

}  // namespace vantor
