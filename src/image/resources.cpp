#include "image/resources.h"

namespace orvik {

ResourceLookup TableResources::Find(std::string_view type, int id) const {
  for (const EmbeddedResource& entry : m_table) {
    if (entry.id == id && type == entry.type) return {ResourceStatus::Found, entry.bytes};
  }
  return {ResourceStatus::NotFound, {}};
}

std::string VersionTextToUtf8(std::span<const std::uint8_t> bytes) {
  std::string text;
  for (const std::uint8_t byte : bytes) {
    if (byte == 0) break;
    if (byte < 0x80) {
      text.push_back(static_cast<char>(byte));
    } else {
      text.push_back(static_cast<char>(0xC0 | (byte >> 6)));
      text.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
  }
  return text;
}

}  // namespace orvik
