#include "image/resources.h"

namespace orvik {

ResourceLookup TableResources::Find(std::string_view type, int id) const {
  for (const EmbeddedResource& entry : m_table) {
    if (entry.id == id && type == entry.type) return {ResourceStatus::Found, entry.bytes};
  }
  return {ResourceStatus::NotFound, {}};
}

}  // namespace orvik
