#include "app/cli/device_text.h"

#include <cstdint>

#include "log/utf.h"

namespace orvik::cli {

std::string ValidUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    const Utf8Char one = DecodeUtf8(bytes);
    if (one.valid) {
      out.append(bytes.substr(0, one.length));
      bytes.remove_prefix(one.length);
    } else {
      out += "\xEF\xBF\xBD";  // U+FFFD
      bytes.remove_prefix(1);
    }
  }
  return out;
}

std::string SerialText(std::string_view serial) {
  return serial.empty() ? std::string("no serial") : "serial " + TerminalText(serial);
}

std::string PortText(std::string_view port) {
  return port.empty() ? std::string("no port") : "port " + TerminalText(port);
}

}  // namespace orvik::cli
