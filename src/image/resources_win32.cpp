// The running program's resources on Windows: real resources linked into the
// executable from its .rc file, with custom string types ("RT_BIN", "RT_VER").
#include <windows.h>

#include <string>

#include "image/resources.h"

namespace orvik {
namespace {

class ModuleResources final : public Resources {
 public:
  ResourceLookup Find(std::string_view type, int id) const override {
    // Resource type names are ASCII; widen them for the W call.
    const std::wstring wideType(type.begin(), type.end());
    const HMODULE module = GetModuleHandleW(nullptr);
    HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), wideType.c_str());
    if (info == nullptr) return {ResourceStatus::NotFound, {}};
    HGLOBAL loaded = LoadResource(module, info);
    if (loaded == nullptr) return {ResourceStatus::LoadFailed, {}};
    const DWORD size = SizeofResource(module, info);
    const void* data = LockResource(loaded);
    if (data == nullptr) return {ResourceStatus::LoadFailed, {}};
    // Resources stay mapped with the executable for the life of the process;
    // nothing needs releasing.
    return {ResourceStatus::Found, {static_cast<const std::uint8_t*>(data), size}};
  }
};

}  // namespace

const Resources& ProgramResources() {
  static const ModuleResources resources;
  return resources;
}

}  // namespace orvik
