// Web interface figures: the time to build the measurement page with 20000 rows and
// its size, and the requests per second the web server answers for "/" (5 stations,
// 2000 tags) to a small in-process load generator on loopback; then how late the
// main loop runs its work while browsers flood the 9,600-row signal page: the
// lateness of a 50 ms timer (the tick that runs the protocol timers t1/t2/t3) and
// the wait of a call from another thread (the road of received frames, whose
// acknowledgement t2 governs), once with the page copied on the main thread and
// formatted on the web workers, once with the whole page built on the main thread
// as it was before.
//
//   bench_web [SECONDS]     (each flood runs SECONDS, default 5)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "model/Registries.h"
#include "model/StationTable.h"
#include "model/Tags.h"
#include "platform/HttpServer.h"
#include "platform/PlainMainLoop.h"
#include "support/CodePage.h"
#include "support/Journal.h"
#include "web/WebPages.h"
#include "web/WebServer.h"

using namespace telegate;

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

struct Data {
    TStationTable st;
    TMessBuff journal{100, 0};
    TArmSignals arm;
    TTagSignalList tags{journal, &arm};
    TTagCategoryList categories{1};
    std::deque<TTitBound> bounds;

    // stations stations with perStation measurements and a few signals each.
    Data(int stations, int measurements, int signalsPerStation) {
        TDateTime stamp = 0;
        TryEncodeDateTime({2026, 12, 9, 10, 15, 30, 250}, stamp);
        for (int n = 1; n <= stations; ++n) {
            ++st.Kol_KP;
            T_KP& kp = st.KP_arr[n];
            kp.NameKP = "ПС " + std::to_string(n);
            kp.IP = "127.0.0." + std::to_string(n);
            kp.Connected = true;
            kp.PereschetTI = n % 2 == 0;
            kp.Popravka_Time = 1;
        }
        bounds.emplace_back(true, 0, 32767, 0, 500, 0, 0, 0, 0);
        for (int i = 0; i < measurements; ++i) {
            const int n = 1 + i % stations;
            Add(n, stTIT, "Измерение " + std::to_string(i), n, 1000 + i);
            TTagSignal& t = tags.List.back();
            const float v = 123.456f + static_cast<float>(i);
            t.Value.pdc = dcn_TITfloat;
            std::memcpy(t.Value.bv, &v, 4);
            t.Value.Qualit = 0;
            t.Value.prQualit = true;
            t.Value.dt = stamp + i / 86400000.0;
            arm.GetRec(t.FIndArm)->pTitBound1 = &bounds.back();
        }
        for (int n = 1; n <= stations; ++n)
            for (int i = 0; i < signalsPerStation; ++i) {
                Add(n, stTS, "Сигнал " + std::to_string(i), n, 100000 + i);
                TTagSignal& t = tags.List.back();
                t.Value.pdc = dcn_SingleTS1;
                t.Value.bv[0] = i & 1;
                t.Value.prQualit = true;
                t.Value.Qualit = 0;
                t.Value.dt = stamp;
            }
    }

    void Add(int n, SignalType kind, const std::string& name, int asdu, int ioa) {
        arm.AddRec(TStationTable::StationId(n), kind, name, 0);
        TTagSignal tag;
        tag.Init(name, asdu, ioa, st.KP_arr[n].IP, 2404,
                 categories.GetPtc(kind == stTS ? tcn_TS : tcn_TIT), arm.GetCount() - 1);
        tags.AddTag(tag);
    }

    TWebView View() const { return TWebView{st, &tags, &arm, nullptr}; }
};

void PageFigures() {
    Data data(3, 20000, 0);
    std::string page;
    constexpr int kRuns = 20;
    double best = 1e9, total = 0, convBest = 1e9;
    size_t cpSize = 0;
    for (int i = 0; i < kRuns; ++i) {
        auto t0 = Clock::now();
        page = BuildPage(data.View(), "/titek.php", "p_ti=all");
        const double ms = MsSince(t0);
        best = std::min(best, ms);
        total += ms;
        t0 = Clock::now();
        cpSize = Utf8ToCp1251(page).size();
        convBest = std::min(convBest, MsSince(t0));
    }
    std::printf(
        "measurement page, 20000 rows: build %.2f ms (mean %.2f ms over %d), "
        "to Windows-1251 %.2f ms, %zu octets UTF-8, %zu octets sent\n",
        best, total / kRuns, kRuns, convBest, page.size(), cpSize);
    page = BuildPage(data.View(), "/titek.php", "");
    std::printf("measurement page without query (719 rows): %zu octets UTF-8\n", page.size());
}

int Connect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One request on a new connection; true on a "200" answer read to its end.
bool OneRequest(int port, std::vector<char>& buf, size_t& bytes, const char* target = "/") {
    const int fd = Connect(port);
    if (fd < 0) return false;
    const std::string req =
        std::string("GET ") + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (::send(fd, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size())) {
        ::close(fd);
        return false;
    }
    size_t got = 0;
    bool ok = false;
    for (;;) {
        const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0) break;
        if (got == 0) ok = n > 12 && std::memcmp(buf.data() + 9, "200", 3) == 0;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    bytes += got;
    return ok;
}

// Resident set size in MB (Linux).
double RssMb() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / 1e6;
}

// 30 clients at once, each sending a request head of 200,000 header fields (1.2 MB).
void HugeHeadFigures() {
    THttpServer server([](const THttpRequest&, THttpResponse& res) { res.body = "x"; });
    if (!server.Start(0, "127.0.0.1")) return;
    const double before = RssMb();
    std::string head = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (int i = 0; i < 200000; ++i) head += "X: y\r\n";
    head += "\r\n";
    std::atomic<int> refused{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < 30; ++c) {
        clients.emplace_back([&] {
            const int fd = Connect(server.Port());
            if (fd < 0) return;
            size_t off = 0;
            while (off < head.size()) {
                const ssize_t n = ::send(fd, head.data() + off, head.size() - off, MSG_NOSIGNAL);
                if (n <= 0) break;
                off += static_cast<size_t>(n);
            }
            char buf[256];
            const ssize_t n = ::recv(fd, buf, sizeof buf - 1, 0);
            if (n > 12 && std::memcmp(buf + 9, "431", 3) == 0) ++refused;
            ::close(fd);
        });
    }
    for (auto& t : clients) t.join();
    const double peak = RssMb();
    server.Stop();
    std::printf(
        "30 request heads of 200000 header fields at once: %d answered 431 (others cut "
        "off), RSS %.1f MB before, %.1f MB after (of which the 1.2 MB request text)\n",
        refused.load(), before, peak);
}

void ServerFigures() {
    Data data(5, 1950, 10);  // 2000 tags
    TPlainMainLoop loop;
    std::thread mainThread([&] { loop.run(); });
    while (!loop.invokeAndWait([] {})) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // All load comes from one address: let every connection of the generator in.
    THttpServerLimits limits;
    limits.maxConnectionsPerPeer = limits.maxConnections;
    TWebServer server(
        std::filesystem::temp_directory_path() / "telegate-bench-no-web",
        [&] { return data.View(); },
        [&](std::function<void()> fn) {
            loop.post(std::move(fn));
            return true;
        },
        limits);
    std::string error;
    if (!server.Activate(0, &error, "127.0.0.1")) {
        std::printf("web server: cannot listen: %s\n", error.c_str());
        loop.quit();
        mainThread.join();
        return;
    }
    constexpr int kConnections = 16;
    constexpr auto kDuration = std::chrono::seconds(5);
    std::atomic<long> ok{0}, failed{0};
    std::atomic<size_t> bytes{0};
    const auto t0 = Clock::now();
    const auto end = t0 + kDuration;
    std::vector<std::thread> clients;
    for (int c = 0; c < kConnections; ++c) {
        clients.emplace_back([&] {
            std::vector<char> buf(1 << 16);
            size_t mine = 0;
            while (Clock::now() < end) {
                if (OneRequest(server.Port(), buf, mine)) {
                    ++ok;
                } else {
                    ++failed;
                }
            }
            bytes += mine;
        });
    }
    for (auto& t : clients) t.join();
    const double sec = MsSince(t0) / 1000.0;
    server.Deactivate();
    loop.quit();
    mainThread.join();
    std::printf(
        "web server \"/\", 5 stations, 2000 tags, %d connections, %.1f s: %.0f requests/s "
        "(%ld ok, %ld failed), %.1f MB/s\n",
        kConnections, sec, ok / sec, ok.load(), failed.load(), bytes / sec / 1e6);
}

// Largest and 99th-percentile value of a sample, in ms.
struct TDelays {
    std::mutex mu;
    std::vector<double> ms;
    void Add(double v) {
        std::lock_guard<std::mutex> lock(mu);
        ms.push_back(v);
    }
    std::string Text() {
        std::lock_guard<std::mutex> lock(mu);
        if (ms.empty()) return "no samples";
        std::sort(ms.begin(), ms.end());
        char buf[96];
        std::snprintf(buf, sizeof buf, "max %.1f ms, p99 %.1f ms, median %.2f ms (%zu)", ms.back(),
                      ms[ms.size() * 99 / 100], ms[ms.size() / 2], ms.size());
        return buf;
    }
};

// The main loop's delays during `seconds` of flood by `clients` browsers asking for
// the 9,600-row signal page (no flood when clients is 0). formatOnMain: every page
// is also built whole on the main thread, the cost it had there before.
void FloodFigures(const Data& data, int clients, bool formatOnMain, int seconds, int workers = 0) {
    THttpServerLimits limits;
    if (workers > 0) limits.workers = workers;
    TPlainMainLoop loop;
    std::thread mainThread([&] { loop.run(); });
    while (!loop.invokeAndWait([] {})) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    TDelays timerLate, callWait;
    auto last = std::make_shared<Clock::time_point>(Clock::now());
    const auto timer = loop.addTimer(50, [&timerLate, last] {
        const auto now = Clock::now();
        timerLate.Add(
            std::max(0.0, std::chrono::duration<double, std::milli>(now - *last).count() - 50.0));
        *last = now;
    });
    loop.invokeAndWait([&] {
        *last = Clock::now();
        loop.startTimer(timer);
    });
    TWebServer server(
        std::filesystem::temp_directory_path() / "telegate-bench-no-web",
        [&] { return data.View(); },
        [&](std::function<void()> fn) {
            loop.post([fn = std::move(fn), formatOnMain, &data] {
                fn();
                if (formatOnMain) {
                    const std::string page = BuildPage(data.View(), "/tstek.php", "p_ti=all");
                    if (page.empty()) std::printf("empty page\n");
                }
            });
            return true;
        },
        limits);
    std::string error;
    if (!server.Activate(0, &error, "127.0.0.1")) {
        std::printf("web server: cannot listen: %s\n", error.c_str());
        loop.quit();
        mainThread.join();
        return;
    }
    std::atomic<bool> stop{false};
    // Calls from another thread every 10 ms, as a station worker hands over data.
    std::thread caller([&] {
        while (!stop) {
            const auto t0 = Clock::now();
            loop.invokeAndWait([] {});
            callWait.Add(MsSince(t0));
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    std::atomic<long> ok{0}, failed{0};
    std::vector<std::thread> flood;
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    for (int c = 0; c < clients; ++c) {
        flood.emplace_back([&] {
            std::vector<char> buf(1 << 16);
            size_t bytes = 0;
            while (Clock::now() < end) {
                if (OneRequest(server.Port(), buf, bytes, "/tstek.php?p_ti=all")) {
                    ++ok;
                } else {
                    ++failed;
                }
            }
        });
    }
    if (clients == 0) std::this_thread::sleep_for(std::chrono::seconds(seconds));
    for (auto& t : flood) t.join();
    stop = true;
    caller.join();
    server.Deactivate();
    loop.quit();
    mainThread.join();
    std::printf(
        "flood of \"/tstek.php?p_ti=all\" (9600 rows), %d clients, %d s, %s: %.1f pages/s "
        "(%ld failed)\n  50 ms timer late by: %s\n  call from a worker waited: %s\n",
        clients, seconds,
        clients == 0   ? "no flood"
        : formatOnMain ? "page built on the main thread (before)"
                       : "page copied on the main thread, formatted off it",
        ok.load() / static_cast<double>(seconds), failed.load(), timerLate.Text().c_str(),
        callWait.Text().c_str());
}

void MainThreadShare() {
    Data data(32, 0, 300);  // 9600 signals
    constexpr int kRuns = 20;
    double whole = 1e9, copy = 1e9;
    for (int i = 0; i < kRuns; ++i) {
        auto t0 = Clock::now();
        const std::string page = BuildPage(data.View(), "/tstek.php", "p_ti=all");
        whole = std::min(whole, MsSince(t0));
        t0 = Clock::now();
        const TWebPageData copyData = TakePageData(data.View(), "/tstek.php", "p_ti=all");
        copy = std::min(copy, MsSince(t0));
        if (copyData.Rows.size() != 9600 || page.empty()) std::printf("unexpected page\n");
    }
    std::printf(
        "signal page, 9600 rows, main-thread time per request: whole build %.2f ms "
        "(before), copy only %.2f ms (now)\n",
        whole, copy);
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    PageFigures();
    ServerFigures();
    HugeHeadFigures();
    MainThreadShare();
    const Data data(32, 0, 300);
    FloodFigures(data, 0, false, seconds);
    // Before, every connection had a thread of its own: all 8 builds could queue.
    FloodFigures(data, 8, true, seconds, 8);
    FloodFigures(data, 8, false, seconds);
    FloodFigures(data, 8, false, seconds, 1);
    FloodFigures(data, 8, false, seconds, 4);
    return 0;
}
