// Where the executable lives. Every file named without a directory lives beside
// the executable, which is made the working directory at start.
#pragma once

#include <string>
#include <string_view>

namespace telegate {

// Full path of the running executable; empty when it cannot be found.
std::string ExecutablePath();
// Directory of the running executable with a trailing "/"; empty when unknown.
std::string ExecutableDir();
// Makes the executable's directory the working directory; false on failure.
bool SetCurrentDirToExe();
// exePath with the extension of its file name replaced by ".ini", or ".ini"
// appended when the file name has none: "/opt/tg/telegate" -> "/opt/tg/telegate.ini".
std::string IniPathForExe(std::string_view exePath);

}  // namespace telegate

namespace telegate {

// The name under which one of the program's own files is found: `path` itself
// when it exists, or when no other entry of its folder matches; otherwise the
// entry of the same folder whose name differs only in the letter case of ASCII
// letters ("IEC104.CFG" for "iec104.cfg": files copied from a Windows
// installation keep working where names are case-sensitive). Only the last
// component is matched, among the entries of its own folder: the answer never
// leaves that folder. Of several matches, the first in byte order is taken.
std::string FindOwnFile(const std::string& path);

}  // namespace telegate
