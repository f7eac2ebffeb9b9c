// Two attached units with one serial: which serials are shared, so that no
// such unit is passed over on the record's word (the record knows a unit by
// its serial alone).
#pragma once

#include <set>
#include <string>
#include <vector>

namespace orvik::station {

// A serial is
// shared once two attachments listed at the same time carry it, and stays so
// for the station's life. Not thread-safe: asked on the station's own thread.
class SharedSerials {
 public:
  struct Attached {
    std::string serial;
    std::string identity;  // tells one attachment from another
  };
  // Takes the units attached now. Returns the serials that have just become
  // known as shared (each once in the station's life), for a notice.
  std::vector<std::string> Look(const std::vector<Attached>& units);
  bool Shared(const std::string& serial) const { return m_shared.count(serial) != 0; }

 private:
  std::set<std::string, std::less<>> m_shared;
};

}  // namespace orvik::station
