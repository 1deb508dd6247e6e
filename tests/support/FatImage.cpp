#include "support/FatImage.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>

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

void FatImage::addFile(u32 volume, const std::string& dosPath, std::size_t bytes, u32 seed) {
  const std::string what = "mcopy " + number(volume) + " " + dosPath + " " + number(bytes) + " " + number(seed);
  ToolSteps::run(what, path_, [&] {
    const Scratch host{path_ + ".file"};
    std::mt19937 random(seed);
    std::string data(bytes, '\0');
    for (char& c : data) c = static_cast<char>(random());
    std::ofstream(host.path, std::ios::binary | std::ios::trunc) << data;
    const std::string target = shellQuote(path_ + "@@" + number(byteOffset(volume)));
    return runOrThrow(MTOOLS_ENV + std::string("mcopy -D o -i ") + target + " " + shellQuote(host.path) + " " +
                      shellQuote(dosPath));
  });
}

}  // namespace vantor::test
