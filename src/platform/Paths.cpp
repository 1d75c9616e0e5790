#include "platform/Paths.h"

namespace telegate {

std::string IniPathForExe(std::string_view exePath) {
    const size_t slash = exePath.find_last_of("/\\");
    const size_t nameStart = slash == std::string_view::npos ? 0 : slash + 1;
    const size_t dot = exePath.rfind('.');
    std::string out;
    // A dot that starts the file name (".telegate") marks no extension.
    if (dot != std::string_view::npos && dot > nameStart)
        out.assign(exePath.substr(0, dot));
    else
        out.assign(exePath);
    out += ".ini";
    return out;
}

}  // namespace telegate

#include <filesystem>
#include <system_error>

#include "support/FileNames.h"

namespace telegate {

namespace {

namespace fs = std::filesystem;

// An absolute, lexically normal folder without a trailing separator.
std::string FolderFrom(std::string_view path, const fs::path& base) {
    fs::path p = Utf8Path(path);
    if (!p.is_absolute()) p = base / p;
    p = p.lexically_normal();
    if (!p.has_filename() && p.has_relative_path()) p = p.parent_path();
    return PathToUtf8(p);
}

}  // namespace

TProgramFolders DecideFolders(std::string_view exePath, std::string_view dataDirOption,
                              std::string_view webDirOption, std::string_view recorded,
                              std::string_view cwd) {
    TProgramFolders out;
    out.ExePath.assign(exePath);
    const fs::path base = Utf8Path(cwd);
    const fs::path exe = Utf8Path(exePath);
    const fs::path exeDir = exe.has_parent_path() ? exe.parent_path() : fs::path(".");
    const std::string exeFolder = FolderFrom(PathToUtf8(exeDir), base);
    if (!dataDirOption.empty()) {
        out.DataDir = FolderFrom(dataDirOption, base);
        out.Source = TDataFolderSource::Option;
    } else if (!recorded.empty() && Utf8Path(recorded).is_absolute()) {
        // Only an absolute entry: a relative one would depend on where the
        // program happened to be started from.
        out.DataDir = FolderFrom(recorded, base);
        out.Source = TDataFolderSource::Recorded;
    } else {
        out.DataDir = exeFolder;
        out.Source = TDataFolderSource::Executable;
    }
    out.WebDir = !webDirOption.empty() ? FolderFrom(webDirOption, base)
                                       : PathToUtf8(Utf8Path(exeFolder) / "web");
    const std::string exeName = PathToUtf8(exe.filename());
    out.IniPath = PathToUtf8(Utf8Path(out.DataDir) / Utf8Path(IniPathForExe(exeName)));
    return out;
}

TProgramFolders ProgramFolders(std::string_view dataDirOption, std::string_view webDirOption) {
    std::error_code ec;
    const std::string cwd = PathToUtf8(fs::current_path(ec));
    return DecideFolders(ExecutablePath(), dataDirOption, webDirOption, RecordedDataFolder(), cwd);
}

std::string EnterDataFolder(const TProgramFolders& folders) {
    if (folders.DataDir.empty()) return "the data folder is not known";
    const fs::path dir = Utf8Path(folders.DataDir);
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        fs::create_directories(dir, ec);
        if (ec) return "cannot create the data folder " + folders.DataDir + ": " + ec.message();
    }
    fs::current_path(dir, ec);
    if (ec) return "cannot enter the data folder " + folders.DataDir + ": " + ec.message();
    return {};
}

const char* DataFolderSourceName(TDataFolderSource source) {
    switch (source) {
        case TDataFolderSource::Option:
            return "--data-dir";
        case TDataFolderSource::Recorded:
            return "installation";
        case TDataFolderSource::Executable:
            break;
    }
    return "program folder";
}

}  // namespace telegate
