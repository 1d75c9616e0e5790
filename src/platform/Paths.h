// Where the executable lives and where the program keeps its files: the data
// folder (made the working directory at start) and the read-only web folder.
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

namespace telegate {

// Where the operator's files come from: the --data-dir option, the folder the
// installer recorded, or the executable's own folder.
enum class TDataFolderSource { Option, Recorded, Executable };

// The folders a running copy uses. The data folder holds every file the operator
// or the program writes (iec104.cfg, iec104sr.bin, cnf.ini, the program ini file,
// error_iec104.log, zzz.dat, traces, the daily journal) and is made the working
// directory; the web folder is read-only content shipped with the program.
struct TProgramFolders {
    std::string ExePath;
    std::string DataDir;  // absolute, without a trailing separator
    std::string WebDir;   // absolute
    std::string IniPath;  // the program ini file: DataDir + the executable's name + ".ini"
    TDataFolderSource Source = TDataFolderSource::Executable;
};

// The decision itself. dataDirOption wins when not empty, then recorded (the
// installer's entry), then the executable's folder. The web folder is
// webDirOption when not empty, otherwise "web" beside the executable. Relative
// options are taken from cwd. Paths are UTF-8.
TProgramFolders DecideFolders(std::string_view exePath, std::string_view dataDirOption,
                              std::string_view webDirOption, std::string_view recorded,
                              std::string_view cwd);

// The data folder the installer recorded: on Windows the value "DataFolder" of
// HKLM\SOFTWARE\Telegate (64-bit view, environment references expanded); empty
// when there is none and on other systems.
std::string RecordedDataFolder();

// DecideFolders for this process: its executable, the recorded folder, the
// current directory.
TProgramFolders ProgramFolders(std::string_view dataDirOption, std::string_view webDirOption);

// Creates the data folder when it is missing and makes it the working directory.
// Returns an empty string, or what went wrong.
std::string EnterDataFolder(const TProgramFolders& folders);

// Short name of a source for messages: "--data-dir", "installation", "program folder".
const char* DataFolderSourceName(TDataFolderSource source);

}  // namespace telegate
