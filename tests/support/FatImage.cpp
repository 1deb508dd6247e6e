#include "support/FatImage.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>

#include <libVantor/LittleEndian.h>

#include "support/ToolSteps.h"

namespace vantor::test {
namespace {

// mtools checks a volume's size against a drive geometry it has no business with here.
const char* const MTOOLS_ENV = "MTOOLS_SKIP_CHECK=1 ";

u64 byteOffset(u32 sector) { return u64(sector) * FatImage::SECTOR_SIZE; }

std::string number(u64 value) { return std::to_string(value); }

}  // namespace

FatImage::FatImage(std::string path, u32 sectors) : path_(std::move(path)) {
  { std::ofstream create(path_, std::ios::binary | std::ios::trunc); }
  std::filesystem::resize_file(path_, byteOffset(sectors));
}

void FatImage::partition(const std::vector<PartitionPlan>& entries) {
  std::ostringstream script;
  script << "label: dos\n";
  for (const PartitionPlan& e : entries) {
    char type[8];
    std::snprintf(type, sizeof type, "%x", unsigned(e.type));
    script << "start=" << e.start << ", size=" << e.size << ", type=" << type << (e.bootable ? ", bootable" : "")
           << "\n";
  }
  ToolSteps::run("sfdisk\n" + script.str(), path_, [&] {
    return runOrThrow("printf %s " + shellQuote(script.str()) + " | sfdisk --no-reread --no-tell-kernel " +
                      shellQuote(path_));
  });
}

void FatImage::writeEntry(int index, const PartitionPlan& entry) {
  std::string bytes(16, '\0');
  u8* e = reinterpret_cast<u8*>(bytes.data());
  e[0] = entry.bootable ? 0x80 : 0x00;
  e[4] = entry.type;
  writeLE32(e + 8, entry.start);
  writeLE32(e + 12, entry.size);
  writeBytes(446 + 16 * u64(index), bytes);
  writeBytes(510, "\x55\xAA");
}

void FatImage::format(u32 start, u32 count, int fatBits, const std::string& options) {
  const std::string what = "mkfs.fat " + number(start) + " " + number(count) + " " + number(fatBits) + " " +
                           withoutDirectory(options);
  ToolSteps::run(what, path_, [&] {
    formatWithTools(start, count, fatBits, options);
    return std::string();
  });
}

std::string FatImage::withoutDirectory(const std::string& text) const {
  const std::string directory = path_.substr(0, path_.rfind('/') + 1);
  std::string out = text;
  for (std::size_t at = 0; (at = out.find(directory, at)) != std::string::npos;) out.replace(at, directory.size(), "@/");
  return out;
}

void FatImage::formatWithTools(u32 start, u32 count, int fatBits, const std::string& options) {
  // Formatted as a file of its own and copied in, so the volume has exactly `count`
  // sectors (mkfs.fat counts in 1 KiB blocks) and bad-block lists count from its start.
  const std::string volume = path_ + ".volume";
  {
    std::ofstream create(volume, std::ios::binary | std::ios::trunc);
  }
  std::filesystem::resize_file(volume, byteOffset(count));
  try {
    runOrThrow("mkfs.fat -F " + std::to_string(fatBits) + " -h " + std::to_string(start) + " " + options + " " +
               shellQuote(volume));
    runOrThrow("dd if=" + shellQuote(volume) + " of=" + shellQuote(path_) + " bs=512 seek=" + std::to_string(start) +
               " conv=notrunc,sparse status=none");
  } catch (...) {
    std::filesystem::remove(volume);
    throw;
  }
  std::filesystem::remove(volume);
}

std::string FatImage::target(u32 volume) const {
  return "-i " + shellQuote(path_ + "@@" + std::to_string(byteOffset(volume)));
}

void FatImage::makeDirectory(u32 volume, const std::string& dosPath) {
  ToolSteps::run("mmd " + number(volume) + " " + dosPath, path_, [&] {
    return runOrThrow(MTOOLS_ENV + std::string("mmd ") + target(volume) + " " + shellQuote(dosPath));
  });
}

void FatImage::addFile(u32 volume, const std::string& dosPath, std::size_t bytes, u32 seed) {
  const std::string what = "mcopy " + number(volume) + " " + dosPath + " " + number(bytes) + " " + number(seed);
  ToolSteps::run(what, path_, [&] {
    addFileWithTools(volume, dosPath, bytes, seed);
    return std::string();
  });
}

void FatImage::addFileWithTools(u32 volume, const std::string& dosPath, std::size_t bytes, u32 seed) {
  const std::string host = path_ + ".file";
  {
    std::mt19937 random(seed);
    std::string data(bytes, '\0');
    for (char& c : data) c = static_cast<char>(random());
    std::ofstream out(host, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
  }
  try {
    runOrThrow(MTOOLS_ENV + std::string("mcopy -D o ") + target(volume) + " " + shellQuote(host) + " " +
               shellQuote(dosPath));
  } catch (...) {
    std::filesystem::remove(host);
    throw;
  }
  std::filesystem::remove(host);
}

void FatImage::remove(u32 volume, const std::string& dosPath) {
  const bool directory = !dosPath.empty() && dosPath.back() == '/';
  ToolSteps::run("mdel " + number(volume) + " " + dosPath, path_, [&] {
    return runOrThrow(MTOOLS_ENV + std::string(directory ? "mdeltree " : "mdel ") + target(volume) + " " +
                      shellQuote(directory ? dosPath.substr(0, dosPath.size() - 1) : dosPath));
  });
}

std::vector<u32> FatImage::clustersOf(u32 volume, const std::string& dosPath) const {
  const std::string out = runOrThrow(MTOOLS_ENV + std::string("mshowfat ") + target(volume) + " " + shellQuote(dosPath));
  // "::/name <3-588> <600>": one token per stretch of neighbouring clusters.
  static const std::regex stretch("<([0-9]+)(?:-([0-9]+))?>");
  std::vector<u32> clusters;
  for (auto it = std::sregex_iterator(out.begin(), out.end(), stretch); it != std::sregex_iterator(); ++it) {
    const u32 first = static_cast<u32>(std::stoul((*it)[1]));
    const u32 last = (*it)[2].matched ? static_cast<u32>(std::stoul((*it)[2])) : first;
    for (u32 c = first; c <= last; ++c) clusters.push_back(c);
  }
  return clusters;
}

std::set<u32> FatImage::clustersInUse(u32 volume) const {
  std::istringstream listed(ToolSteps::run("mshowfat " + number(volume), path_, [&] {
    std::string text;
    for (u32 c : clustersInUseWithTools(volume)) text += number(c) + "\n";
    return text;
  }));
  std::set<u32> used;
  for (u32 c; listed >> c;) used.insert(c);
  return used;
}

std::set<u32> FatImage::clustersInUseWithTools(u32 volume) const {
  std::set<u32> used;
  for (u32 c : clustersOf(volume, "::/")) used.insert(c);
  // Every file and directory, recursively ("::/sub/", "::/sub/a.bin").
  std::istringstream out(runOrThrow(MTOOLS_ENV + std::string("mdir -/ -b -a ") + target(volume) + " ::/"));
  for (std::string p; std::getline(out, p);) {
    if (p.rfind("::/", 0) != 0) continue;
    const std::string name = p.size() > 3 && p.back() == '/' ? p.substr(0, p.size() - 1) : p;
    for (u32 c : clustersOf(volume, name)) used.insert(c);
  }
  return used;
}

std::set<u64> FatImage::sectorsInUse(u32 volume, const FatCheck& check, const std::set<u32>& clusters) {
  std::set<u64> sectors;
  for (u64 s = 0; s < check.dataStartSector; ++s) sectors.insert(volume + s);
  for (u32 c : clusters) {
    const u64 first = volume + check.dataStartSector + u64(c - 2) * check.sectorsPerCluster;
    for (u32 i = 0; i < check.sectorsPerCluster; ++i) sectors.insert(first + i);
  }
  return sectors;
}

FatCheck FatImage::check(u32 volume, u32 count) const {
  // The verdict on the first line, then what fsck.fat printed.
  const std::string answer = ToolSteps::run("fsck.fat " + number(volume) + " " + number(count), path_, [&] {
    const std::string copy = path_ + ".fsck";
    runOrThrow("dd if=" + shellQuote(path_) + " of=" + shellQuote(copy) + " bs=512 skip=" + std::to_string(volume) +
               " count=" + std::to_string(count) + " conv=sparse status=none");
    std::string verdict = "clean\n";
    std::string output;
    try {
      output = runOrThrow("fsck.fat -n -v " + shellQuote(copy));
    } catch (const std::runtime_error& e) {
      verdict = "repairs\n";
      output = e.what();  // fsck.fat exits with 1 when it found something to repair
    }
    std::filesystem::remove(copy);
    return verdict + output;
  });
  FatCheck result;
  result.clean = answer.rfind("clean\n", 0) == 0;
  result.output = answer.substr(answer.find('\n') + 1);

  std::smatch m;
  if (std::regex_search(result.output, m, std::regex("Data area starts at byte [0-9]+ \\(sector ([0-9]+)\\)")))
    result.dataStartSector = static_cast<u32>(std::stoul(m[1]));
  if (std::regex_search(result.output, m, std::regex("([0-9]+) bytes per cluster")))
    result.sectorsPerCluster = static_cast<u32>(std::stoul(m[1]) / SECTOR_SIZE);
  if (std::regex_search(result.output, m, std::regex("[0-9]+ files?, ([0-9]+)/([0-9]+) clusters")))
    result.usedClusters = static_cast<u32>(std::stoul(m[1]));
  else
    throw std::runtime_error("fsck.fat gave no cluster summary:\n" + result.output);
  return result;
}

std::string FatImage::fileDigests(u32 volume) const {
  return ToolSteps::run("sha256sum " + number(volume), path_, [&] {
    const std::string into = path_ + ".files";
    std::filesystem::remove_all(into);
    std::filesystem::create_directory(into);
    std::string digests;
    try {
      runOrThrow(MTOOLS_ENV + std::string("mcopy -s -n ") + target(volume) + " ::/ " + shellQuote(into));
      digests = runOrThrow("cd " + shellQuote(into) + " && find . -type f -print0 | sort -z | xargs -0 -r sha256sum");
    } catch (...) {
      std::filesystem::remove_all(into);
      throw;
    }
    std::filesystem::remove_all(into);
    return digests;
  });
}

void FatImage::setFatEntry(u32 volume, u32 cluster, u32 value) {
  const std::string boot = readBytes(byteOffset(volume), SECTOR_SIZE);
  const u8* b = reinterpret_cast<const u8*>(boot.data());
  const u32 reserved = readLE16(b + 14);
  const u32 fats = b[16];
  const u32 fat16Size = readLE16(b + 22);
  const bool fat32 = fat16Size == 0;
  const u32 sectorsPerFat = fat32 ? readLE32(b + 36) : fat16Size;
  const u32 entryBytes = fat32 ? 4 : 2;
  std::string entry(entryBytes, '\0');
  if (fat32)
    writeLE32(reinterpret_cast<u8*>(entry.data()), value);
  else
    writeLE16(reinterpret_cast<u8*>(entry.data()), static_cast<u16>(value));
  for (u32 i = 0; i < fats; ++i) {
    writeBytes(byteOffset(volume + reserved + i * sectorsPerFat) + u64(cluster) * entryBytes, entry);
  }
}

void FatImage::writeBytes(u64 offset, const std::string& bytes) {
  std::fstream f(path_, std::ios::binary | std::ios::in | std::ios::out);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + path_);
}

std::string FatImage::readBytes(u64 offset, std::size_t count) const {
  std::ifstream f(path_, std::ios::binary);
  f.seekg(static_cast<std::streamoff>(offset));
  std::string bytes(count, '\0');
  f.read(bytes.data(), static_cast<std::streamsize>(count));
  if (!f) throw std::runtime_error("cannot read " + path_);
  return bytes;
}

void FatImage::fillSectors(u32 first, u32 count, u8 pattern) {
  writeBytes(byteOffset(first), std::string(std::size_t(count) * SECTOR_SIZE, static_cast<char>(pattern)));
}

}  // namespace vantor::test
