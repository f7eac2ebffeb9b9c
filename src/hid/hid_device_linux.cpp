#include "hid/hid_device_linux.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "hid/report_descriptor.h"
#include "log/log.h"

namespace orvik {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// A sysfs uevent file is at most one page.
constexpr std::size_t kMaxUeventSize = 4096;

// The updater's reports: report ID 0 (unnumbered), then this many bytes.
constexpr std::size_t kReportDataSize = kReportSize - 1;

// ---- Small file and text helpers --------------------------------------------

// Reads a whole small file; nothing when it cannot be read or is longer than
// maxSize bytes.
std::optional<std::vector<std::uint8_t>> ReadSmallFile(const std::filesystem::path& path, std::size_t maxSize) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.IsValid()) return std::nullopt;
  std::vector<std::uint8_t> bytes(maxSize + 1);
  std::size_t size = 0;
  while (size < bytes.size()) {
    const ssize_t n = ::read(fd.Get(), bytes.data() + size, bytes.size() - size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    size += static_cast<std::size_t>(n);
  }
  if (size > maxSize) return std::nullopt;
  bytes.resize(size);
  return bytes;
}

// Parses a whole field of hex digits.
std::optional<std::uint32_t> ParseHex(std::string_view text) {
  std::uint32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (ec != std::errc{} || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

struct HidIds {
  std::uint32_t bus = 0;
  std::uint32_t vendorId = 0;
  std::uint32_t productId = 0;
};

// The value of the first line "KEY=value" of a uevent; nothing when there is
// no such line.
std::optional<std::string_view> UeventValue(std::string_view uevent, std::string_view key) {
  while (!uevent.empty()) {
    const std::size_t eol = uevent.find('\n');
    const std::string_view line = uevent.substr(0, eol);
    uevent = eol == std::string_view::npos ? std::string_view{} : uevent.substr(eol + 1);
    if (line.size() > key.size() && line.starts_with(key) && line[key.size()] == '=') {
      return line.substr(key.size() + 1);
    }
  }
  return std::nullopt;
}

// The HID device's uevent holds a line "HID_ID=BBBB:VVVVVVVV:PPPPPPPP" (bus,
// vendor, product, in hex). The bus (0003 for USB) does not decide the match:
// the IDs name the device.
std::optional<HidIds> ParseHidId(std::string_view uevent) {
  const std::optional<std::string_view> fields = UeventValue(uevent, "HID_ID");
  if (!fields) return std::nullopt;
  const std::size_t first = fields->find(':');
  const std::size_t second = first == std::string_view::npos ? first : fields->find(':', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  const auto bus = ParseHex(fields->substr(0, first));
  const auto vendor = ParseHex(fields->substr(first + 1, second - first - 1));
  const auto product = ParseHex(fields->substr(second + 1));
  if (!bus || !vendor || !product) return std::nullopt;
  return HidIds{*bus, *vendor, *product};
}

// hidrawN → N; nothing for any other name.
std::optional<unsigned> HidrawNumber(std::string_view name) {
  constexpr std::string_view kPrefix = "hidraw";
  if (!name.starts_with(kPrefix)) return std::nullopt;
  const std::string_view digits = name.substr(kPrefix.size());
  unsigned number = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (digits.empty() || ec != std::errc{} || end != digits.data() + digits.size()) return std::nullopt;
  return number;
}

// The hidraw node names under the sysfs root in numeric order: a directory
// listing is unordered, and by name hidraw10 would come before hidraw9.
std::vector<std::string> HidrawNodesInOrder(const std::filesystem::path& sysfsRoot) {
  std::vector<std::pair<unsigned, std::string>> nodes;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(sysfsRoot, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (const auto number = HidrawNumber(name)) nodes.emplace_back(*number, std::move(name));
  }
  std::sort(nodes.begin(), nodes.end());
  std::vector<std::string> names;
  for (auto& node : nodes) names.push_back(std::move(node.second));
  return names;
}

// The updater's reports are unnumbered (report ID 0 first on the wire), so
// only a descriptor without report IDs can carry them: with report IDs, the
// device would take the leading 0 for a report ID it does not have.
bool CarriesUpdaterReports(const ReportDescriptorSummary& summary) {
  if (summary.usesReportIds) return false;
  const ReportLengths* report = summary.Find(0);
  return report != nullptr && report->InputBytes() == kReportDataSize && report->OutputBytes() == kReportDataSize;
}

// The HID bus number of USB in HID_ID (BUS_USB in the kernel's input.h).
constexpr std::uint32_t kBusUsb = 0x0003;

// A sysfs device folder holds far fewer levels than this; the walk up to
// the USB device stops here in a tree that is not the kernel's.
constexpr int kMaxAncestors = 32;

// The USB port of a HID device: the kernel name ("1-1.4.2") of the nearest
// ancestor folder that is a USB device, that is whose `subsystem` link ends
// in "usb" and whose uevent says DEVTYPE=usb_device (the USB interface
// between them, "1-1.4.2:1.0", says usb_interface). The uevent file holds no
// SUBSYSTEM line; the link is where sysfs gives it. Only a HID device on the
// USB bus is looked at: a Bluetooth keyboard's HID device sits below its USB
// dongle, whose port is not the keyboard's. Empty when there is none (uhid
// devices sit under /sys/devices/virtual).
std::string UsbPortOf(const std::filesystem::path& hidDevice) {
  std::error_code ec;
  std::filesystem::path folder = std::filesystem::canonical(hidDevice, ec);
  if (ec) return {};
  for (int level = 0; level < kMaxAncestors && folder.has_relative_path(); ++level) {
    folder = folder.parent_path();
    const std::filesystem::path subsystem = std::filesystem::read_symlink(folder / "subsystem", ec);
    if (ec || subsystem.filename() != "usb") continue;
    const auto uevent = ReadSmallFile(folder / "uevent", kMaxUeventSize);
    if (!uevent) continue;
    const std::string_view text(reinterpret_cast<const char*>(uevent->data()), uevent->size());
    if (UeventValue(text, "DEVTYPE") == "usb_device") return folder.filename().string();
  }
  return {};
}

std::string ErrorText(int error) { return std::error_code(error, std::generic_category()).message(); }

// What the sysfs files of one hidraw node say, read without opening the node.
struct NodeLook {
  bool idsMatch = false;
  bool carriesUpdaterReports = false;
  std::uint32_t inputReportLength = 0;  // with the report-ID byte; 0: none or unknown
  std::uint32_t outputReportLength = 0;
  std::string serial;   // HID_UNIQ: the bytes as the kernel gives them
  std::string port;     // the USB device's kernel name; empty when none
  std::string problem;  // why the node is not the updater's interface
};

NodeLook LookAtNode(const std::filesystem::path& sysfsNode, std::uint32_t vendorId, std::uint32_t productId) {
  NodeLook look;
  const std::filesystem::path hidDevice = sysfsNode / "device";
  const auto uevent = ReadSmallFile(hidDevice / "uevent", kMaxUeventSize);
  if (!uevent) return look;
  const std::string_view ueventText(reinterpret_cast<const char*>(uevent->data()), uevent->size());
  const auto ids = ParseHidId(ueventText);
  if (!ids || ids->vendorId != vendorId || ids->productId != productId) return look;
  look.idsMatch = true;
  // usbhid fills HID_UNIQ from the USB serial string (uhid from its "uniq");
  // empty or missing when the device has none. The kernel holds it in 64
  // bytes; here the uevent's own bound limits it.
  look.serial = UeventValue(ueventText, "HID_UNIQ").value_or(std::string_view{});
  if (ids->bus == kBusUsb) look.port = UsbPortOf(hidDevice);

  const auto descriptor = ReadSmallFile(hidDevice / "report_descriptor", kMaxReportDescriptorSize);
  if (!descriptor) {
    look.problem = "report descriptor unreadable";
    return look;
  }
  const auto summary = ParseReportDescriptor(*descriptor);
  if (!summary) {
    look.problem = "report descriptor malformed";
    return look;
  }
  // As Windows counts: the longest report, plus the report-ID byte.
  std::size_t input = 0;
  std::size_t output = 0;
  for (const ReportLengths& report : summary->reports) {
    input = std::max(input, report.InputBytes());
    output = std::max(output, report.OutputBytes());
  }
  look.inputReportLength = input == 0 ? 0 : static_cast<std::uint32_t>(input + 1);
  look.outputReportLength = output == 0 ? 0 : static_cast<std::uint32_t>(output + 1);
  look.carriesUpdaterReports = CarriesUpdaterReports(*summary);
  if (!look.carriesUpdaterReports) look.problem = "not the updater's interface (no unnumbered 32-byte reports)";
  return look;
}

// A hidraw node opened for an update, or why it was not.
struct LockedOpen {
  UniqueFd fd;
  int error = 0;       // open()'s errno when it failed
  bool inUse = false;  // opened, but another updater holds the node
};

// Opens the node for reading and writing and takes this updater's lock on it.
//
// The lock is flock(), not a POSIX record lock: it belongs to the open file
// description, so it lasts exactly as long as the descriptor, closing any
// other descriptor of the node does not drop it, and it binds every process
// and user alike (root's updater and a desktop user's updater included).
// The kernel hands every input report to every process that has the node
// open, so two updaters on one node would read each other's replies.
LockedOpen OpenAndLock(const std::filesystem::path& path) {
  LockedOpen result;
  result.fd.Reset(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
  if (!result.fd.IsValid()) {
    result.error = errno;
    return result;
  }
  int locked;
  do {
    locked = ::flock(result.fd.Get(), LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  // Only a lock held elsewhere refuses the node. A file system without locks
  // (ENOLCK, EINVAL) is no reason to leave a device unusable.
  if (locked != 0 && errno == EWOULDBLOCK) {
    result.fd.Reset();
    result.inUse = true;
  }
  return result;
}

// True when another updater holds the node's lock. Asked with a shared lock,
// held only for the call: two listings never collide, and an updater's
// exclusive lock makes the probe fail.
bool HeldByAnotherUpdater(int fd) {
  int locked;
  do {
    locked = ::flock(fd, LOCK_SH | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) return errno == EWOULDBLOCK;
  ::flock(fd, LOCK_UN);
  return false;
}

}  // namespace

OpenRefusal OpenRefusalFor(int error) {
  if (error == EACCES || error == EPERM) {
    return {ErrorText(error), std::string("Install the udev rule ") + kUdevRuleName +
                                  " as the README says, then plug the device in again."};
  }
  return {ErrorText(error), "Unplug the device, plug it in again, then run this updater again."};
}

std::string OpenFailureText(int error) {
  std::string text = ErrorText(error);
  if (error == EACCES || error == EPERM) text += std::string(" (install the udev rule ") + kUdevRuleName + ")";
  return text;
}

// ---- UniqueFd ---------------------------------------------------------------

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) Reset(other.Release());
  return *this;
}

int UniqueFd::Release() { return std::exchange(m_fd, -1); }

void UniqueFd::Reset(int fd) {
  // close() is not retried on EINTR: on Linux the descriptor is gone either way.
  if (m_fd >= 0) ::close(m_fd);
  m_fd = fd;
}

// ---- CHIDDevice -------------------------------------------------------------

CHIDDevice::CHIDDevice(milliseconds waitBound, std::filesystem::path sysfsRoot, std::filesystem::path devRoot)
    : m_waitBound(waitBound), m_sysfsRoot(std::move(sysfsRoot)), m_devRoot(std::move(devRoot)) {}

CHIDDevice::CHIDDevice(UniqueFd fd, milliseconds waitBound) : CHIDDevice(waitBound) {
  m_fd = std::move(fd);
  if (m_fd.IsValid()) {
    // The transfers rely on a non-blocking descriptor, as OpenDevice opens it.
    const int flags = ::fcntl(m_fd.Get(), F_GETFL);
    if (flags >= 0) ::fcntl(m_fd.Get(), F_SETFL, flags | O_NONBLOCK);
    m_inputReportLength = kReportSize;
    m_outputReportLength = kReportSize;
  }
}

void CHIDDevice::Close() {
  m_fd.Reset();  // releases the lock with the descriptor
  m_devicePath.clear();
  m_inputReportLength = 0;
  m_outputReportLength = 0;
  m_writeState = Transfer::Idle;
  m_readState = Transfer::Idle;
}

bool CHIDDevice::OpenDevice(std::uint32_t vendorId, std::uint32_t productId) {
  Close();
  m_refusal = {};

  for (const std::string& node : HidrawNodesInOrder(m_sysfsRoot)) {
    const NodeLook look = LookAtNode(m_sysfsRoot / node, vendorId, productId);
    // A composite device shows one node per interface, all with the same IDs;
    // only the interface with the updater's reports will do.
    if (!look.idsMatch || !look.carriesUpdaterReports) continue;

    const std::filesystem::path devicePath = m_devRoot / node;
    if (!m_onlyPath.empty() && devicePath != m_onlyPath) continue;
    LockedOpen opened = OpenAndLock(devicePath);
    if (opened.inUse) {
      LogLine("Can't open " + devicePath.string() + ": " + kInUseByAnotherUpdater);
      if (m_refusal.reason.empty()) m_refusal = {kInUseByAnotherUpdater, kInUseRemedy};
      continue;
    }
    if (!opened.fd.IsValid()) {
      // Usually EACCES: without a udev rule the node belongs to root, and
      // right after the device appears udev may not have set access yet.
      LogLine("Can't open " + devicePath.string() + ": " + OpenFailureText(opened.error));
      if (m_refusal.reason.empty()) m_refusal = OpenRefusalFor(opened.error);
      continue;
    }

    m_refusal = {};
    m_fd = std::move(opened.fd);
    m_devicePath = devicePath;
    m_inputReportLength = kReportSize;  // with the report-ID byte, as Windows counts
    m_outputReportLength = kReportSize;
    return true;
  }
  return false;
}

std::vector<HidInterfaceInfo> CHIDDevice::ListInterfaces(std::uint32_t vendorId, std::uint32_t productId) {
  std::vector<HidInterfaceInfo> found;
  for (const std::string& node : HidrawNodesInOrder(m_sysfsRoot)) {
    const NodeLook look = LookAtNode(m_sysfsRoot / node, vendorId, productId);
    if (!look.idsMatch) continue;

    HidInterfaceInfo info;
    info.path = (m_devRoot / node).string();
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::canonical(m_sysfsRoot / node / "device", ec);
    info.identity = ec ? info.path : folder.string();
    info.inputReportLength = look.inputReportLength;
    info.outputReportLength = look.outputReportLength;
    info.serial = look.serial;
    info.port = look.port;
    if (!look.problem.empty()) {
      info.problem = look.problem;
    } else if (m_fd.IsValid() && info.path == m_devicePath.string()) {
      // Open here: the lock on it is this updater's own. The kernel keeps a
      // node's number taken while it is open, so the path is this device.
      info.usable = true;
    } else {
      const UniqueFd fd(::open(info.path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
      if (!fd.IsValid()) {
        info.problem = OpenFailureText(errno);
      } else if (HeldByAnotherUpdater(fd.Get())) {
        info.problem = kInUseByAnotherUpdater;
      } else {
        info.usable = true;
      }
    }
    found.push_back(std::move(info));
  }
  return found;
}

void CHIDDevice::RestrictToPath(std::string path) { m_onlyPath = std::move(path); }

// ---- Transfers ----------------------------------------------------------------

void CHIDDevice::WriteReport(std::span<const std::uint8_t> report) {
  m_writeData = report;
  m_writeState = Transfer::Pending;
  TryWrite();
}

bool CHIDDevice::WaitWriteDone() {
  return WaitFor(m_writeState, POLLOUT, [this] { TryWrite(); });
}

void CHIDDevice::ReadReport(std::span<std::uint8_t> buffer) {
  m_readBuffer = buffer;
  m_readState = Transfer::Pending;
  TryRead();
}

bool CHIDDevice::WaitReadDone() {
  return WaitFor(m_readState, POLLIN, [this] { TryRead(); });
}

// One write() is one report. hidraw takes the report ID as the first byte and,
// for ID 0, sends the remaining bytes alone. A USB hidraw write blocks in the
// kernel (O_NONBLOCK notwithstanding) until the device takes the report, for at
// most 5 s.
void CHIDDevice::TryWrite() {
  if (!m_fd.IsValid() || m_writeData.empty()) {
    m_writeState = Transfer::Failed;
    return;
  }
  ssize_t n;
  do {
    n = ::write(m_fd.Get(), m_writeData.data(), m_writeData.size());
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // still pending
  m_writeState = n == static_cast<ssize_t>(m_writeData.size()) ? Transfer::Done : Transfer::Failed;
}

// One read() is one report. For an unnumbered report hidraw returns the data
// without the report ID, so the data goes in after a 0 to give callers the
// same report-ID-first layout as on Windows. A short report leaves the rest
// of the buffer zeroed, never holding bytes of an earlier reply.
void CHIDDevice::TryRead() {
  if (!m_fd.IsValid() || m_readBuffer.size() < 2) {
    m_readState = Transfer::Failed;
    return;
  }
  const std::span<std::uint8_t> data = m_readBuffer.subspan(1);
  ssize_t n;
  do {
    n = ::read(m_fd.Get(), data.data(), data.size());
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // still pending
  if (n <= 0) {  // an error, or end of file: the device is gone
    m_readState = Transfer::Failed;
    return;
  }
  m_readBuffer[0] = 0;
  std::fill(data.begin() + n, data.end(), std::uint8_t{0});
  m_readState = Transfer::Done;
}

template <typename TryTransfer>
bool CHIDDevice::WaitFor(Transfer& state, short events, TryTransfer tryTransfer) {
  const Clock::time_point deadline = Clock::now() + m_waitBound;
  while (state == Transfer::Pending) {
    // Rounded up: poll() counts whole milliseconds, and rounding down would
    // end the wait early and spin through the last millisecond.
    const milliseconds remaining = std::chrono::ceil<milliseconds>(deadline - Clock::now());
    if (remaining <= milliseconds::zero()) break;  // timed out

    pollfd p{m_fd.Get(), events, 0};
    const int timeoutMs = static_cast<int>(std::min<milliseconds::rep>(remaining.count(), INT_MAX));
    const int ready = ::poll(&p, 1, timeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || (p.revents & POLLNVAL) != 0) {
      state = Transfer::Failed;
      break;
    }
    if (ready == 0) continue;  // the deadline check above ends the wait

    // A report that arrived before a hang-up is still delivered; an error or
    // a hang-up with nothing to transfer ends the wait at once.
    if ((p.revents & events) != 0) tryTransfer();
    if (state == Transfer::Pending && (p.revents & (POLLERR | POLLHUP)) != 0) state = Transfer::Failed;
  }
  const bool done = state == Transfer::Done;
  state = Transfer::Idle;
  return done;
}

void CHIDDevice::DiscardQueuedInput() {
  if (!m_fd.IsValid()) return;
  // Reading into a short buffer is enough: hidraw and SOCK_SEQPACKET both
  // drop the rest of a report that does not fit.
  std::uint8_t scratch[kReportSize];
  for (int i = 0; i < kMaxDiscardedReports; ++i) {
    const ssize_t n = ::read(m_fd.Get(), scratch, sizeof scratch);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // EAGAIN: nothing left; an error or end of file: nothing to drain
  }
}

std::unique_ptr<SearchableHidDevice> CHIDDevice::NewHandle() const {
  return std::make_unique<CHIDDevice>(m_waitBound, m_sysfsRoot, m_devRoot);
}

std::unique_ptr<SearchableHidDevice> MakeSystemHidDevice(milliseconds waitBound) {
  return std::make_unique<CHIDDevice>(waitBound);
}

}  // namespace orvik
