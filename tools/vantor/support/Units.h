// tools/vantor/support/Units.h
// Reading and writing the quantities a technician types and reads: byte sizes with
// binary suffixes ("64M", "1G", "512KiB"), sector numbers in decimal or 0x-hex, and
// the human forms of sizes, rates and durations shown in listings and progress lines.
// Parsing failures throw UsageError (the command line makes no sense). No state.
#pragma once
#include <cstdint>
#include <string>

namespace vantor::cli {

class Units {
 public:
  // "123", "64M", "1G", "2T", "512K", "64MiB", "1GB": suffixes are binary (K = 1024).
  // A decimal fraction is taken when it makes whole bytes: "1.5G" = 1610612736, "0.5K" =
  // 512; "1.3K" (1331.2 bytes) is refused.
  static std::uint64_t parseSize(const std::string& text);
  // Decimal or 0x-prefixed hexadecimal.
  static std::uint64_t parseNumber(const std::string& text);
  // "FIRST-LAST", inclusive sector numbers, each as parseNumber reads it.
  static std::pair<std::uint64_t, std::uint64_t> parseRange(const std::string& text);

  // "64.0 MiB", "512 B", "1.50 GiB".
  static std::string bytes(std::uint64_t count);
  // "85.3 MiB/s".
  static std::string rate(double bytesPerSecond);
  // "0.42 s", "12.3 s", then as duration().
  static std::string seconds(double value);
  // "0:07", "1:02:03".
  static std::string duration(double seconds);
  // A partition type byte: "0x0c".
  static std::string typeByte(std::uint8_t type);
};

}  // namespace vantor::cli
