#include "support/FatImage.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

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
