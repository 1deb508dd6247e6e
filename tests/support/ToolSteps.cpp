#include "support/ToolSteps.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <stdexcept>
#include <vector>

#include "support/Shell.h"

namespace vantor::test {
namespace {

constexpr std::size_t BLOCK = 4096;
constexpr char MAGIC[4] = {'V', 'T', 'S', '1'};

using Blocks = std::map<std::uint64_t, std::string>;  // the non-zero blocks, by index

std::string folder() {
  const char* dir = std::getenv("VANTOR_TOOL_STEPS");
  return dir != nullptr ? dir : "";
}

// Two independent 64-bit lanes over the bytes: a name for a file's contents, not a
// defence against anyone crafting files.
class Digest {
 public:
  void add(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
      a_ = (a_ ^ bytes[i]) * 0x100000001b3ull;
      b_ = (b_ + bytes[i] + 1) * 0x9E3779B97F4A7C15ull;
      b_ ^= b_ >> 29;
    }
  }
  void addNumber(std::uint64_t value) { add(&value, sizeof value); }
  void addText(const std::string& text) {
    addNumber(text.size());
    add(text.data(), text.size());
  }
  std::string hex() const {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::uint64_t lane : {a_, b_}) {
      for (int shift = 60; shift >= 0; shift -= 4) out += digits[(lane >> shift) & 0xF];
    }
    return out;
  }

 private:
  std::uint64_t a_ = 0xcbf29ce484222325ull;
  std::uint64_t b_ = 0x84222325cbf29ce4ull;
};

// The file's size; its non-zero blocks go into `digest` and, when asked, into `keep`.
std::uint64_t readBlocks(const std::string& file, Digest* digest, Blocks* keep) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("tool step: cannot read " + file);
  std::vector<char> chunk(1 << 20);
  std::uint64_t offset = 0;
  for (;;) {
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    const std::size_t got = static_cast<std::size_t>(in.gcount());
    for (std::size_t at = 0; at < got; at += BLOCK) {
      const std::size_t length = std::min(BLOCK, got - at);
      const char* block = chunk.data() + at;
      static const char zeros[BLOCK] = {};
      if (std::memcmp(block, zeros, length) == 0) continue;
      const std::uint64_t index = (offset + at) / BLOCK;
      if (digest) {
        digest->addNumber(index);
        digest->add(block, length);
      }
      if (keep) (*keep)[index] = std::string(block, length);
    }
    offset += got;
    if (got < chunk.size()) break;
  }
  return offset;
}

void put(std::ofstream& out, std::uint64_t value) { out.write(reinterpret_cast<const char*>(&value), sizeof value); }
void put(std::ofstream& out, const std::string& bytes) {
  put(out, static_cast<std::uint64_t>(bytes.size()));
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
std::uint64_t take(std::ifstream& in) {
  std::uint64_t value = 0;
  in.read(reinterpret_cast<char*>(&value), sizeof value);
  return value;
}
std::string takeBytes(std::ifstream& in) {
  std::string bytes(take(in), '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

// Writes what `step` did to `file`, whose blocks before it ran were `before`.
void record(const std::string& path, const std::string& what, const std::string& output, const std::string& file,
            const Blocks& before) {
  Blocks after;
  const std::uint64_t size = readBlocks(file, nullptr, &after);
  Blocks changed;
  auto compare = [&](std::uint64_t index) {
    if (index * BLOCK >= size || changed.count(index)) return;
    const auto was = before.find(index);
    const auto now = after.find(index);
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(BLOCK, size - index * BLOCK));
    const std::string next = now != after.end() ? now->second : std::string(length, '\0');
    const std::string previous = was != before.end() ? was->second : std::string(next.size(), '\0');
    if (next != previous) changed[index] = next;
  };
  for (const auto& block : before) compare(block.first);
  for (const auto& block : after) compare(block.first);

  std::random_device seed;
  const std::string temporary = path + ".part-" + std::to_string(seed());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(MAGIC, sizeof MAGIC);
    put(out, what);
    put(out, output);
    put(out, size);
    put(out, static_cast<std::uint64_t>(changed.size()));
    for (const auto& block : changed) {
      put(out, block.first);
      put(out, block.second);
    }
    if (!out) throw std::runtime_error("tool step: cannot write " + temporary);
  }
  std::filesystem::rename(temporary, path);  // whole or not at all, for a second run recording the same step
}

std::string replay(const std::string& path, const std::string& file) {
  std::ifstream in(path, std::ios::binary);
  char magic[sizeof MAGIC] = {};
  in.read(magic, sizeof magic);
  if (!in || std::memcmp(magic, MAGIC, sizeof MAGIC) != 0) throw std::runtime_error("tool step: damaged " + path);
  (void)takeBytes(in);  // what the step did, for a reader of the folder
  const std::string output = takeBytes(in);
  const std::uint64_t size = take(in);
  const std::uint64_t count = take(in);
  std::filesystem::resize_file(file, size);
  std::fstream out(file, std::ios::binary | std::ios::in | std::ios::out);
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t index = take(in);
    const std::string block = takeBytes(in);
    out.seekp(static_cast<std::streamoff>(index * BLOCK));
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
  if (!in || !out) throw std::runtime_error("tool step: cannot replay " + path + " onto " + file);
  return output;
}

}  // namespace

bool ToolSteps::available() { return hasShell() || !folder().empty(); }

std::string ToolSteps::unavailableReason() {
  return "needs sfdisk, mkfs.fat, mtools and fsck.fat, which do not run on this system, or what they did recorded "
         "on Linux: set VANTOR_TOOL_STEPS to a folder of recorded steps (a Windows build configured with "
         "-DVANTOR_NATIVE_BUILD_DIR records them before its tests run)";
}

std::string ToolSteps::run(const std::string& what, const std::string& file,
                           const std::function<std::string()>& step) {
  const std::string dir = folder();
  if (dir.empty()) {
    if (!hasShell()) throw std::runtime_error(unavailableReason());
    return step();
  }
  Digest key;
  key.addText(what);
  Blocks before;
  key.addNumber(readBlocks(file, &key, hasShell() ? &before : nullptr));
  const std::string path = dir + "/" + key.hex() + ".step";
  if (std::filesystem::exists(path)) return replay(path, file);
  if (!hasShell()) {
    throw std::runtime_error("no recorded tool step \"" + what + "\" for the file " + file + " as it is now (" +
                             key.hex() + "): it differs from every file the tools saw on Linux");
  }
  const std::string output = step();
  record(path, what, output, file, before);
  return output;
}

}  // namespace vantor::test
