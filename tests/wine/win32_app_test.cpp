// The Windows program's own parts that need no window: the executable's path,
// the single-instance mutex, and the resources linked into orvik-updater.exe
// (read from the built file, as Windows itself reads them).
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/common/app_common.h"
#include "app/common/library_search.h"

namespace {

using orvik::app::SingleInstance;
using orvik::app::InstanceRole;

// --- Path and single instance -----------------------------------------------

TEST(ExecutablePath, IsTheRunningTestProgramAndTheLogSitsBesideIt) {
  const std::filesystem::path path = orvik::app::ExecutablePath();
  ASSERT_TRUE(path.is_absolute()) << path;
  EXPECT_EQ(path.filename(), "win32_app_tests.exe");
  EXPECT_EQ(orvik::app::ChooseLogPath(), path.parent_path() / "win32_app_tests.log");
}

TEST(LogPathBeside, WindowsKeepsTheWholePathRule) {
  using std::filesystem::path;
  EXPECT_EQ(orvik::app::LogPathBeside(path(L"C:\\Tools\\Updater.exe")), path(L"C:\\Tools\\Updater.log"));
  EXPECT_EQ(orvik::app::LogPathBeside(path(L"C:\\My.Tools\\Updater")), path(L"C:\\My.log"));
  EXPECT_EQ(orvik::app::LogPathBeside(path(L"C:\\My.Tools\\Updater.exe")), path(L"C:\\My.Tools\\Updater.log"));
}

TEST(SingleInstance, SecondHolderIsRefusedUntilTheFirstReleases) {
  std::unique_ptr<SingleInstance> first = SingleInstance::Acquire();
  ASSERT_NE(first, nullptr);
  // Opening the existing name reports ERROR_ALREADY_EXISTS also within one
  // process, exactly as for a second program.
  EXPECT_EQ(SingleInstance::Acquire(), nullptr);
  EXPECT_EQ(SingleInstance::Acquire(), nullptr);  // a refused try leaves nothing held
  first.reset();
  EXPECT_NE(SingleInstance::Acquire(), nullptr);
}

// Stations share the session's lock; a lone updater (a single update, the
// window) runs beside nothing. One updater per session: the names carry no
// "Global\\" prefix, as the README says.
TEST(SingleInstance, ASecondInstanceRunsOnlyBesideWhatItMay) {
  struct Case {
    InstanceRole holder;
    InstanceRole second;
    bool secondRuns;
  };
  const Case cases[] = {{InstanceRole::Alone, InstanceRole::Alone, false},
                        {InstanceRole::Alone, InstanceRole::Shared, false},
                        {InstanceRole::Shared, InstanceRole::Alone, false},
                        {InstanceRole::Shared, InstanceRole::Shared, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "holder " << static_cast<int>(c.holder) << ", second "
                                      << static_cast<int>(c.second));
    std::unique_ptr<SingleInstance> holder = SingleInstance::Acquire(c.holder);
    ASSERT_NE(holder, nullptr);
    std::unique_ptr<SingleInstance> second = SingleInstance::Acquire(c.second);
    EXPECT_EQ(second != nullptr, c.secondRuns);
    holder.reset();
    second.reset();
    EXPECT_NE(SingleInstance::Acquire(c.second), nullptr) << "a refused try left something held";
  }
}

// The last of several stations keeps a lone updater off until it ends.
TEST(SingleInstance, ALoneUpdaterWaitsForTheLastStation) {
  std::unique_ptr<SingleInstance> first = SingleInstance::Acquire(InstanceRole::Shared);
  std::unique_ptr<SingleInstance> second = SingleInstance::Acquire(InstanceRole::Shared);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  first.reset();
  EXPECT_EQ(SingleInstance::Acquire(InstanceRole::Alone), nullptr);
  second.reset();
  EXPECT_NE(SingleInstance::Acquire(InstanceRole::Alone), nullptr);
}

// A path handed over by the build through the environment. Under Wine it is a
// Unix path: drive Z: is the root.
std::wstring PathFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return {};
  std::string path = value;
  if (!path.empty() && path.front() == '/') path.insert(0, "Z:");
  for (char& c : path) c = c == '/' ? '\\' : c;
  return std::wstring(path.begin(), path.end());
}

// The windowed program answers --help and --version on the standard output
// it was given (here a file), opening no window and taking no lock.
TEST(WindowedProgram, AnswersHelpAndVersionOnItsStandardOutput) {
  const std::wstring program = PathFromEnvironment("ORVIK_UPDATER_EXE");
  ASSERT_FALSE(program.empty()) << "ORVIK_UPDATER_EXE not set";
  struct Case {
    const wchar_t* argument;
    const char* start;  // the output's first bytes
  };
  const Case cases[] = {{L"--help", "Usage: orvik-updater.exe [-AdvMode] [-Emulate[:UNIT[,UNIT]...]]\r\n"},
                        {L"--version", "orvik-updater.exe " ORVIK_PROJECT_VERSION "\r\n"}};
  // Held meanwhile: a program that took the lock would end silently instead.
  const std::unique_ptr<SingleInstance> held = SingleInstance::Acquire();
  ASSERT_NE(held, nullptr);
  for (const Case& c : cases) {
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    std::filesystem::create_directories(temp);
    const std::wstring outPath =
        std::wstring(temp) + L"orvik-help-" + std::to_wstring(GetCurrentProcessId()) + L"-" + (c.argument + 2);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(out, INVALID_HANDLE_VALUE) << GetLastError();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    startup.hStdError = out;
    std::wstring commandLine = L"\"" + program + L"\" " + c.argument;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &process);
    CloseHandle(out);
    ASSERT_TRUE(started) << GetLastError();
    const DWORD waited = WaitForSingleObject(process.hProcess, 30000);
    DWORD status = 99;
    GetExitCodeProcess(process.hProcess, &status);
    if (waited != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 99);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    ASSERT_EQ(waited, WAIT_OBJECT_0) << "no answer: a window or a message box is open";
    EXPECT_EQ(status, 0u);
    std::ifstream in(std::filesystem::path(outPath), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    in.close();
    DeleteFileW(outPath.c_str());
    EXPECT_EQ(text.substr(0, std::strlen(c.start)), c.start);
  }
}

TEST(LibrarySearch, ADllInTheCurrentFolderIsNotLoadedByNameOnceRestricted) {
  // The tests' planted hid.dll (its DllMain ends the process with 77), copied
  // into the current folder under a name no system DLL has.
  std::wstring planted = PathFromEnvironment("ORVIK_PLANTED_DLLS");
  planted = planted.substr(0, planted.find(L','));
  ASSERT_FALSE(planted.empty()) << "ORVIK_PLANTED_DLLS not set";
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("orvik-search-" + std::to_string(GetCurrentProcessId()));
  std::filesystem::create_directories(folder);
  std::filesystem::copy_file(planted, folder / "orvik-planted-probe.dll",
                             std::filesystem::copy_options::overwrite_existing);
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(folder);

  orvik::app::RestrictLibrarySearchToSystem();
  const HMODULE loaded = LoadLibraryW(L"orvik-planted-probe.dll");
  const DWORD error = GetLastError();
  // A system DLL that is not a known DLL is still found by name.
  const HMODULE system = LoadLibraryW(L"hid.dll");

  std::filesystem::current_path(previous);
  std::filesystem::remove_all(folder);
  EXPECT_EQ(loaded, nullptr);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_NE(system, nullptr);
  if (system != nullptr) FreeLibrary(system);
}

// --- Resources of orvik-updater.exe -----------------------------------------

// The program under test, loaded as data only: nothing of it runs.
class UpdaterResources : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_path = PathFromEnvironment("ORVIK_UPDATER_EXE");
    ASSERT_FALSE(s_path.empty()) << "ORVIK_UPDATER_EXE not set";
    s_module = LoadLibraryExW(s_path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(s_module, nullptr) << std::filesystem::path(s_path);
  }
  static void TearDownTestSuite() {
    if (s_module != nullptr) FreeLibrary(s_module);
    s_module = nullptr;
  }

  static std::optional<std::vector<std::uint8_t>> Resource(LPCWSTR type, int id) {
    HRSRC info = FindResourceW(s_module, MAKEINTRESOURCEW(id), type);
    if (info == nullptr) return std::nullopt;
    HGLOBAL loaded = LoadResource(s_module, info);
    const auto* bytes = static_cast<const std::uint8_t*>(LockResource(loaded));
    if (bytes == nullptr) return std::nullopt;
    return std::vector<std::uint8_t>(bytes, bytes + SizeofResource(s_module, info));
  }

  static inline HMODULE s_module = nullptr;
  static inline std::wstring s_path;
};

// Reads a dialog template (DLGTEMPLATEEX) field by field, never past its end.
class TemplateReader {
 public:
  explicit TemplateReader(const std::vector<std::uint8_t>& bytes) : m_bytes(bytes) {}

  template <typename T>
  T Read() {
    T value{};
    if (m_at + sizeof(T) > m_bytes.size()) {
      m_overrun = true;
      return value;
    }
    std::memcpy(&value, m_bytes.data() + m_at, sizeof(T));
    m_at += sizeof(T);
    return value;
  }
  // A zero-terminated UTF-16 string, as UTF-8 (the texts here are ASCII).
  std::string String() {
    std::string text;
    for (std::uint16_t unit = Read<std::uint16_t>(); unit != 0 && !m_overrun; unit = Read<std::uint16_t>()) {
      text += static_cast<char>(unit);
    }
    return text;
  }
  // A string or, after 0xFFFF, an ordinal written as "#n"; 0 is none.
  std::string StringOrOrdinal() {
    const std::uint16_t first = Read<std::uint16_t>();
    if (first == 0) return {};
    if (first == 0xFFFF) {
      std::string ordinal(1, '#');
      ordinal += std::to_string(Read<std::uint16_t>());
      return ordinal;
    }
    m_at -= sizeof(first);
    return String();
  }
  void AlignToDword() { m_at = (m_at + 3) & ~std::size_t{3}; }
  bool Overrun() const { return m_overrun; }

 private:
  const std::vector<std::uint8_t>& m_bytes;
  std::size_t m_at = 0;
  bool m_overrun = false;
};

struct TemplateItem {
  std::uint32_t exStyle, style;
  std::int16_t x, y, cx, cy;
  std::uint32_t id;
  std::string windowClass, text;
  bool operator==(const TemplateItem&) const = default;
};

std::ostream& operator<<(std::ostream& out, const TemplateItem& item) {
  return out << item.id << " " << item.windowClass << " \"" << item.text << "\" style 0x" << std::hex
             << item.style << " ex 0x" << item.exStyle << std::dec << " at " << item.x << "," << item.y << " "
             << item.cx << "x" << item.cy;
}

TEST_F(UpdaterResources, DialogTemplateHasTheCaptionFontSizeAndStyles) {
  const auto bytes = Resource(RT_DIALOG, 102);
  ASSERT_TRUE(bytes);
  TemplateReader reader(*bytes);
  EXPECT_EQ(reader.Read<std::uint16_t>(), 1);       // dlgVer
  EXPECT_EQ(reader.Read<std::uint16_t>(), 0xFFFF);  // extended template
  reader.Read<std::uint32_t>();                     // help id
  EXPECT_EQ(reader.Read<std::uint32_t>(), DWORD{WS_EX_APPWINDOW});
  EXPECT_EQ(reader.Read<std::uint32_t>(),
            DWORD{WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT});
  EXPECT_EQ(reader.Read<std::uint16_t>(), 6);  // controls
  EXPECT_EQ(reader.Read<std::int16_t>(), 0);
  EXPECT_EQ(reader.Read<std::int16_t>(), 0);
  EXPECT_EQ(reader.Read<std::int16_t>(), 243);
  EXPECT_EQ(reader.Read<std::int16_t>(), 45);
  EXPECT_EQ(reader.StringOrOrdinal(), "");  // no menu
  EXPECT_EQ(reader.StringOrOrdinal(), "");  // the standard dialog class
  EXPECT_EQ(reader.String(), "Firmware for Solvane ver");
  EXPECT_EQ(reader.Read<std::uint16_t>(), 10);   // points
  EXPECT_EQ(reader.Read<std::uint16_t>(), 400);  // weight
  EXPECT_EQ(reader.Read<std::uint8_t>(), 0);     // italic
  EXPECT_EQ(reader.Read<std::uint8_t>(), 0);     // character set
  EXPECT_EQ(reader.String(), "Tahoma");
  EXPECT_FALSE(reader.Overrun());
}

TEST_F(UpdaterResources, DialogControlsInTabOrderWithIdsTextsPlacesAndStyles) {
  const auto bytes = Resource(RT_DIALOG, 102);
  ASSERT_TRUE(bytes);
  TemplateReader reader(*bytes);
  // Skip the header, checked above.
  reader.Read<std::uint16_t>(), reader.Read<std::uint16_t>(), reader.Read<std::uint32_t>();
  reader.Read<std::uint32_t>(), reader.Read<std::uint32_t>();
  const std::uint16_t count = reader.Read<std::uint16_t>();
  for (int i = 0; i < 4; ++i) reader.Read<std::int16_t>();
  reader.StringOrOrdinal(), reader.StringOrOrdinal(), reader.String();
  reader.Read<std::uint16_t>(), reader.Read<std::uint16_t>(), reader.Read<std::uint16_t>(), reader.String();

  std::vector<TemplateItem> items;
  for (int i = 0; i < count && !reader.Overrun(); ++i) {
    reader.AlignToDword();
    reader.Read<std::uint32_t>();  // help id
    TemplateItem item{};
    item.exStyle = reader.Read<std::uint32_t>();
    item.style = reader.Read<std::uint32_t>();
    item.x = reader.Read<std::int16_t>(), item.y = reader.Read<std::int16_t>();
    item.cx = reader.Read<std::int16_t>(), item.cy = reader.Read<std::int16_t>();
    item.id = reader.Read<std::uint32_t>();
    item.windowClass = reader.StringOrOrdinal();
    item.text = reader.StringOrOrdinal();
    const std::uint16_t extra = reader.Read<std::uint16_t>();
    for (int k = 0; k < extra; ++k) reader.Read<std::uint8_t>();
    items.push_back(item);
  }
  ASSERT_FALSE(reader.Overrun());

  // A class may be stored by name or by its predefined ordinal.
  constexpr DWORD child = WS_CHILD;
  const std::vector<TemplateItem> expected = {
      {0, child | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 7, 24, 50, 14, 1000, "Button", "Update"},
      {0, child | WS_VISIBLE | WS_BORDER | PBS_SMOOTH, 7, 7, 229, 14, 1001, "msctls_progress32", ""},
      {0, child | WS_TABSTOP | BS_AUTOCHECKBOX, 70, 28, 31, 10, 1002, "Button", "MCU"},
      {0, child | WS_TABSTOP | BS_AUTOCHECKBOX, 114, 28, 29, 10, 1003, "Button", "USB"},
      {WS_EX_STATICEDGE, child | WS_VISIBLE | WS_GROUP | SS_LEFTNOWORDWRAP, 199, 27, 37, 11, 1004, "Static",
       "00:00.000"},
      {0, child | WS_TABSTOP | BS_AUTOCHECKBOX, 156, 28, 29, 10, 1005, "Button", "Log"},
  };
  ASSERT_EQ(items.size(), expected.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    // The resource compiler may spell the class in capitals or as an ordinal
    // (0x80 button, 0x82 static).
    TemplateItem actual = items[i];
    if (actual.windowClass == "#128") actual.windowClass = "Button";
    if (actual.windowClass == "#130") actual.windowClass = "Static";
    if (_stricmp(actual.windowClass.c_str(), expected[i].windowClass.c_str()) == 0) {
      actual.windowClass = expected[i].windowClass;
    }
    EXPECT_EQ(actual, expected[i]) << "control " << i;
  }
}

TEST_F(UpdaterResources, IconIsOne32By32ImageWith256Colours) {
  const auto group = Resource(RT_GROUP_ICON, 128);
  ASSERT_TRUE(group);
  // GRPICONDIR: reserved, type 1, count; then 14-byte entries.
  ASSERT_GE(group->size(), 6u + 14u);
  EXPECT_EQ((*group)[2] | (*group)[3] << 8, 1);          // icon
  EXPECT_EQ((*group)[4] | (*group)[5] << 8, 1);          // one image
  EXPECT_EQ((*group)[6], 32);                            // width
  EXPECT_EQ((*group)[7], 32);                            // height
  EXPECT_EQ((*group)[8], 0);                             // colour count 0: 256
  EXPECT_EQ((*group)[12] | (*group)[13] << 8, 8);        // bits per pixel
  HICON icon = static_cast<HICON>(LoadImageW(s_module, MAKEINTRESOURCEW(128), IMAGE_ICON, 32, 32, 0));
  EXPECT_NE(icon, nullptr);
  if (icon != nullptr) DestroyIcon(icon);
}

TEST_F(UpdaterResources, VersionTextIsExactlyTheThreeBytesOfTheBuildInput) {
  const auto text = Resource(L"RT_VER", 133);
  ASSERT_TRUE(text);
  EXPECT_EQ(std::string(text->begin(), text->end()), "1.3");  // no terminating zero
}

TEST_F(UpdaterResources, FirmwareImageIsTheBuildInputByteForByte) {
  const auto image = Resource(L"RT_BIN", 130);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->size(), 73728u);
  const std::filesystem::path input = PathFromEnvironment("ORVIK_FIRMWARE_IMAGE");
  ASSERT_FALSE(input.empty()) << "ORVIK_FIRMWARE_IMAGE not set";
  std::ifstream file(input, std::ios::binary);
  ASSERT_TRUE(file) << input;
  const std::vector<std::uint8_t> expected((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(*image == expected);
}

TEST_F(UpdaterResources, VersionBlockIs2006ForNeutralLanguageAndCodePage950) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(s_path.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<std::uint8_t> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(s_path.c_str(), 0, size, block.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00020000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00000006u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00020000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0x00000006u);

  WORD* translation = nullptr;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                             &length));
  ASSERT_GE(length, 4u);
  EXPECT_EQ(translation[0], 0x0000);
  EXPECT_EQ(translation[1], 950);

  for (const wchar_t* name : {L"\\StringFileInfo\\000003b6\\FileVersion", L"\\StringFileInfo\\000003b6\\ProductVersion"}) {
    wchar_t* value = nullptr;
    ASSERT_TRUE(VerQueryValueW(block.data(), name, reinterpret_cast<void**>(&value), &length));
    EXPECT_STREQ(value, L"2.0.0.6");
  }
}

TEST_F(UpdaterResources, ManifestAsksForCommonControls6AndDpiAwareness) {
  const auto manifest = Resource(MAKEINTRESOURCEW(24), 1);  // RT_MANIFEST, CREATEPROCESS_MANIFEST_RESOURCE_ID
  ASSERT_TRUE(manifest);
  const std::string text(manifest->begin(), manifest->end());
  EXPECT_NE(text.find("Microsoft.Windows.Common-Controls"), std::string::npos);
  EXPECT_NE(text.find("version=\"6.0.0.0\""), std::string::npos);
  EXPECT_NE(text.find("<dpiAware"), std::string::npos);
}

// --- Manifests of both programs ---------------------------------------------

TEST(Manifests, BothProgramsRunAsInvokerOnTheSameSystemsWithThisVersion) {
  const char* const supportedOs[] = {
      "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // Windows 7
      "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // Windows 8
      "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // Windows 8.1
      "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // Windows 10 and 11
  };
  for (const char* program : {"ORVIK_UPDATER_EXE", "ORVIK_CLI_EXE"}) {
    SCOPED_TRACE(program);
    const std::wstring path = PathFromEnvironment(program);
    ASSERT_FALSE(path.empty()) << program << " not set";
    const HMODULE module =
        LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr);
    const HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
    const HGLOBAL data = info == nullptr ? nullptr : LoadResource(module, info);
    const char* bytes = data == nullptr ? nullptr : static_cast<const char*>(LockResource(data));
    const std::string text = bytes == nullptr ? std::string() : std::string(bytes, SizeofResource(module, info));
    FreeLibrary(module);
    ASSERT_FALSE(text.empty()) << "no manifest";

    EXPECT_NE(text.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"), std::string::npos);
    for (const char* id : supportedOs) EXPECT_NE(text.find(std::string("<supportedOS Id=\"") + id), std::string::npos) << id;
    EXPECT_NE(text.find("version=\"" ORVIK_PROJECT_VERSION "\" processorArchitecture=\"amd64\""), std::string::npos)
        << "the assembly's version is not the project's";
    // Paths past 260 characters where the system allows them.
    EXPECT_NE(text.find("<longPathAware xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">true"
                        "</longPathAware>"),
              std::string::npos);
  }
}

}  // namespace
