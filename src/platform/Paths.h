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
