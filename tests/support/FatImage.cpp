#include "support/FatImage.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "support/ToolSteps.h"

namespace vantor::test {
namespace {

// mtools checks a volume's size against a drive geometry it has no business with here.
const char* const MTOOLS_ENV = "MTOOLS_SKIP_CHECK=1 ";

u64 byteOffset(u32 sector) { return u64(sector) * FatImage::SECTOR_SIZE; }

std::string number(u64 value) { return std::to_string(value); }

// A scratch file or directory next to the image, removed on every path.
struct Scratch {
  std::string path;
  ~Scratch() { std::filesystem::remove_all(path); }
};

void makeSparse(const std::string& path, u64 bytes) {
  { std::ofstream create(path, std::ios::binary | std::ios::trunc); }
  std::filesystem::resize_file(path, bytes);
}

}  // namespace

std::string sfdiskTable(const std::string& image) {
  return ToolSteps::run("sfdisk --json", image, [&] {
    std::istringstream json(capture("sfdisk --json " + shellQuote(image) + " 2>/dev/null"));
    boost::property_tree::ptree tree;
    boost::property_tree::read_json(json, tree);
    std::ostringstream out;
    if (auto parts = tree.get_child_optional("partitiontable.partitions")) {
      for (const auto& p : *parts) {
        out << std::stoul(p.second.get<std::string>("node").substr(image.size())) - 1 << " "
            << p.second.get<u32>("start") << " " << p.second.get<u32>("size") << " "
            << p.second.get<std::string>("type") << (p.second.get("bootable", false) ? " boot" : "") << "\n";
      }
    }
    return out.str();
  });
}

FatImage::FatImage(std::string path, u32 sectors) : path_(std::move(path)) { makeSparse(path_, byteOffset(sectors)); }

void FatImage::partition(const std::vector<PartitionPlan>& entries) {
  std::ostringstream script;
  script << "label: dos\n";
  for (const PartitionPlan& e : entries) {
    script << std::dec << "start=" << e.start << ", size=" << e.size << ", type=" << std::hex << unsigned(e.type)
           << (e.bootable ? ", bootable" : "") << "\n";
  }
  ToolSteps::run("sfdisk\n" + script.str(), path_, [&] {
    return runOrThrow("printf %s " + shellQuote(script.str()) + " | sfdisk --no-reread --no-tell-kernel " +
                      shellQuote(path_));
  });
}

void FatImage::format(u32 start, u32 count, int fatBits, const std::string& options) {
  const std::string what = "mkfs.fat " + number(start) + " " + number(count) + " " + number(fatBits) + " " + options;
  ToolSteps::run(what, path_, [&] {
    // Formatted as a file of its own and copied in, so the volume has exactly `count`
    // sectors (mkfs.fat counts in 1 KiB blocks).
    const Scratch volume{path_ + ".volume"};
    makeSparse(volume.path, byteOffset(count));
    runOrThrow("mkfs.fat -F " + number(fatBits) + " -h " + number(start) + " " + options + " " +
               shellQuote(volume.path));
    return runOrThrow("dd if=" + shellQuote(volume.path) + " of=" + shellQuote(path_) + " bs=512 seek=" +
                      number(start) + " conv=notrunc,sparse status=none");
  });
}

std::string FatImage::target(u32 volume) const { return "-i " + shellQuote(path_ + "@@" + number(byteOffset(volume))); }

void FatImage::makeDirectory(u32 volume, const std::string& dosPath) {
  ToolSteps::run("mmd " + number(volume) + " " + dosPath, path_, [&] {
    return runOrThrow(MTOOLS_ENV + std::string("mmd ") + target(volume) + " " + shellQuote(dosPath));
  });
}

void FatImage::addFile(u32 volume, const std::string& dosPath, std::size_t bytes, u32 seed) {
  const std::string what = "mcopy " + number(volume) + " " + dosPath + " " + number(bytes) + " " + number(seed);
  ToolSteps::run(what, path_, [&] {
    const Scratch host{path_ + ".file"};
    std::mt19937 random(seed);
    std::string data(bytes, '\0');
    for (char& c : data) c = static_cast<char>(random());
    std::ofstream(host.path, std::ios::binary | std::ios::trunc) << data;
    return runOrThrow(MTOOLS_ENV + std::string("mcopy -D o ") + target(volume) + " " + shellQuote(host.path) + " " +
                      shellQuote(dosPath));
  });
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
    std::vector<std::string> names{"::/"};
    // Every file and directory, recursively ("::/sub/", "::/sub/a.bin").
    std::istringstream out(runOrThrow(MTOOLS_ENV + std::string("mdir -/ -b -a ") + target(volume) + " ::/"));
    for (std::string p; std::getline(out, p);) {
      if (p.rfind("::/", 0) == 0) names.push_back(p.size() > 3 && p.back() == '/' ? p.substr(0, p.size() - 1) : p);
    }
    for (const std::string& name : names) {
      for (u32 c : clustersOf(volume, name)) text += number(c) + "\n";
    }
    return text;
  }));
  std::set<u32> used;
  for (u32 c; listed >> c;) used.insert(c);
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
    const Scratch copy{path_ + ".fsck"};
    runOrThrow("dd if=" + shellQuote(path_) + " of=" + shellQuote(copy.path) + " bs=512 skip=" + number(volume) +
               " count=" + number(count) + " conv=sparse status=none");
    try {
      return "clean\n" + runOrThrow("fsck.fat -n -v " + shellQuote(copy.path));
    } catch (const std::runtime_error& e) {
      return "repairs\n" + std::string(e.what());  // fsck.fat exits with 1 when it found something to repair
    }
  });
  FatCheck result;
  result.clean = answer.rfind("clean\n", 0) == 0;
  result.output = answer.substr(answer.find('\n') + 1);

  std::smatch m;
  if (std::regex_search(result.output, m, std::regex("Data area starts at byte [0-9]+ \\(sector ([0-9]+)\\)")))
    result.dataStartSector = static_cast<u32>(std::stoul(m[1]));
  if (std::regex_search(result.output, m, std::regex("([0-9]+) bytes per cluster")))
    result.sectorsPerCluster = static_cast<u32>(std::stoul(m[1]) / SECTOR_SIZE);
  if (!std::regex_search(result.output, m, std::regex("[0-9]+ files?, ([0-9]+)/([0-9]+) clusters")))
    throw std::runtime_error("fsck.fat gave no cluster summary:\n" + result.output);
  result.usedClusters = static_cast<u32>(std::stoul(m[1]));
  return result;
}

std::string FatImage::fileDigests(u32 volume) const {
  return ToolSteps::run("sha256sum " + number(volume), path_, [&] {
    const Scratch into{path_ + ".files"};
    std::filesystem::remove_all(into.path);
    std::filesystem::create_directory(into.path);
    runOrThrow(MTOOLS_ENV + std::string("mcopy -s -n ") + target(volume) + " ::/ " + shellQuote(into.path));
    return runOrThrow("cd " + shellQuote(into.path) + " && find . -type f -print0 | sort -z | xargs -0 -r sha256sum");
  });
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
