#include "support/Sfdisk.h"

#include <sstream>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "support/TempDir.h"

namespace vantor::test {

std::vector<SfdiskEntry> sfdiskEntries(const std::string& image) {
  std::istringstream json(capture("sfdisk --json '" + image + "' 2>/dev/null"));
  boost::property_tree::ptree tree;
  boost::property_tree::read_json(json, tree);
  std::vector<SfdiskEntry> out;
  if (auto parts = tree.get_child_optional("partitiontable.partitions")) {
    for (const auto& p : *parts) {
      const std::string node = p.second.get<std::string>("node");
      out.push_back({u32(std::stoul(node.substr(image.size()))) - 1, p.second.get<u32>("start"),
                     p.second.get<u32>("size"), u32(std::stoul(p.second.get<std::string>("type"), nullptr, 16)),
                     p.second.get<std::string>("bootable", "false") == "true"});
    }
  }
  return out;
}

}  // namespace vantor::test
