// The Win32 side of the platform layer, run under Wine in CI: the named mutex
// against a second process, UTF-8 names with Cyrillic letters and blanks, the
// atomic replace while another handle holds the target, console Ctrl events, and
// the Winsock client's refusal, time-outs and wake-ups.
#include <gtest/gtest.h>
#include <windows.h>
#include <winsock2.h>
// clang-format off
#include <aclapi.h>
// clang-format on

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/AtomicFile.h"
#include "platform/CloseRequest.h"
#include "platform/IniFile.h"
#include "platform/SingleInstance.h"
#include "platform/TcpClient.h"
#include "platform/win32/MessageLoop.h"
#include "support/FileNames.h"
#include "support/TraceFiles.h"

namespace telegate {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::wstring W(const std::string& utf8) {
    return Utf8Path(utf8).wstring();
}

// A scratch folder whose name has Cyrillic letters and a blank.
class CyrillicDir {
  public:
    CyrillicDir() {
        path_ = fs::temp_directory_path() /
                Utf8Path("Телеграф тест " + std::to_string(::GetCurrentProcessId()) + "-" +
                         std::to_string(counter_++));
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~CyrillicDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string File(const std::string& name) const { return PathToUtf8(path_ / Utf8Path(name)); }
    const fs::path& Path() const { return path_; }
    size_t Entries() const {
        return static_cast<size_t>(
            std::distance(fs::directory_iterator(path_), fs::directory_iterator()));
    }

  private:
    static inline int counter_ = 0;
    fs::path path_;
};

std::string ReadAll(const std::string& utf8) {
    std::ifstream in(Utf8Path(utf8), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs a program with stdout and stderr into files; its exit code, or -1 when it
// did not end within timeoutMs (it is then terminated).
struct TChild {
    DWORD exitCode = 0;
    bool ended = false;
};
TChild RunProgram(const std::wstring& exe, const std::wstring& args, const fs::path& dir,
                  const fs::path& outFile, DWORD timeoutMs) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE out = ::CreateFileW(outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = INVALID_HANDLE_VALUE;
    si.hStdOutput = out;
    si.hStdError = out;
    PROCESS_INFORMATION pi{};
    std::wstring cmd = L"\"" + exe + L"\" " + args;
    TChild r;
    if (!::CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, dir.c_str(),
                          &si, &pi)) {
        ::CloseHandle(out);
        ADD_FAILURE() << "CreateProcessW failed: " << ::GetLastError();
        return r;
    }
    ::CloseHandle(out);
    if (::WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        r.ended = true;
        ::GetExitCodeProcess(pi.hProcess, &r.exitCode);
    } else {
        ::TerminateProcess(pi.hProcess, 99);
        ::WaitForSingleObject(pi.hProcess, 5000);
    }
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return r;
}

// ------------------------------------------------------------ named mutex

TEST(Win32SingleInstance, SecondHolderInTheProcessIsRefusedUntilRelease) {
    const std::string name = "Telegate-unit-" + std::to_string(::GetCurrentProcessId());
    TSingleInstance first(name);
    TSingleInstance second(name);
    ASSERT_TRUE(first.TryAcquire()) << first.LastError();
    EXPECT_FALSE(second.TryAcquire());
    EXPECT_TRUE(second.AnotherInstance());
    first.Release();
    EXPECT_TRUE(second.TryAcquire()) << second.LastError();
}

// The lock is machine-wide, and its security lets everyone wait on it but nobody
// else take it over or change it: the only grant to Everyone is SYNCHRONIZE and
// MUTANT_QUERY_STATE.
TEST(Win32SingleInstance, MachineWideMutexOthersMayOnlyWaitOn) {
    const std::string name = "Telegate-sd-" + std::to_string(::GetCurrentProcessId());
    TSingleInstance lock(name);
    ASSERT_TRUE(lock.TryAcquire()) << lock.LastError();
    HANDLE h = ::OpenMutexW(READ_CONTROL | SYNCHRONIZE, FALSE, (L"Global\\" + W(name)).c_str());
    ASSERT_NE(h, nullptr) << ::GetLastError();
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(::GetSecurityInfo(h, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                &dacl, nullptr, &sd),
              static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_NE(dacl, nullptr);
    BYTE world[SECURITY_MAX_SID_SIZE];
    DWORD worldSize = sizeof world;
    ASSERT_TRUE(::CreateWellKnownSid(WinWorldSid, nullptr, world, &worldSize));
    int worldAces = 0;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        ASSERT_TRUE(::GetAce(dacl, i, &ace));
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
        if (!::EqualSid(&allowed->SidStart, world)) continue;
        ++worldAces;
        EXPECT_EQ(allowed->Mask, static_cast<ACCESS_MASK>(SYNCHRONIZE | MUTANT_QUERY_STATE));
    }
    EXPECT_EQ(worldAces, 1);
    ::LocalFree(sd);
    ::CloseHandle(h);
}

// The program itself, started as a second process while this one holds the
// mutex "Telegate", refuses to start; once released, it starts (and is closed).
TEST(Win32SingleInstance, TelegateExeRefusesWhileTheMutexIsHeld) {
    const fs::path exe = fs::path(TELEGATE_BIN_DIR) / "Telegate.exe";
    ASSERT_TRUE(fs::exists(exe)) << exe;
    CyrillicDir dir;
    fs::copy_file(exe, dir.Path() / "Telegate.exe");
    TSingleInstance held("Telegate");
    ASSERT_TRUE(held.TryAcquire()) << "another Telegate runs on this machine";
    const TChild child = RunProgram((dir.Path() / "Telegate.exe").wstring(), L"--headless",
                                    dir.Path(), dir.Path() / "out.txt", 60000);
    ASSERT_TRUE(child.ended);
    EXPECT_EQ(child.exitCode, 1u);
    EXPECT_NE(ReadAll(dir.File("out.txt")).find("Приложение уже запущено!"), std::string::npos)
        << ReadAll(dir.File("out.txt"));
    // Refused before it touched its folder: no configuration written back.
    EXPECT_FALSE(fs::exists(dir.Path() / "iec104.cfg"));
}

// ------------------------------------------------------------ UTF-8 file names

TEST(Win32Files, CyrillicNamesWithBlanksWorkThroughEveryFileRoutine) {
    CyrillicDir dir;
    const std::string cfg = dir.File("конфигурация станций.cfg");
    std::string why;
    ASSERT_TRUE(WriteFileAtomically(cfg, "строка\r\n", why)) << why;
    EXPECT_EQ(ReadAll(cfg), "строка\r\n");
    // The same name as Windows sees it, through the wide API.
    EXPECT_NE(::GetFileAttributesW(W(cfg).c_str()), INVALID_FILE_ATTRIBUTES);

    const std::string ini = dir.File("Телеграф.ini");
    {
        TIniFile f(ini);
        ASSERT_TRUE(f.WriteString("Раздел", "Ключ", "значение"));
    }
    EXPECT_EQ(TIniFile(ini).ReadString("Раздел", "Ключ", ""), "значение");

    const std::string log = dir.File("журнал обмена.log");
    AppendTraceLine("первая", log);
    AppendTraceLine("вторая", log);
    TTextFile text;
    ASSERT_TRUE(text.Open(log, 'r'));
    std::string line;
    ASSERT_TRUE(text.ReadLine(line));
    EXPECT_EQ(line, "первая");
    ASSERT_TRUE(text.ReadLine(line));
    EXPECT_EQ(line, "вторая");
}

// ------------------------------------------------------------ atomic replace

// Windows refuses to rename over a file that another handle holds open, whatever
// that handle shares: the save fails after its retries with the reason, the old
// file is intact and no temporary file stays behind; once released, it works.
TEST(Win32AtomicFile, TargetOpenByAnotherHandleKeepsItsContent) {
    const DWORD shareModes[] = {FILE_SHARE_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE};
    for (const DWORD share : shareModes) {
        SCOPED_TRACE(share);
        CyrillicDir dir;
        const std::string f = dir.File("iec104sr.bin");
        ASSERT_TRUE(WriteFileAtomically(f, "old"));
        HANDLE h = ::CreateFileW(W(f).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        std::string why;
        const bool replaced = WriteFileAtomically(f, "new", why);
        char buf[8] = {};
        DWORD got = 0;
        ASSERT_TRUE(::ReadFile(h, buf, sizeof buf, &got, nullptr));
        EXPECT_EQ(std::string(buf, got), "old");  // the open handle never sees a mix
        ::CloseHandle(h);
        if (replaced) {
            // Windows 10 and later may rename over a handle that shares deletion.
            EXPECT_NE(share & FILE_SHARE_DELETE, 0u);
            EXPECT_EQ(ReadAll(f), "new");
        } else {
            EXPECT_NE(why.find("cannot replace"), std::string::npos) << why;
            EXPECT_EQ(ReadAll(f), "old");
        }
        EXPECT_EQ(dir.Entries(), 1u);  // no temporary file left beside it
        EXPECT_TRUE(WriteFileAtomically(f, "newer", why)) << why;
        EXPECT_EQ(ReadAll(f), "newer");
    }
}

TEST(Win32AtomicFile, ReaderReleasingWithinTheRetriesLetsTheReplaceThrough) {
    CyrillicDir dir;
    const std::string f = dir.File("cnf.ini");
    ASSERT_TRUE(WriteFileAtomically(f, "old"));
    HANDLE h = ::CreateFileW(W(f).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::thread release([h] {
        std::this_thread::sleep_for(200ms);
        ::CloseHandle(h);
    });
    std::string why;
    EXPECT_TRUE(WriteFileAtomically(f, "new", why)) << why;
    release.join();
    EXPECT_EQ(ReadAll(f), "new");
}

// ------------------------------------------------------------ console Ctrl events

TEST(Win32CloseRequests, CtrlCAndCtrlBreakAskForTheClose) {
    std::atomic<int> calls{0};
    {
        TCloseRequests requests;
        ASSERT_TRUE(requests.Start([&] { calls.fetch_add(1); })) << requests.LastError();
        TCloseRequests second;
        EXPECT_FALSE(second.Start([] {}));  // one watcher at a time
        requests.Stop();
    }
    TCloseRequests requests;  // the first one stopped: a new one may watch
    ASSERT_TRUE(requests.Start([&] { calls.fetch_add(1); })) << requests.LastError();
    if (!::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0))
        GTEST_SKIP() << "no console to send Ctrl-C through (Wine without a console); "
                        "test-windows.sh closes Telegate.exe by its close event instead";
    for (int i = 0; i < 200 && calls.load() < 1; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(calls.load(), 1);
    ASSERT_TRUE(::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, 0));
    for (int i = 0; i < 200 && calls.load() < 2; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(calls.load(), 2);
}

// A copy without a console: its close event ("Telegate.exe --close") and WM_CLOSE
// to its hidden window ("taskkill /pid") each ask for the close once; once
// stopped, nothing is left to reach.
TEST(Win32CloseRequests, CloseEventAndTaskkillAskForTheClose) {
    std::atomic<int> calls{0};
    const DWORD self = ::GetCurrentProcessId();
    {
        TCloseRequests requests;
        ASSERT_TRUE(requests.Start([&] { calls.fetch_add(1); })) << requests.LastError();
        std::string report;
        // Our own process never ends within the wait: "still running".
        EXPECT_EQ(RequestClose(self, 50, report), 3) << report;
        for (int i = 0; i < 200 && calls.load() < 1; ++i) std::this_thread::sleep_for(10ms);
        EXPECT_EQ(calls.load(), 1);
        EXPECT_NE(report.find("process " + std::to_string(self)), std::string::npos) << report;
        HWND hidden = nullptr;
        while ((hidden = ::FindWindowExW(nullptr, hidden, L"TelegateCloseRequest", nullptr))) {
            DWORD pid = 0;
            ::GetWindowThreadProcessId(hidden, &pid);
            if (pid == self) break;
        }
        if (hidden != nullptr) {
            EXPECT_FALSE(::IsWindowVisible(hidden));
            ::PostMessageW(hidden, WM_CLOSE, 0, 0);
            for (int i = 0; i < 200 && calls.load() < 2; ++i) std::this_thread::sleep_for(10ms);
            EXPECT_EQ(calls.load(), 2);
            EXPECT_TRUE(::IsWindow(hidden)) << "WM_CLOSE asks; the window stays";
        } else {
            std::printf("no hidden window (no display): %s\n", requests.LastError().c_str());
        }
        requests.Stop();
    }
    std::string report;
    EXPECT_EQ(RequestClose(self, 50, report), 1) << report;
    EXPECT_EQ(CloseEventName(42), "Local\\Telegate-Close-42");
}

// ------------------------------------------------------------ message-queue loop

// Calls posted and waited for from several threads all run on the loop's thread,
// each thread's in its order; the window's timers fire on the same thread; a
// call that throws goes to onException and the loop goes on; quit() ends run()
// with its code and releases later waiting callers with false.
TEST(Win32MessageLoop, CallsAndTimersRunOnTheLoopThread) {
    TMessageLoop loop;
    const DWORD mainId = ::GetCurrentThreadId();
    std::vector<std::string> errors;
    loop.onException = [&](const char* what, const char*) { errors.emplace_back(what); };

    constexpr int kThreads = 4, kCalls = 50;
    std::vector<std::vector<int>> seen(kThreads);
    std::atomic<int> offThread{0}, waitedOk{0};
    int ticks = 0, selfRemoving = 0;
    const auto tick = loop.addTimer(20, [&] {
        ++ticks;
        if (::GetCurrentThreadId() != mainId) offThread.fetch_add(1);
    });
    IMainLoop::TimerId once = 0;
    once = loop.addTimer(10, [&] {
        ++selfRemoving;
        loop.removeTimer(once);  // a timer may remove itself from its callback
    });
    loop.startTimer(tick);
    loop.startTimer(once);
    loop.post([] { throw std::runtime_error("posted failure"); });

    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i) {
                const bool ok = (i % 2 == 0) ? loop.invokeAndWait([&, t, i] {
                    if (::GetCurrentThreadId() != mainId) offThread.fetch_add(1);
                    seen[t].push_back(i);
                })
                                             : (loop.post([&, t, i] {
                                                   if (::GetCurrentThreadId() != mainId)
                                                       offThread.fetch_add(1);
                                                   seen[t].push_back(i);
                                               }),
                                                true);
                if (ok) waitedOk.fetch_add(1);
            }
        });
    }
    std::thread stopper([&] {
        for (auto& w : workers) w.join();
        // Everything queued before this call ran by the time it runs.
        loop.invokeAndWait([] {});
        std::this_thread::sleep_for(300ms);
        loop.quit(7);
    });
    EXPECT_EQ(loop.run(), 7);
    stopper.join();

    EXPECT_EQ(offThread.load(), 0);
    EXPECT_EQ(waitedOk.load(), kThreads * kCalls);
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(seen[t].size(), static_cast<size_t>(kCalls)) << t;
        for (int i = 0; i < kCalls; ++i) EXPECT_EQ(seen[t][i], i);
    }
    EXPECT_EQ(errors, std::vector<std::string>{"posted failure"});
    EXPECT_EQ(selfRemoving, 1);
    EXPECT_FALSE(loop.timerActive(once));
    EXPECT_GE(ticks, 3);  // at least 300 ms of a 20 ms timer, however coarse

    // After quit nothing runs: a waiting caller is told so at once.
    std::atomic<int> late{0};
    std::thread caller([&] { EXPECT_FALSE(loop.invokeAndWait([&] { late.fetch_add(1); })); });
    caller.join();
    EXPECT_EQ(loop.run(), 7);
    EXPECT_EQ(late.load(), 0);
}

// ------------------------------------------------------------ Winsock client

// A listening socket on a free loopback port.
class Listener {
  public:
    Listener() {
        TTcpClient warmUp;  // starts Winsock
        s_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int len = sizeof a;
        ::bind(s_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(s_, 4);
        ::getsockname(s_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~Listener() {
        if (peer_ != INVALID_SOCKET) ::closesocket(peer_);
        if (s_ != INVALID_SOCKET) ::closesocket(s_);
    }
    int Port() const { return port_; }
    void Close() {
        ::closesocket(s_);
        s_ = INVALID_SOCKET;
    }
    SOCKET Accept() {
        peer_ = ::accept(s_, nullptr, nullptr);
        return peer_;
    }
    void ClosePeer() {
        ::closesocket(peer_);
        peer_ = INVALID_SOCKET;
    }

  private:
    SOCKET s_ = INVALID_SOCKET;
    SOCKET peer_ = INVALID_SOCKET;
    int port_ = 0;
};

TEST(Win32TcpClient, RefusedConnectFailsFastWithTheReason) {
    Listener l;
    const int port = l.Port();
    l.Close();  // nobody listens there any more
    TTcpClient c;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(c.Connect("127.0.0.1", port, 3000));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2500ms);
    EXPECT_NE(c.LastError().find("connect"), std::string::npos) << c.LastError();
    EXPECT_FALSE(c.Connected());
    EXPECT_FALSE(c.Connect("127.0.0.1", 0, 100));
    EXPECT_EQ(c.LastError(), "bad port 0");
}

TEST(Win32TcpClient, ReadTimesOutThenSeesDataWakeAndPeerClose) {
    Listener l;
    TWakeEvent wake;
    TTcpClient c(&wake);
    int drops = 0;
    c.SetOnDisconnected([&] { ++drops; });
    ASSERT_TRUE(c.Connect("127.0.0.1", l.Port(), 3000)) << c.LastError();
    const SOCKET peer = l.Accept();
    ASSERT_NE(peer, INVALID_SOCKET);

    char buf[16];
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(c.Read(buf, sizeof buf, 200), 0);  // time-out
    const auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, 180ms);
    EXPECT_LT(waited, 2000ms);

    ASSERT_EQ(::send(peer, "\x68\x04", 2, 0), 2);
    EXPECT_EQ(c.Wait(2000), TTcpClient::TWaitResult::Readable);
    EXPECT_EQ(c.Available(), 2u);
    EXPECT_EQ(c.Read(buf, sizeof buf, 100), 2);
    EXPECT_EQ(std::string(buf, 2), "\x68\x04");

    std::thread waker([&] {
        std::this_thread::sleep_for(50ms);
        wake.Signal();
    });
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(c.Wait(5000), TTcpClient::TWaitResult::Woken);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2000ms);
    waker.join();

    ASSERT_TRUE(c.WriteAll("\x68\x04\x07\x00\x00\x00", 6, 1000));
    char got[6];
    int n = 0;
    while (n < 6) {
        const int r = ::recv(peer, got + n, 6 - n, 0);
        ASSERT_GT(r, 0);
        n += r;
    }
    EXPECT_EQ(std::string(got, 6), std::string("\x68\x04\x07\x00\x00\x00", 6));

    l.ClosePeer();
    EXPECT_EQ(c.Read(buf, sizeof buf, 2000), -1);
    EXPECT_EQ(drops, 1);
    EXPECT_FALSE(c.Connected());
    EXPECT_FALSE(c.WriteAll("x", 1, 100));
    EXPECT_EQ(c.LastError(), "not connected");
}

}  // namespace
}  // namespace telegate
