// Loopback figures of the diagnostic streams with the whole master (in-process)
// against telegate-sim: spontaneous flood throughput at 1 and 30 objects per ASDU
// without and with a monitor viewer and an event-stream reader attached (ratio),
// the latency from a value the station sends to its change event on the stream
// (median, p99), and the resident memory of the process while a stalled event
// reader is attached during a flood of 2,000 changes/s.
//
//   bench_diagnostics [--flood-count N] [--latency-samples N] [--stall-seconds S]
//   (defaults 100000, 60 and 60)
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../tests/common/RawHttp.h"
#include "../tests/integration/LiveMaster.h"
#include "app/Diagnostics.h"
#include "web/WebServer.h"

namespace {

using namespace telegate;
using namespace std::chrono;
namespace fs = std::filesystem;

std::string SimPath() {
    if (const char* env = std::getenv("TELEGATE_SIM")) return env;
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return (self.parent_path().parent_path() / "telegate-sim").string();
}

long RssKiB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

struct TRun {
    fs::path dir;
    live::TSimProcess sim;
    std::unique_ptr<live::TLiveMaster> master;
    std::vector<int> ports;
    int webPort = 0;

    bool Start(int points, const std::vector<std::string>& simArgs) {
        std::string tmpl = (fs::temp_directory_path() / "tg-bench-diag-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) return false;
        dir = tmpl;
        std::vector<std::string> args = {
            "--port", "0", "--port-count", "1", "--points", std::to_string(points), "--quiet"};
        args.insert(args.end(), simArgs.begin(), simArgs.end());
        if (!sim.Start(SimPath(), args)) return false;
        ports = sim.Ports();
        if (ports.size() != 1) return false;
        auto t = std::make_unique<TStationTable>();
        T_KP& kp = t->KP_arr[1];
        kp.NameKP = "S1";
        kp.IP = "127.0.0.1";
        kp.Kol_TS = points;
        kp.Kol_TI = points;
        for (int k = 1; k <= points; ++k) {
            kp.TS_arr[k].NameTS = "TS" + std::to_string(k);
            kp.TS_arr[k].AdrASDU = 1;
            kp.TS_arr[k].AdrIOA = k;
            kp.TI_arr[k].NameTI = "TI" + std::to_string(k);
            kp.TI_arr[k].AdrASDU = 1;
            kp.TI_arr[k].AdrIOA = points + k;
        }
        t->Kol_KP = 1;
        WriteConfigFile((dir / "iec104.cfg").string(), *t);
        if (!live::WritePrmnFile((dir / "iec104sr.bin").string(), ports)) return false;
        master = std::make_unique<live::TLiveMaster>(dir.string(), /*web=*/true);
        bool ok = false;
        master->OnMain([&] { ok = master->polling->Start_IEC104(); });
        if (!ok) return false;
        master->OnMain([&] { webPort = master->polling->WebServer()->Port(); });
        return webPort > 0 &&
               master->WaitMain([&] { return master->ctx->Stations.KP_arr[1].Connected; }, 10000) >=
                   0;
    }
    ~TRun() {
        master.reset();
        sim.Stop();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

// A stream reader on its own thread that reads and counts (or, stalled, reads
// nothing after the head).
class TReader {
  public:
    TReader(int port, const std::string& target, bool stalled) {
        fd_ = test::ConnectLoopback(port);
        if (fd_ < 0) return;
        test::SendRaw(fd_, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        if (stalled) return;
        thread_ = std::thread([this] {
            char buf[65536];
            while (!stop_) {
                if (!test::RawReadable(fd_, 50)) continue;
                const long n = test::RecvRaw(fd_, buf, sizeof buf);
                if (n <= 0) break;
                octets_ += static_cast<size_t>(n);
                std::lock_guard<std::mutex> lock(mu_);
                text_.append(buf, static_cast<size_t>(n));
                if (text_.size() > (1u << 20)) text_.erase(0, text_.size() - 4096);
            }
        });
    }
    ~TReader() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) test::CloseRaw(fd_);
    }
    bool Seen(const std::string& what) {
        std::lock_guard<std::mutex> lock(mu_);
        return text_.find(what) != std::string::npos;
    }
    size_t Octets() const { return octets_; }

  private:
    test::TRawSocket fd_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> octets_{0};
    std::mutex mu_;
    std::string text_;
};

double Flood(int perAsdu, int count, bool watched, size_t* streamed) {
    TRun run;
    if (!run.Start(300, {"--type", "float", "--per-asdu", std::to_string(perAsdu), "--rate", "0",
                         "--count", std::to_string(count)}))
        return -1;
    std::unique_ptr<TReader> monitor, events;
    if (watched) {
        monitor = std::make_unique<TReader>(run.webPort, "/api/v1/monitor?kp=1", false);
        events = std::make_unique<TReader>(run.webPort, "/api/v1/events", false);
    }
    std::this_thread::sleep_for(seconds(1));
    const std::string port = std::to_string(run.ports[0]);
    const auto t0 = steady_clock::now();
    run.sim.Send("rate 10000000");
    const int idx = run.sim.WaitContains("count " + port + " reached", 120000);
    const double secs = duration<double>(steady_clock::now() - t0).count();
    if (streamed) *streamed = watched ? monitor->Octets() + events->Octets() : 0;
    return idx < 0 ? -1 : count / secs;
}

void Latency(int samples) {
    TRun run;
    if (!run.Start(10, {"--type", "float"})) {
        std::printf("latency: setup failed\n");
        return;
    }
    TReader events(run.webPort, "/api/v1/events", false);
    std::this_thread::sleep_for(milliseconds(500));
    std::vector<double> ms;
    const std::string port = std::to_string(run.ports[0]);
    for (int i = 0; i < samples; ++i) {
        const std::string value = std::to_string(1000 + i) + ".25";
        const auto t0 = steady_clock::now();
        run.sim.Send("set 11 " + value);
        while (!events.Seen("\"value\":" + value) && steady_clock::now() - t0 < seconds(3))
            std::this_thread::sleep_for(microseconds(200));
        ms.push_back(duration<double, std::milli>(steady_clock::now() - t0).count());
        // Spread the samples over the publication period.
        std::this_thread::sleep_for(milliseconds(37));
    }
    std::sort(ms.begin(), ms.end());
    std::printf(
        "station value -> SSE event: median %.1f ms, p99 %.1f ms, max %.1f ms (%d samples;"
        " publication runs every 200 ms)\n",
        ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 99 / 100)], ms.back(), samples);
}

void Stalled(int seconds_) {
    TRun run;
    if (!run.Start(300, {"--type", "float", "--per-asdu", "1", "--rate", "0"})) {
        std::printf("stalled: setup failed\n");
        return;
    }
    TReader stalled(run.webPort, "/api/v1/events", true);
    std::this_thread::sleep_for(seconds(1));
    const long before = RssKiB();
    run.sim.Send("rate 2000");
    long peak = before;
    int streams = 0, closedAt = -1;
    for (int s = 0; s < seconds_; ++s) {
        std::this_thread::sleep_for(seconds(1));
        peak = std::max(peak, RssKiB());
        run.master->OnMain([&] { streams = run.master->polling->Diagnostics()->EventStreams(); });
        if (streams == 0 && closedAt < 0) closedAt = s + 1;
    }
    std::printf(
        "stalled event reader, 2000 changes/s for %d s: RSS %ld KiB before, %ld KiB at the"
        " end, peak %ld KiB; event streams still open %d (the server closed the stalled"
        " one after %d s)\n",
        seconds_, before, RssKiB(), peak, streams, closedAt);
}

}  // namespace

int main(int argc, char** argv) {
    int count = 100000, samples = 60, stall = 60;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--flood-count")) count = std::atoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--latency-samples")) samples = std::atoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--stall-seconds")) stall = std::atoi(argv[i + 1]);
    }
    for (int perAsdu : {1, 30}) {
        const int n = perAsdu == 1 ? count : count * 6;
        size_t streamed = 0;
        const double plain = Flood(perAsdu, n, false, nullptr);
        const double watched = Flood(perAsdu, n, true, &streamed);
        std::printf(
            "flood %d object(s)/ASDU, %d objects: %.0f objects/s alone, %.0f with a"
            " monitor viewer and an event reader (ratio %.2f; %zu octets streamed)\n",
            perAsdu, n, plain, watched, plain > 0 ? watched / plain : 0.0, streamed);
        std::fflush(stdout);
    }
    Latency(samples);
    std::fflush(stdout);
    Stalled(stall);
    return 0;
}
