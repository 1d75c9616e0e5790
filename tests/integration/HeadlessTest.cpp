// Runs the built telegate executable, copied into a temporary directory, the way
// an operator or a service manager would. Every test runs its copies in a network
// namespace of its own: the program's single-instance lock is machine-wide (an
// abstract socket, which belongs to the network namespace), and copies of other
// tests running at the same time must not meet it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "model/ConfigFile.h"
#include "support/CodePage.h"

namespace telegate {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A network namespace held open by a child that waits; copies of the program join
// it. Made as root with a network namespace alone, otherwise inside a user namespace
// of our own (the test's user mapped to root in it).
class TOwnNetwork {
  public:
    TOwnNetwork() = default;
    TOwnNetwork(const TOwnNetwork&) = delete;
    TOwnNetwork& operator=(const TOwnNetwork&) = delete;
    ~TOwnNetwork() {
        for (int fd : {netFd_, userFd_})
            if (fd >= 0) ::close(fd);
        if (holder_ > 0) {
            ::kill(holder_, SIGKILL);
            ::waitpid(holder_, nullptr, 0);
        }
    }
    bool Make() {
        int p[2];
        if (::pipe(p) != 0) return false;
        const uid_t uid = ::getuid();
        const gid_t gid = ::getgid();
        holder_ = ::fork();
        if (holder_ < 0) return false;
        if (holder_ == 0) {
            ::close(p[0]);
            char how = 'n';
            if (::unshare(CLONE_NEWNET) == 0) {
                how = 'y';
            } else if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0 &&
                       WriteProc("/proc/self/setgroups", "deny") &&
                       WriteProc("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
                       WriteProc("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
                how = 'u';
            }
            if (how != 'n') LoopbackUp();
            (void)!::write(p[1], &how, 1);
            ::pause();
            ::_exit(0);
        }
        ::close(p[1]);
        char how = 'n';
        if (::read(p[0], &how, 1) != 1) how = 'n';
        ::close(p[0]);
        if (how == 'n') return false;
        const std::string ns = "/proc/" + std::to_string(holder_) + "/ns/";
        netFd_ = ::open((ns + "net").c_str(), O_RDONLY | O_CLOEXEC);
        if (how == 'u') userFd_ = ::open((ns + "user").c_str(), O_RDONLY | O_CLOEXEC);
        userNs_ = how == 'u';
        return netFd_ >= 0 && (how != 'u' || userFd_ >= 0);
    }
    // In a child between fork and exec: joins the namespace.
    bool Enter() const {
        if (userFd_ >= 0 && ::setns(userFd_, CLONE_NEWUSER) != 0) return false;
        return ::setns(netFd_, CLONE_NEWNET) == 0;
    }
    bool UserNamespace() const { return userNs_; }

  private:
    static bool WriteProc(const char* path, const std::string& text) {
        const int fd = ::open(path, O_WRONLY);
        if (fd < 0) return false;
        const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        ::close(fd);
        return ok;
    }
    static void LoopbackUp() {
        const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
        if (s < 0) return;
        ifreq ifr{};
        std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
        if (::ioctl(s, SIOCGIFFLAGS, &ifr) == 0) {
            ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
            ::ioctl(s, SIOCSIFFLAGS, &ifr);
        }
        ::close(s);
    }

    pid_t holder_ = -1;
    int netFd_ = -1;
    int userFd_ = -1;
    bool userNs_ = false;
};

struct TRunResult {
    int status = -1;  // exit status, or -1 when killed by a signal / timed out
    std::string out, err;
};

class HeadlessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!net_.Make()) GTEST_SKIP() << "no network namespace of our own can be made here";
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
        if (!root_.empty()) fs::remove_all(root_);
    }

    static void Put(const fs::path& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string Get(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    // Starts exe with args in this test's network namespace; stdout (unless
    // stdoutFd is given) and stderr go to files in the root; env is the whole
    // environment; asUid, when given, is the user it runs as.
    pid_t Spawn(const fs::path& exe, std::vector<std::string> args, const fs::path& cwd,
                const std::string& tag, std::vector<std::string> env = {}, int stdoutFd = -1,
                int asUid = -1) {
        const std::string out = (root_ / (tag + ".out")).string();
        const std::string err = (root_ / (tag + ".err")).string();
        std::vector<std::string> argvS{exe.string()};
        argvS.insert(argvS.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argvS) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        pid_t pid = ::fork();
        if (pid == 0) {
            if (!net_.Enter()) ::_exit(122);
            if (::chdir(cwd.c_str()) != 0) ::_exit(120);
            int fo =
                stdoutFd >= 0 ? stdoutFd : ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int fe = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fo < 0 || fe < 0) ::_exit(121);
            ::dup2(fo, 1);
            ::dup2(fe, 2);
            if (asUid >= 0 && (::setgid(static_cast<gid_t>(asUid)) != 0 ||
                               ::setuid(static_cast<uid_t>(asUid)) != 0))
                ::_exit(123);
            ::execve(argv[0], argv.data(), envp.data());
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

    TOwnNetwork net_;
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
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("Приложение уже запущено!"), std::string::npos) << second.err;
    // A copy of the program elsewhere is refused as well, whatever its environment
    // and, where we may try it, whatever its user: the lock is machine-wide.
    fs::create_directories(root_ / "other");
    fs::copy_file(exe_, root_ / "other" / "telegate");
    const std::vector<std::vector<std::string>> envs = {
        {}, {"XDG_RUNTIME_DIR=" + run_.string()}, {"TMPDIR=" + run_.string(), "HOME=/"}};
    int n = 0;
    for (const auto& env : envs) {
        const std::string tag = "other" + std::to_string(n++);
        pid_t other = Spawn(root_ / "other" / "telegate", {}, root_ / "other", tag, env);
        EXPECT_EQ(Wait(other), 1) << tag;
        EXPECT_NE(Get(root_ / (tag + ".err")).find("Приложение уже запущено!"), std::string::npos);
    }
    if (::geteuid() == 0 && !net_.UserNamespace()) {
        fs::permissions(root_, fs::perms::owner_all | fs::perms::others_exec);
        fs::permissions(root_ / "other", fs::perms::owner_all | fs::perms::others_exec);
        pid_t nobody = Spawn(root_ / "other" / "telegate", {}, "/", "nobody", {}, -1, 65534);
        EXPECT_EQ(Wait(nobody), 1);
        EXPECT_NE(Get(root_ / "nobody.err").find("Приложение уже запущено!"), std::string::npos)
            << Get(root_ / "nobody.err");
    }
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
    // What could not be read is not replaced, and the log says why.
    EXPECT_EQ(Wait(pid), 0);
    const std::string log = Cp1251ToUtf8(Get(app_ / "error_iec104.log"));
    EXPECT_NE(log.find("iec104.cfg: файл не открывается для чтения"), std::string::npos) << log;
    EXPECT_NE(log.find("iec104.cfg не перезаписан"), std::string::npos) << log;
    EXPECT_TRUE(fs::is_directory(app_ / kConfigFileName));
}

// The journal goes to standard output, one time-stamped line each, filtered by the
// mask: the rejected configuration line, and with 65536 the link events of a
// station that cannot be reached. The close keeps the incomplete configuration.
TEST_F(HeadlessTest, JournalGoesToStandardOutputAndIncompleteConfigurationIsKept) {
    const std::string cfg = Utf8ToCp1251(
        ";kol,2\r\nKP,7,1,\"Подстанция\",127.0.0.1\r\n"
        "TS,1001,7,,\"Выключатель\",8272,7,$0A,0,0,0,0\r\n"
        "KP,8,1,\"Вторая\",127.0.0.1\r\n");
    Put(app_ / kConfigFileName, cfg);
    Put(app_ / "telegate.ini", "[_Options_]\r\nMBufFlag=65536\r\n");
    pid_t pid = Spawn(exe_, {"--headless"}, app_, "main");
    ASSERT_TRUE(WaitReady("main")) << Get(root_ / "main.err");
    const std::regex stamp(R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d\.\d{3} )");
    const std::string rejected = "iec104.cfg, строка 3, поле 7: '$0A' is not a valid integer";
    auto deadline = std::chrono::steady_clock::now() + 10s;
    std::string out;
    while (std::chrono::steady_clock::now() < deadline) {
        out = Get(root_ / "main.out");
        if (out.find(rejected) != std::string::npos && out.find("(iec5)") != std::string::npos)
            break;
        std::this_thread::sleep_for(20ms);
    }
    size_t lines = 0;
    for (size_t pos = 0, eol; (eol = out.find('\n', pos)) != std::string::npos; pos = eol + 1) {
        const std::string line = out.substr(pos, eol - pos);
        EXPECT_TRUE(std::regex_search(line, stamp, std::regex_constants::match_continuous)) << line;
        ++lines;
    }
    EXPECT_GE(lines, 2u);
    EXPECT_NE(out.find(rejected), std::string::npos) << out;
    EXPECT_NE(out.find("(iec5)"), std::string::npos) << out;
    EXPECT_NE(Get(root_ / "main.err").find(rejected), std::string::npos);
    ::kill(pid, SIGTERM);
    EXPECT_EQ(Wait(pid), 0);
    EXPECT_EQ(Get(app_ / kConfigFileName), cfg);
    const std::string log = Cp1251ToUtf8(Get(app_ / "error_iec104.log"));
    EXPECT_NE(log.find(rejected), std::string::npos) << log;
    EXPECT_NE(log.find("iec104.cfg не перезаписан"), std::string::npos) << log;
    EXPECT_NE(Get(root_ / "main.out").find("iec104.cfg не перезаписан"), std::string::npos);
}

// A reader of standard output that has gone away neither kills nor stops the
// program; one that does not read does not hold it either.
TEST_F(HeadlessTest, StandardOutputThatIsGoneOrStuckDoesNotHarm) {
    // 3000 tags with common address 0: one journal line each, some 300 KB, far more
    // than a pipe holds.
    std::string cfg = "KP,1,1,S,127.0.0.1\r\n";
    for (int k = 1; k <= 3000; ++k)
        cfg += "TS,1001,1,,\"t\",8272,0," + std::to_string(k) + ",0,0,0,0\r\n";
    Put(app_ / kConfigFileName, cfg);
    Put(app_ / "telegate.ini", "[_Options_]\r\nMBufFlag=4294967295\r\n");
    for (const bool closed : {true, false}) {
        SCOPED_TRACE(closed ? "closed" : "stuck");
        int p[2];
        ASSERT_EQ(::pipe(p), 0);
        if (closed) ::close(p[0]);
        const std::string tag = closed ? "closed" : "stuck";
        pid_t pid = Spawn(exe_, {"--headless"}, app_, tag, {}, p[1]);
        ::close(p[1]);
        ASSERT_TRUE(WaitReady(tag)) << Get(root_ / (tag + ".err"));
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), 0);  // still running
        const auto start = std::chrono::steady_clock::now();
        ::kill(pid, SIGTERM);
        EXPECT_EQ(Wait(pid), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
        if (!closed) ::close(p[0]);
    }
}

// More than 20000 tags: the message, exit status 1, and the configuration as it was.
TEST_F(HeadlessTest, MoreThan20000TagsStopWithStatusOneAndKeepTheFile) {
    std::string cfg = ";kol,3\r\n; kept by hand\r\n";
    for (int n = 1; n <= 3; ++n) {
        cfg += "KP," + std::to_string(n) + ",1,S" + std::to_string(n) + ",127.0.0.1\r\n";
        for (int k = 1; k <= 7000; ++k)
            cfg += "TS," + std::to_string(1000 + n) + "," + std::to_string(n) + ",,\"t\",8272," +
                   std::to_string(n) + "," + std::to_string(k) + ",0,0,0,0\r\n";
    }
    Put(app_ / kConfigFileName, cfg);
    TRunResult r = RunToEnd({"--headless"}, "main");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("ERROR: мала константа MAX_ARM_LIST\nВыполняется Halt()!!!\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("telegate: running in"), std::string::npos);
    EXPECT_EQ(Get(app_ / kConfigFileName), cfg);
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

TEST_F(HeadlessTest, DataDirHoldsEveryFileAndTheProgramFolderStaysAsItWas) {
    // The operator's files in a data folder named relative to the working directory;
    // the program ini file there too (a mask that prints the link events).
    WriteSmallConfig();
    fs::create_directories(root_ / "data");
    fs::rename(app_ / kConfigFileName, root_ / "data" / kConfigFileName);
    Put(root_ / "data" / "telegate.ini", "[_Options_]\r\nMBufFlag=65536\r\n");
    Put(app_ / "telegate.ini", "[_Options_]\r\nMBufFlag=0\r\n");
    const auto before = std::distance(fs::directory_iterator(app_), fs::directory_iterator());
    pid_t pid = Spawn(exe_, {"--headless", "--data-dir", "data"}, root_, "main");
    ASSERT_TRUE(WaitReady("main")) << Get(root_ / "main.err");
    const std::string err = Get(root_ / "main.err");
    EXPECT_NE(
        err.find("running in " + (root_ / "data").string() + " (--data-dir) with 1 station(s)"),
        std::string::npos)
        << err;
    // The ini of the data folder is the one read: its mask lets the link events
    // of the unreachable station through.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (Get(root_ / "main.out").find("(iec5)") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_NE(Get(root_ / "main.out").find("(iec5)"), std::string::npos) << Get(root_ / "main.out");
    ::kill(pid, SIGTERM);
    EXPECT_EQ(Wait(pid), 0);
    EXPECT_EQ(Cp1251ToUtf8(Get(root_ / "data" / kConfigFileName)).find("written by hand"),
              std::string::npos);  // rewritten where it was read
    EXPECT_TRUE(fs::exists(root_ / "data" / "zzz.dat"));
    EXPECT_EQ(std::distance(fs::directory_iterator(app_), fs::directory_iterator()), before);
    EXPECT_FALSE(fs::exists(root_ / kConfigFileName));
}

TEST_F(HeadlessTest, FolderOptionsThatCannotWork) {
    Put(root_ / "plain-file", "x");
    const struct {
        std::vector<std::string> args;
        int status;
        const char* message;
    } cases[] = {
        {{"--headless", "--data-dir"}, 2, "option '--data-dir' needs a folder"},
        {{"--headless", "--web-dir="}, 2, "option '--web-dir' needs a folder"},
        {{"--headless", "--data-dir=" + (root_ / "plain-file" / "sub").string()},
         1,
         "cannot create the data folder"},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string tag = "case" + std::to_string(n++);
        pid_t pid = Spawn(exe_, c.args, app_, tag);
        EXPECT_EQ(Wait(pid), c.status) << tag;
        EXPECT_NE(Get(root_ / (tag + ".err")).find(c.message), std::string::npos)
            << tag << ": " << Get(root_ / (tag + ".err"));
    }
    EXPECT_FALSE(fs::exists(app_ / kConfigFileName));
}

}  // namespace
}  // namespace telegate
