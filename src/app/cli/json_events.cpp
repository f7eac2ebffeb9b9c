#include "app/cli/json_events.h"

namespace orvik::cli {

void EventStream::Emit(const std::string& name, const Json& fields) {
  const std::string text = Line(name, fields);
  std::lock_guard lock(m_mutex);
  m_out << text << '\n' << std::flush;
}

std::string EventStream::Line(const std::string& name, const Json& fields) {
  Json line = Json::object();
  line["event"] = name;
  if (fields.is_object()) {
    for (const auto& [key, value] : fields.items()) line[key] = value;
  }
  // Invalid UTF-8 (a path the system gave us) is replaced, not thrown about.
  return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace orvik::cli
