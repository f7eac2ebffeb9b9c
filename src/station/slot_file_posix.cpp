#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "station/slots.h"

namespace orvik::station {
namespace {

std::string ErrorText(int error) { return std::error_code(error, std::generic_category()).message(); }

bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

PortForm SystemPortForm() { return PortForm::Sysfs; }

bool WriteFileAtomically(const std::filesystem::path& path, std::string_view text, bool replace, std::string& error) {
  const std::filesystem::path folder = path.parent_path().empty() ? std::filesystem::path(".") : path.parent_path();
  // A hidden name beside the file: the rename stays within one file system.
  // Built by appending: gcc 12's -Wrestrict misreads `"." + std::string&&`
  // in optimised builds.
  std::string name = ".";
  name += path.filename().string();
  name += ".XXXXXX";
  std::string temporary = (folder / name).string();
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) {
    error = "cannot create a temporary file in " + folder.string() + ": " + ErrorText(errno);
    return false;
  }
  bool written = WriteAll(fd, text) && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
  int failure = written ? 0 : errno;
  if (::close(fd) != 0 && written) {
    written = false;
    failure = errno;
  }
  if (written) {
    // Without `replace`, link() puts the file in place only where no file
    // is: an existing one is never overwritten, even one made meanwhile.
    const int placed = replace ? ::rename(temporary.c_str(), path.c_str()) : ::link(temporary.c_str(), path.c_str());
    if (placed != 0) {
      failure = errno;
      written = false;
    }
  }
  if (!written || !replace) ::unlink(temporary.c_str());
  if (!written) {
    error = failure == EEXIST ? std::string("it exists already (--force replaces it)") : ErrorText(failure);
    return false;
  }
  // The new name itself reaches the disk with its folder.
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

}  // namespace orvik::station
