#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/Paths.h"

namespace telegate {
namespace {

namespace fs = std::filesystem;

TEST(Paths, IniPathForExe) {
    EXPECT_EQ(IniPathForExe("/opt/tg/telegate"), "/opt/tg/telegate.ini");
    EXPECT_EQ(IniPathForExe("/opt/tg/telegate.exe"), "/opt/tg/telegate.ini");
    EXPECT_EQ(IniPathForExe("C:\\Telegate\\Telegate.exe"), "C:\\Telegate\\Telegate.ini");
    EXPECT_EQ(IniPathForExe("/opt/v1.2/telegate"), "/opt/v1.2/telegate.ini");  // dot in a directory
    EXPECT_EQ(IniPathForExe("/opt/tg/a.b.c"), "/opt/tg/a.b.ini");
    EXPECT_EQ(IniPathForExe("/opt/tg/.telegate"), "/opt/tg/.telegate.ini");
    EXPECT_EQ(IniPathForExe("telegate"), "telegate.ini");
    EXPECT_EQ(IniPathForExe("telegate."), "telegate.ini");
    EXPECT_EQ(IniPathForExe(""), ".ini");
}

TEST(Paths, ExecutableLocation) {
    const std::string exe = ExecutablePath();
    ASSERT_FALSE(exe.empty());
    EXPECT_TRUE(fs::path(exe).is_absolute());
    EXPECT_TRUE(fs::exists(exe));
    EXPECT_EQ(fs::path(exe).stem(), "tests_platform");
    const std::string dir = ExecutableDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_TRUE(dir.back() == '/' || dir.back() == '\\') << dir;
    EXPECT_EQ(dir + fs::path(exe).filename().string(), exe);
}

TEST(Paths, SetCurrentDirToExe) {
    const fs::path before = fs::current_path();
    ASSERT_TRUE(SetCurrentDirToExe());
    EXPECT_EQ(fs::canonical(fs::current_path()), fs::canonical(fs::path(ExecutableDir())));
    fs::current_path(before);
}

#ifndef _WIN32
TEST(Paths, DecideFolders) {
    using S = TDataFolderSource;
    const struct {
        const char *exe, *dataOpt, *webOpt, *recorded;
        const char *data, *web, *ini;
        S source;
    } cases[] = {
        // Nothing given: everything beside the executable.
        {"/opt/tg/telegate", "", "", "", "/opt/tg", "/opt/tg/web", "/opt/tg/telegate.ini",
         S::Executable},
        // The installer's record, unless the option says otherwise.
        {"/opt/tg/Telegate.exe", "", "", "/var/tg", "/var/tg", "/opt/tg/web",
         "/var/tg/Telegate.ini", S::Recorded},
        {"/opt/tg/telegate", "/srv/d/", "", "/var/tg", "/srv/d", "/opt/tg/web",
         "/srv/d/telegate.ini", S::Option},
        // Relative options from the working directory, normalised.
        {"/opt/tg/telegate", "d/../e", "w", "", "/home/op/e", "/home/op/w",
         "/home/op/e/telegate.ini", S::Option},
        // A relative record would depend on the working directory: not taken.
        {"/opt/tg/telegate", "", "", "rel", "/opt/tg", "/opt/tg/web", "/opt/tg/telegate.ini",
         S::Executable},
        // The web option alone moves only the web folder.
        {"/opt/tg/telegate", "", "/usr/share/tg/web/", "", "/opt/tg", "/usr/share/tg/web",
         "/opt/tg/telegate.ini", S::Executable},
        // An executable named without a folder lives in the working directory.
        {"telegate", "", "", "", "/home/op", "/home/op/web", "/home/op/telegate.ini",
         S::Executable},
        {"/opt/tg/telegate", "/", "", "", "/", "/opt/tg/web", "/telegate.ini", S::Option},
    };
    for (const auto& c : cases) {
        const TProgramFolders f = DecideFolders(c.exe, c.dataOpt, c.webOpt, c.recorded, "/home/op");
        EXPECT_EQ(f.ExePath, c.exe);
        EXPECT_EQ(f.DataDir, c.data) << c.exe << " " << c.dataOpt << " " << c.recorded;
        EXPECT_EQ(f.WebDir, c.web) << c.webOpt;
        EXPECT_EQ(f.IniPath, c.ini) << c.dataOpt;
        EXPECT_EQ(f.Source, c.source) << c.dataOpt << " " << c.recorded;
    }
}
#else
TEST(Paths, DecideFoldersOnWindows) {
    using S = TDataFolderSource;
    const struct {
        const char *exe, *dataOpt, *recorded;
        const char *data, *web, *ini;
        S source;
    } cases[] = {
        {"C:\\Program Files\\Telegate\\Telegate.exe", "", "C:\\ProgramData\\Telegate",
         "C:\\ProgramData\\Telegate", "C:\\Program Files\\Telegate\\web",
         "C:\\ProgramData\\Telegate\\Telegate.ini", S::Recorded},
        {"D:\\usb\\Telegate.exe", "", "", "D:\\usb", "D:\\usb\\web", "D:\\usb\\Telegate.ini",
         S::Executable},
        {"D:\\usb\\Telegate.exe", "cfg", "C:\\ProgramData\\Telegate", "C:\\op\\cfg", "D:\\usb\\web",
         "C:\\op\\cfg\\Telegate.ini", S::Option},
        // Without a drive the record is not absolute: not taken.
        {"D:\\usb\\Telegate.exe", "", "\\ProgramData", "D:\\usb", "D:\\usb\\web",
         "D:\\usb\\Telegate.ini", S::Executable},
    };
    for (const auto& c : cases) {
        const TProgramFolders f = DecideFolders(c.exe, c.dataOpt, "", c.recorded, "C:\\op");
        EXPECT_EQ(f.DataDir, c.data) << c.exe << " " << c.dataOpt << " " << c.recorded;
        EXPECT_EQ(f.WebDir, c.web);
        EXPECT_EQ(f.IniPath, c.ini);
        EXPECT_EQ(f.Source, c.source);
    }
}
#endif

TEST(Paths, EnterDataFolderCreatesItOrSaysWhy) {
    const fs::path before = fs::current_path();
    const fs::path root = fs::temp_directory_path() / ("tg-paths-" + std::to_string(::getpid()));
    fs::remove_all(root);
    TProgramFolders f;
    f.DataDir = (root / "a" / "b").string();
    EXPECT_EQ(EnterDataFolder(f), "");
    EXPECT_EQ(fs::canonical(fs::current_path()), fs::canonical(root / "a" / "b"));
    fs::current_path(before);
    { std::ofstream(root / "file") << "x"; }
    f.DataDir = (root / "file" / "c").string();
    EXPECT_NE(EnterDataFolder(f).find("cannot create the data folder"), std::string::npos);
    f.DataDir.clear();
    EXPECT_NE(EnterDataFolder(f), "");
    EXPECT_EQ(fs::current_path(), before);
    fs::remove_all(root);
}

}  // namespace
}  // namespace telegate
