// Runs the built telegate executable, copied into a temporary directory, the way
// an operator or a service manager would.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "model/ConfigFile.h"
#include "support/CodePage.h"

namespace telegate {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct TRunResult {
    int status = -1;  // exit status, or -1 when killed by a signal / timed out
    std::string out, err;
};

class HeadlessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "tg-headless-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        root_ = tmpl;
        app_ = root_ / "app";
        run_ = root_ / "run";
        fs::create_directories(app_);
        fs::create_directories(run_);
        fs::permissions(run_, fs::perms::owner_all);
        exe_ = app_ / "telegate";
        fs::copy_file(fs::path(TELEGATE_BIN_DIR) / "telegate", exe_);
    }
    void TearDown() override {
        for (pid_t pid : running_) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        fs::remove_all(root_);
    }

    static void Put(const fs::path& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string Get(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    // Starts exe with args; stdout and stderr go to files in the root; the lock
    // lives in this test's own runtime directory.
    pid_t Spawn(const fs::path& exe, std::vector<std::string> args, const fs::path& cwd,
                const std::string& tag) {
        const std::string out = (root_ / (tag + ".out")).string();
        const std::string err = (root_ / (tag + ".err")).string();
        const std::string env = "XDG_RUNTIME_DIR=" + run_.string();
        std::vector<std::string> argvS{exe.string()};
        argvS.insert(argvS.end(), args.begin(), args.end());
        pid_t pid = ::fork();
        if (pid == 0) {
            if (::chdir(cwd.c_str()) != 0) ::_exit(120);
            int fo = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int fe = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fo < 0 || fe < 0) ::_exit(121);
            ::dup2(fo, 1);
            ::dup2(fe, 2);
            std::vector<char*> argv;
            for (auto& a : argvS) argv.push_back(a.data());
            argv.push_back(nullptr);
            std::string envCopy = env;
            char* envp[] = {envCopy.data(), nullptr};
            ::execve(argv[0], argv.data(), envp);
            ::_exit(127);
        }
        if (pid > 0) running_.push_back(pid);
        return pid;
    }
    // Waits for the process to end (at most `limit`); its exit status or -1.
    int Wait(pid_t pid, std::chrono::milliseconds limit = 10s) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            int st = 0;
            pid_t r = ::waitpid(pid, &st, WNOHANG);
            if (r == pid) {
                std::erase(running_, pid);
                return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }
    TRunResult RunToEnd(std::vector<std::string> args, const std::string& tag) {
        TRunResult r;
        pid_t pid = Spawn(exe_, std::move(args), app_, tag);
        r.status = Wait(pid);
        r.out = Get(root_ / (tag + ".out"));
        r.err = Get(root_ / (tag + ".err"));
        return r;
    }
    // Waits until the program says it runs; false when it does not within 10 s.
    bool WaitReady(const std::string& tag) {
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (Get(root_ / (tag + ".err")).find("telegate: running in") != std::string::npos)
                return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
    void WriteSmallConfig() {
        Put(app_ / kConfigFileName,
            Utf8ToCp1251(";kol,1\r\n"
                         "KP,7,1,\"Подстанция\",127.0.0.1\r\n"
                         "; a line written by hand\r\n"
                         "PER,1\r\nTIM,0\r\nPOPR,0\r\nOPROS,0\r\n"
                         "TS,1001,7,,\"Выключатель\",8272,7,100,0,0,0,0\r\n"
                         "TIT,1001,7,,\"Ua\",8280,7,200,0,10,0,10,0,10,0,32767\r\n"));
    }

    fs::path root_, app_, run_, exe_;
    std::vector<pid_t> running_;
};

TEST_F(HeadlessTest, HelpVersionAndBadOptions) {
    TRunResult help = RunToEnd({"--help"}, "help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: telegate"), std::string::npos);
    EXPECT_NE(help.out.find("--headless"), std::string::npos);
    TRunResult version = RunToEnd({"--version"}, "version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("telegate ", 0), 0u);
    TRunResult bad = RunToEnd({"--headless", "--frobnicate"}, "bad");
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("unrecognized option '--frobnicate'"), std::string::npos);
    TRunResult stray = RunToEnd({"stray"}, "stray");
    EXPECT_EQ(stray.status, 2);
    // None of these touched the program's files.
    EXPECT_FALSE(fs::exists(app_ / kConfigFileName));
    EXPECT_FALSE(fs::exists(app_ / "error_iec104.log"));
}

TEST_F(HeadlessTest, SigtermRewritesConfigurationAndExitsZero) {
    WriteSmallConfig();
    pid_t pid = Spawn(exe_, {"--headless"}, app_, "main");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(WaitReady("main")) << Get(root_ / "main.err");
    EXPECT_NE(Get(root_ / "main.err").find("with 1 station(s)"), std::string::npos);
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    EXPECT_EQ(Wait(pid), 0);
    std::string cfg = Cp1251ToUtf8(Get(app_ / kConfigFileName));
    EXPECT_EQ(cfg.find("a line written by hand"), std::string::npos);  // rewritten
    EXPECT_EQ(cfg.rfind(";kol,1\r\nKP,7,1,\"Подстанция\",127.0.0.1\r\n", 0), 0u) << cfg;
    EXPECT_NE(cfg.find("\"Выключатель\""), std::string::npos);
    EXPECT_FALSE(fs::exists(app_ / "error_iec104.log"));
}

TEST_F(HeadlessTest, SigintClosesToo) {
    pid_t pid = Spawn(exe_, {}, app_, "main");
    ASSERT_TRUE(WaitReady("main"));
    ::kill(pid, SIGINT);
    EXPECT_EQ(Wait(pid), 0);
    EXPECT_TRUE(fs::exists(app_ / kConfigFileName));  // written even with no stations
}

TEST_F(HeadlessTest, SecondCopyIsRefusedAndLeavesTheFirstAlone) {
    WriteSmallConfig();
    pid_t first = Spawn(exe_, {"--headless"}, app_, "first");
    ASSERT_TRUE(WaitReady("first"));
    const std::string cfgBefore = Get(app_ / kConfigFileName);
    const auto mtimeBefore = fs::last_write_time(app_ / kConfigFileName);

    TRunResult second = RunToEnd({"--headless"}, "second");
    EXPECT_NE(second.status, 0);
    EXPECT_NE(second.err.find("Приложение уже запущено!"), std::string::npos) << second.err;
    // A copy of the program elsewhere is refused as well: the lock is per user.
    fs::create_directories(root_ / "other");
    fs::copy_file(exe_, root_ / "other" / "telegate");
    pid_t third = Spawn(root_ / "other" / "telegate", {}, root_ / "other", "third");
    EXPECT_NE(Wait(third), 0);
    EXPECT_FALSE(fs::exists(root_ / "other" / kConfigFileName));

    EXPECT_EQ(Get(app_ / kConfigFileName), cfgBefore);
    EXPECT_EQ(fs::last_write_time(app_ / kConfigFileName), mtimeBefore);
    EXPECT_FALSE(fs::exists(app_ / "error_iec104.log"));
    EXPECT_EQ(::waitpid(first, nullptr, WNOHANG), 0);  // still running
    ::kill(first, SIGTERM);
    EXPECT_EQ(Wait(first), 0);
}

TEST_F(HeadlessTest, KilledCopyDoesNotBlockTheNext) {
    pid_t first = Spawn(exe_, {}, app_, "first");
    ASSERT_TRUE(WaitReady("first"));
    ::kill(first, SIGKILL);
    EXPECT_EQ(Wait(first), -1);
    pid_t next = Spawn(exe_, {}, app_, "next");
    ASSERT_TRUE(WaitReady("next")) << Get(root_ / "next.err");
    ::kill(next, SIGTERM);
    EXPECT_EQ(Wait(next), 0);
}

TEST_F(HeadlessTest, GarbageConfigurationStillStarts) {
    std::string junk;
    for (int i = 0; i < 50000; ++i) junk.push_back(static_cast<char>((i * 7919 + 13) & 0xFF));
    Put(app_ / kConfigFileName, junk);
    pid_t pid = Spawn(exe_, {}, app_, "main");
    ASSERT_TRUE(WaitReady("main")) << Get(root_ / "main.err");
    ::kill(pid, SIGTERM);
    EXPECT_EQ(Wait(pid), 0);
}

TEST_F(HeadlessTest, UnreadableConfigurationStillStarts) {
    WriteSmallConfig();
    fs::permissions(app_ / kConfigFileName, fs::perms::none);
    pid_t pid = Spawn(exe_, {}, app_, "main");
    ASSERT_TRUE(WaitReady("main")) << Get(root_ / "main.err");
    if (::geteuid() != 0) {
        // The reader says so to the operator, and no station is configured.
        std::string err = Get(root_ / "main.err");
        EXPECT_NE(err.find("with 0 station(s)"), std::string::npos) << err;
    }
    ::kill(pid, SIGTERM);
    EXPECT_EQ(Wait(pid), 0);
}

TEST_F(HeadlessTest, ConfigurationThatIsADirectoryStartsButCannotBeSaved) {
    fs::create_directory(app_ / kConfigFileName);
    pid_t pid = Spawn(exe_, {}, app_, "main");
    ASSERT_TRUE(WaitReady("main")) << Get(root_ / "main.err");
    EXPECT_NE(Get(root_ / "main.err").find("with 0 station(s)"), std::string::npos);
    ::kill(pid, SIGTERM);
    // The close goes on, but says that the configuration was not saved.
    EXPECT_EQ(Wait(pid), 1);
    EXPECT_NE(Get(app_ / "error_iec104.log").find(" . Class Name = "), std::string::npos);
    EXPECT_TRUE(fs::is_directory(app_ / kConfigFileName));
}

TEST_F(HeadlessTest, FilesLiveBesideTheExecutableWhateverTheWorkingDirectory) {
    WriteSmallConfig();
    fs::create_directories(root_ / "elsewhere");
    pid_t pid = Spawn(exe_, {"--headless"}, root_ / "elsewhere", "main");
    ASSERT_TRUE(WaitReady("main"));
    EXPECT_NE(Get(root_ / "main.err").find("with 1 station(s)"), std::string::npos);
    ::kill(pid, SIGTERM);
    EXPECT_EQ(Wait(pid), 0);
    EXPECT_FALSE(fs::exists(root_ / "elsewhere" / kConfigFileName));
    EXPECT_EQ(Cp1251ToUtf8(Get(app_ / kConfigFileName)).find("written by hand"), std::string::npos);
}

}  // namespace
}  // namespace telegate
