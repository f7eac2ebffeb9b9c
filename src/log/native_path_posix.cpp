// POSIX paths are bytes: UTF-8 text is taken as it is.
#include "log/native_path.h"

namespace orvik {

std::filesystem::path PathFromUtf8(std::string_view utf8) { return std::filesystem::path(std::string(utf8)); }

std::filesystem::path ReachablePath(const std::filesystem::path& path) { return path; }

std::string PathToUtf8(const std::filesystem::path& path) { return path.native(); }

std::string FileNameAsOpened(std::string_view utf8) {
  const std::size_t slash = utf8.rfind('/');
  return std::string(slash == std::string_view::npos ? utf8 : utf8.substr(slash + 1));
}

std::string PathNameProblem(std::string_view) { return {}; }

}  // namespace orvik
