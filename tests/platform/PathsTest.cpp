#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
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

}  // namespace
}  // namespace telegate
