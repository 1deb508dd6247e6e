// libVantor/internal/Crc32.h
// CRC-32 as GPT headers and entry arrays carry it (IEEE 802.3 polynomial, reflected,
// initial value and final XOR 0xFFFFFFFF), from a table built at compile time. No state:
// a CRC over pieces is crc32(b, nb, crc32(a, na)), the same as over the pieces joined.
#pragma once
#include <array>
#include <cstddef>

#include <libVantor/Types.h>

namespace vantor {
namespace crc32_detail {

constexpr std::array<u32, 256> makeTable() {
  std::array<u32, 256> table{};
  for (u32 i = 0; i < 256; ++i) {
    u32 c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}
inline constexpr std::array<u32, 256> TABLE = makeTable();

}  // namespace crc32_detail

// The CRC-32 of `size` bytes at `data`, continuing from `crc` (0 to start).
constexpr u32 crc32(const u8* data, std::size_t size, u32 crc = 0) {
  crc = ~crc;
  for (std::size_t i = 0; i < size; ++i) crc = crc32_detail::TABLE[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

namespace crc32_detail {
constexpr u8 CHECK_INPUT[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
static_assert(crc32(CHECK_INPUT, 9) == 0xCBF43926u, "the standard check value of CRC-32");
static_assert(crc32(CHECK_INPUT + 4, 5, crc32(CHECK_INPUT, 4)) == 0xCBF43926u, "CRC over pieces");
}  // namespace crc32_detail

}  // namespace vantor
