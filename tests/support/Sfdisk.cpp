#include "support/Sfdisk.h"

#include <sstream>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "support/Shell.h"
#include "support/ToolSteps.h"

namespace vantor::test {

std::vector<SfdiskEntry> sfdiskEntries(const std::string& image) {
  // One line per entry: slot, start, size, type, bootable.
  std::istringstream lines(ToolSteps::run("sfdisk --json", image, [&] {
    std::istringstream json(capture("sfdisk --json " + shellQuote(image) + " 2>/dev/null"));
    boost::property_tree::ptree tree;
    boost::property_tree::read_json(json, tree);
    std::ostringstream out;
    if (auto parts = tree.get_child_optional("partitiontable.partitions")) {
      for (const auto& p : *parts) {
        const std::string node = p.second.get<std::string>("node");
        out << std::stoul(node.substr(image.size())) - 1 << " " << p.second.get<u32>("start") << " "
            << p.second.get<u32>("size") << " " << std::stoul(p.second.get<std::string>("type"), nullptr, 16) << " "
            << (p.second.get<std::string>("bootable", "false") == "true") << "\n";
      }
    }
    return out.str();
  }));
  std::vector<SfdiskEntry> out;
  SfdiskEntry e{};
  while (lines >> e.slot >> e.start >> e.size >> e.type >> e.bootable) out.push_back(e);
  return out;
}

}  // namespace vantor::test
