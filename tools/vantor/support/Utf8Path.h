// tools/vantor/support/Utf8Path.h
// The host keeps every path as UTF-8 text. A std::filesystem::path made straight from a
// std::string reads it in the system's narrow code page (on Windows the ANSI one, which
// cannot hold most names), so paths cross into std::filesystem and the file streams, and
// back, only through these two.
#pragma once
#include <filesystem>
#include <string>

namespace vantor::cli {

inline std::filesystem::path fsPath(const std::string& utf8) { return std::filesystem::u8path(utf8); }

inline std::string utf8Path(const std::filesystem::path& path) { return path.u8string(); }

}  // namespace vantor::cli
