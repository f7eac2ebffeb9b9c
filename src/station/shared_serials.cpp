#include "station/shared_serials.h"

#include <map>
#include <string_view>

namespace orvik::station {

std::vector<std::string> SharedSerials::Look(const std::vector<Attached>& units) {
  std::vector<std::string> found;
  std::map<std::string_view, std::string_view> first;  // serial, identity
  for (const Attached& unit : units) {
    if (unit.serial.empty()) continue;
    const auto [it, inserted] = first.emplace(unit.serial, unit.identity);
    if (inserted || it->second == unit.identity) continue;
    if (m_shared.insert(unit.serial).second) found.push_back(unit.serial);
  }
  return found;
}

}  // namespace orvik::station
