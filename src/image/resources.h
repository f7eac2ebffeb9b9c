// Build inputs carried inside the executable, looked up by type and id: the
// firmware image ("RT_BIN" 130) and the version text ("RT_VER" 133).
//
// Windows reads real resources from the executable (resources_win32.cpp); other
// platforms compile the files into a table (cmake/EmbedFiles.cmake). Tests
// build their own TableResources.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace orvik {

inline constexpr std::string_view kBinResourceType = "RT_BIN";
inline constexpr int kBinResourceId = 130;
inline constexpr std::string_view kVerResourceType = "RT_VER";
inline constexpr int kVerResourceId = 133;

enum class ResourceStatus {
  Found,
  NotFound,    // no resource of that type and id
  LoadFailed,  // present, but its bytes cannot be had
};

struct ResourceLookup {
  ResourceStatus status = ResourceStatus::NotFound;
  std::span<const std::uint8_t> bytes;  // valid for the program's life when Found
};

class Resources {
 public:
  virtual ~Resources() = default;
  virtual ResourceLookup Find(std::string_view type, int id) const = 0;
};

struct EmbeddedResource {
  const char* type;
  int id;
  std::span<const std::uint8_t> bytes;
};

// Resources held in a table in memory.
class TableResources final : public Resources {
 public:
  explicit TableResources(std::span<const EmbeddedResource> table) : m_table(table) {}
  ResourceLookup Find(std::string_view type, int id) const override;

 private:
  std::span<const EmbeddedResource> m_table;
};

// The table generated from firmware/ at build time (all platforms; the
// Windows program itself uses its native resources).
std::span<const EmbeddedResource> EmbeddedResourceTable();

// The resources of the running program.
const Resources& ProgramResources();

// What the user is told when the version text is missing or unloadable.
inline constexpr char kCantFindVersionMessage[] = "Can't find ver data, this updater is damage!";
// What the start-up says when the firmware image in the program is missing
// or does not verify, and when memory runs out.
inline constexpr char kCantFindUpdateDataMessage[] = "Can't find update data, this updater is damage!";
inline constexpr char kUpdateDataDamagedMessage[] = "Update data is damage!";
inline constexpr char kOutOfMemoryMessage[] = "Out of memory!";

// The version text as UTF-8: the resource's bytes up to the first zero (it
// has no terminator of its own). The bytes are in the system's ANSI code
// page; the shipped text is ASCII, and other bytes are taken as Latin-1, the
// same on every platform.
std::string VersionTextToUtf8(std::span<const std::uint8_t> bytes);

}  // namespace orvik
