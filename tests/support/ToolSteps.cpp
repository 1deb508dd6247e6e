// A step file holds the tools' output, the file's size after the step and every 4 KiB
// block of it that is not all zeros. Its name is a digest (FNV-1a, 64 bits) of what the
// step does and of the file before it: a name for the file's contents, not a defence
// against anyone crafting files.
#include "support/ToolSteps.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "support/Shell.h"

namespace vantor::test {
namespace {

constexpr std::size_t BLOCK = 4096;

// Calls `use` with the index and bytes of each block of `file` that is not all zeros (the
// last one padded with zeros).
void forEachBlock(const std::string& file, const std::function<void(std::uint64_t, const std::string&)>& use) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("tool step: cannot read " + file);
  const std::string zeros(BLOCK, '\0');
  std::string block = zeros;
  for (std::uint64_t index = 0; in.read(block.data(), BLOCK) || in.gcount() > 0; ++index) {
    std::fill(block.begin() + in.gcount(), block.end(), '\0');
    if (block != zeros) use(index, block);
  }
}

void put(std::ostream& out, std::uint64_t value) { out.write(reinterpret_cast<const char*>(&value), sizeof value); }

std::uint64_t take(std::istream& in) {
  std::uint64_t value = 0;
  in.read(reinterpret_cast<char*>(&value), sizeof value);
  return value;
}

void record(const std::string& path, const std::string& output, const std::string& file) {
  const std::string temporary = path + ".part-" + std::to_string(std::random_device()());
  std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
  put(out, output.size());
  out << output;
  put(out, std::filesystem::file_size(file));
  forEachBlock(file, [&out](std::uint64_t index, const std::string& block) {
    put(out, index);
    out << block;
  });
  out.close();
  if (!out) throw std::runtime_error("tool step: cannot write " + temporary);
  std::filesystem::rename(temporary, path);  // whole or not at all, for a second run recording the same step
}

std::string replay(const std::string& path, const std::string& file) {
  std::ifstream in(path, std::ios::binary);
  std::string output(take(in), '\0');
  in.read(output.data(), static_cast<std::streamsize>(output.size()));
  const std::uint64_t size = take(in);
  std::filesystem::resize_file(file, 0);
  std::filesystem::resize_file(file, size);
  std::fstream out(file, std::ios::binary | std::ios::in | std::ios::out);
  std::string block(BLOCK, '\0');
  for (std::uint64_t index = take(in); in.read(block.data(), BLOCK); index = take(in)) {
    out.seekp(static_cast<std::streamoff>(index * BLOCK));
    out << block;
  }
  out.close();
  std::filesystem::resize_file(file, size);  // the last block may reach past the end
  if (!in.eof() || !out) throw std::runtime_error("tool step: cannot replay " + path + " onto " + file);
  return output;
}

}  // namespace

std::string sfdiskTable(const std::string& image) {
  return ToolSteps::run("sfdisk --dump", image, [&] {
    // "<image><slot from 1> : start=<first>, size=<count>, type=<hex>[, bootable]", one line an entry.
    std::istringstream dump(capture("sfdisk --dump " + shellQuote(image) + " 2>/dev/null"));
    const std::regex entry(R"((\d+) : start= *(\d+), size= *(\d+), type=([0-9a-f]+)(, bootable)?)");
    std::ostringstream out;
    std::smatch m;
    for (std::string line; std::getline(dump, line);) {
      if (!std::regex_search(line, m, entry)) continue;
      out << std::stoul(m[1]) - 1 << " " << m[2] << " " << m[3] << " " << m[4] << (m[5].matched ? " boot" : "") << "\n";
    }
    return out.str();
  });
}

bool ToolSteps::available() { return hasShell() || std::getenv("VANTOR_TOOL_STEPS") != nullptr; }

std::string ToolSteps::unavailableReason() {
  return "needs sfdisk, mkfs.fat, mtools and fsck.fat, which do not run here, or their steps recorded on Linux in the "
         "folder VANTOR_TOOL_STEPS names (a Windows build with -DVANTOR_NATIVE_BUILD_DIR records them first)";
}

std::string ToolSteps::run(const std::string& what, const std::string& file,
                           const std::function<std::string()>& step) {
  const char* folder = std::getenv("VANTOR_TOOL_STEPS");
  if (folder == nullptr && hasShell()) return step();
  if (folder == nullptr) throw std::runtime_error(unavailableReason());
  std::uint64_t key = 0xcbf29ce484222325ull;
  const auto add = [&key](const std::string& bytes) {
    for (const char byte : bytes) key = (key ^ static_cast<unsigned char>(byte)) * 0x100000001b3ull;
  };
  add(std::to_string(what.size()) + ':' + what);
  forEachBlock(file, [&add](std::uint64_t index, const std::string& block) { add(std::to_string(index) + ':' + block); });
  add(std::to_string(std::filesystem::file_size(file)));
  const std::string path = std::string(folder) + "/" + std::to_string(key) + ".step";
  if (std::filesystem::exists(path)) return replay(path, file);
  if (!hasShell()) {
    throw std::runtime_error("no recorded tool step \"" + what + "\" for the file " + file + " as it is now (" +
                             std::to_string(key) + "): it differs from every file the tools saw on Linux");
  }
  const std::string output = step();
  record(path, output, file);
  return output;
}

}  // namespace vantor::test
