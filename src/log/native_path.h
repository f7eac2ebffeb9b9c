// Paths as the user gives them (UTF-8 text on the command line) and as this
// system opens them; and the names Windows gives to devices.
//
// Every path that comes from the command line becomes a std::filesystem::path
// through PathFromUtf8, and through nothing else: on Windows a path built
// from a std::string is read in the ANSI code page, so a folder named
// "Gerät" would be looked for under another name.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace orvik {

// A path given as UTF-8 text, as this system names it. POSIX: the bytes as
// they are. Windows: UTF-16 from the UTF-8 bytes, made absolute and
// normalised as Win32 normalises it when it opens a file ('/' as '\', "."
// and ".." resolved, and the last name's trailing dots and blanks dropped:
// "L " is the folder "L", "rec.csv." the file "rec.csv"), with the "\\?\"
// prefix when it is long enough that a name under it could pass 260
// characters. Empty text gives an empty path.
std::filesystem::path PathFromUtf8(std::string_view utf8);

// A path the system gave (the executable's own), made reachable the same
// way: Windows: the "\\?\" prefix when it is long. POSIX: as it is.
std::filesystem::path ReachablePath(const std::filesystem::path& path);

// The path as UTF-8 text, for messages and records.
std::string PathToUtf8(const std::filesystem::path& path);

// The last name of `utf8` as the system will open it: Windows drops its
// trailing dots and blanks ("rec.csv." opens "rec.csv"); POSIX keeps it.
std::string FileNameAsOpened(std::string_view utf8);

// Why this system would not open `utf8` as the file or folder it names, as
// a phrase ("names the device COM¹"); empty when nothing is wrong. Windows:
// a name of the path that Windows reserves for a device (see
// IsReservedDeviceName). POSIX: always empty.
std::string PathNameProblem(std::string_view utf8);

// Whether Windows takes the file name `name` (UTF-8) for a device: CON, PRN,
// AUX, NUL, CONIN$, CONOUT$, COM0 to COM9 and LPT0 to LPT9, and COM and LPT
// followed by a superscript digit (¹ ² ³), in any case, alone or before an
// extension ("nul.txt") and before trailing blanks or dots ("CON ."). A
// portable rule, for names that must be safe on every system.
bool IsReservedDeviceName(std::string_view name);

}  // namespace orvik
