// Loopback figures of the whole master (in-process) against telegate-sim, k = 12,
// w = 8: spontaneous objects per second at 1 and at 30 objects per ASDU with the
// master's CPU per ASDU, the time of a general interrogation of 7000 signals and
// 7000 measurements (packed in full ASDUs and one object per ASDU, and from a
// station whose own k is 128, so that it writes its answer in bursts of up to 128
// APDUs), the largest number of I frames one acknowledgement of the master
// covered (at most w when the master acknowledges in time), the CPU of an idle
// master with 32 stations, and the latency from a value sent by the station to
// its appearance in the item image.
//
//   bench_e2e [--idle-seconds S] [--changes N] [--repeat R] [--link-only] [--only TEXT]
//   (defaults 30, 1000 and 3; the link figures are medians of R runs; --only runs
//   the link figures whose name contains TEXT)
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../tests/integration/LiveMaster.h"
#include "app/Publish.h"

namespace {

using namespace telegate;
using namespace std::chrono;
namespace fs = std::filesystem;

double CpuSeconds() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// telegate-sim: $TELEGATE_SIM, else beside the build tree this benchmark is in.
std::string SimPath() {
    if (const char* env = std::getenv("TELEGATE_SIM")) return env;
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return (self.parent_path().parent_path() / "telegate-sim").string();
}

struct TRun {
    fs::path dir;
    live::TSimProcess sim;
    std::unique_ptr<live::TLiveMaster> master;
    std::vector<int> ports;

    // stations stations with points TS at 1..points and points TI at points+1..2*points.
    bool Start(int stations, int points, const std::vector<std::string>& simArgs) {
        std::string tmpl = (fs::temp_directory_path() / "tg-bench-e2e-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) return false;
        dir = tmpl;
        std::vector<std::string> args = {"--port",       "0",
                                         "--port-count", std::to_string(stations),
                                         "--points",     std::to_string(points),
                                         "--quiet"};
        args.insert(args.end(), simArgs.begin(), simArgs.end());
        if (!sim.Start(SimPath(), args)) return false;
        ports = sim.Ports();
        if (static_cast<int>(ports.size()) != stations) return false;
        auto t = std::make_unique<TStationTable>();
        for (int n = 1; n <= stations; ++n) {
            T_KP& kp = t->KP_arr[n];
            kp.NameKP = "S" + std::to_string(n);
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
        }
        t->Kol_KP = stations;
        WriteConfigFile((dir / "iec104.cfg").string(), *t);
        if (!live::WritePrmnFile((dir / "iec104sr.bin").string(), ports)) return false;
        // Every station answers at common address 1.
        TPrmnTable tab{};
        ReadWritePrmnFile(pfm_Read, (dir / "iec104sr.bin").string(), tab, kPrmnCount);
        for (int i = 0; i < stations; ++i) tab[static_cast<size_t>(i)].CommonAsduAddress = 1;
        ReadWritePrmnFile(pfm_Write, (dir / "iec104sr.bin").string(), tab, stations);
        master = std::make_unique<live::TLiveMaster>(dir.string());
        bool ok = false;
        master->OnMain([&] { ok = master->polling->Start_IEC104(); });
        return ok;
    }
    bool WaitConnected(int timeoutMs) {
        return master->WaitMain(
                   [&] {
                       for (int n = 1; n <= master->ctx->Stations.Kol_KP; ++n)
                           if (!master->ctx->Stations.KP_arr[n].Connected) return false;
                       return true;
                   },
                   timeoutMs) >= 0;
    }
    ~TRun() {
        master.reset();
        sim.Stop();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

// The most I frames one acknowledgement of the master covered on the station's
// link(s), from the station's status; -1 when it did not answer.
int LargestAck(live::TSimProcess& sim) {
    const size_t from = sim.LineCount();
    sim.Send("status");
    const int idx = sim.WaitContains("largest-ack=", 3000, from);
    if (idx < 0) return -1;
    const std::string line = sim.Lines()[static_cast<size_t>(idx)];
    return std::atoi(line.c_str() + line.find("largest-ack=") + 12);
}

struct TFigures {
    bool ok = false;
    double objectsPerSec = 0;
    double cpuUsPerAsdu = 0;
    double ms = 0;
    int largestAck = 0;
};

TFigures Throughput(int perAsdu) {
    TFigures f;
    const int count = perAsdu == 1 ? 100000 : 600000;
    TRun run;
    if (!run.Start(1, 300,
                   {"--type", "float", "--per-asdu", std::to_string(perAsdu), "--rate", "0",
                    "--count", std::to_string(count)}) ||
        !run.WaitConnected(10000))
        return f;
    const std::string port = std::to_string(run.ports[0]);
    // The stream starts once the interrogation is over.
    std::this_thread::sleep_for(seconds(1));
    const auto t0 = steady_clock::now();
    const double c0 = CpuSeconds();
    run.sim.Send("rate 10000000");
    // "reached": every object sent, all but the last window acknowledged (the
    // rest waits for the master's t2).
    const int idx = run.sim.WaitContains("count " + port + " reached", 120000);
    const double secs = duration<double>(steady_clock::now() - t0).count();
    const double cpu = CpuSeconds() - c0;
    if (idx < 0) return f;
    const double asdus = static_cast<double>(count) / perAsdu;
    f.ok = true;
    f.objectsPerSec = count / secs;
    f.cpuUsPerAsdu = cpu / asdus * 1e6;
    f.ms = secs * 1000;
    f.largestAck = LargestAck(run.sim);
    return f;
}

// A general interrogation of 7000 signals and 7000 measurements: from the first
// object of the answer to the last one stored (the station answers in address
// order, so the last object stored means every object is).
TFigures GeneralInterrogation(int perAsdu, int stationK) {
    TFigures f;
    TRun run;
    if (!run.Start(1, 7000,
                   {"--type", "float", "--gi-per-asdu", std::to_string(perAsdu), "--k",
                    std::to_string(stationK)}))
        return f;
    const TTagSignal* firstTag = nullptr;
    const TTagSignal* lastTag = nullptr;
    run.master->OnMain([&] {
        for (const TTagSignal& t : run.master->polling->Publisher().Tags()->List) {
            if (t.FObjAddress == 1) firstTag = &t;
            if (t.FObjAddress == 14000) lastTag = &t;
        }
    });
    if (firstTag == nullptr || lastTag == nullptr) return f;
    steady_clock::time_point first{}, last{};
    bool seenFirst = false;
    const auto start = steady_clock::now();
    double c0 = 0;
    while (steady_clock::now() - start < seconds(30)) {
        bool a = false, b = false;
        run.master->OnMain([&] {
            a = firstTag->Value.pdc != tcn_None;
            b = lastTag->Value.pdc != tcn_None;
        });
        const auto now = steady_clock::now();
        if (a && !seenFirst) {
            seenFirst = true;
            first = now;
            c0 = CpuSeconds();
        }
        if (b) {
            last = now;
            break;
        }
        std::this_thread::sleep_for(microseconds(100));
    }
    if (!seenFirst || last == steady_clock::time_point{}) return f;
    const double asdus = 2.0 * ((7000 + perAsdu - 1) / perAsdu);
    f.ok = true;
    f.ms = duration<double, std::milli>(last - first).count();
    f.objectsPerSec = 14000 / (f.ms / 1000);
    f.cpuUsPerAsdu = (CpuSeconds() - c0) / asdus * 1e6;
    f.largestAck = LargestAck(run.sim);
    return f;
}

// Only the link figures whose name contains this text (--only); empty = all.
std::string gOnly;

// Runs fn repeat times and prints the medians of its figures.
void Median(const char* what, int repeat, const std::function<TFigures()>& fn) {
    if (!gOnly.empty() && std::string(what).find(gOnly) == std::string::npos) return;
    std::vector<TFigures> runs;
    for (int i = 0; i < repeat; ++i) {
        const TFigures f = fn();
        if (!f.ok) {
            std::printf("  %-44s run %d failed (not complete within the time limit)\n", what,
                        i + 1);
            continue;
        }
        runs.push_back(f);
    }
    if (runs.empty()) return;
    auto med = [&](auto field) {
        std::vector<double> v;
        for (const TFigures& f : runs) v.push_back(static_cast<double>(f.*field));
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    int largest = 0;
    for (const TFigures& f : runs) largest = std::max(largest, f.largestAck);
    std::printf(
        "  %-44s %8.1f ms %10.0f objects/s %7.2f us/ASDU CPU, largest ack %d frames (%zu of %d "
        "runs)\n",
        what, med(&TFigures::ms), med(&TFigures::objectsPerSec), med(&TFigures::cpuUsPerAsdu),
        largest, runs.size(), repeat);
}

void LinkFigures(int repeat) {
    std::printf(" link figures, medians of %d runs:\n", repeat);
    Median("spontaneous flood, 1 object/ASDU", repeat, [] { return Throughput(1); });
    Median("spontaneous flood, 30 objects/ASDU", repeat, [] { return Throughput(30); });
    Median("GI 7000+7000 packed (30 floats/ASDU)", repeat,
           [] { return GeneralInterrogation(30, 12); });
    Median("GI 7000+7000, 1 object/ASDU", repeat, [] { return GeneralInterrogation(1, 12); });
    Median("GI 7000+7000 packed, station k=128 (bursts)", repeat,
           [] { return GeneralInterrogation(30, 128); });
}

void Idle(int seconds_) {
    TRun run;
    if (!run.Start(32, 10, {}) || !run.WaitConnected(20000)) {
        std::printf("  idle: could not connect 32 stations\n");
        return;
    }
    std::this_thread::sleep_for(seconds(1));  // interrogations done
    const double c0 = CpuSeconds();
    std::this_thread::sleep_for(seconds(seconds_));
    const double cpu = CpuSeconds() - c0;
    std::printf("  idle master, 32 stations connected, %d s: CPU %.3f s = %.2f%% of one core\n",
                seconds_, cpu, cpu / seconds_ * 100);
}

void Latency(int changes) {
    TRun run;
    if (!run.Start(1, changes, {"--type", "float"}) || !run.WaitConnected(10000)) {
        std::printf("  latency: could not start\n");
        return;
    }
    int firstTi = 0;
    run.master->OnMain([&] { firstTi = run.master->ctx->Stations.KP_arr[1].Nom_OPC_TI; });
    std::this_thread::sleep_for(seconds(1));  // the interrogation is published
    std::vector<steady_clock::time_point> sent(static_cast<size_t>(changes)),
        seen(static_cast<size_t>(changes));
    std::vector<bool> got(static_cast<size_t>(changes), false);
    std::atomic<bool> stop{false};
    // A sampler reads the item image every 200 us as an OPC reader would.
    std::thread sampler([&] {
        int left = changes;
        while (!stop.load() && left > 0) {
            const auto now = steady_clock::now();
            for (int i = 0; i < changes; ++i) {
                if (got[static_cast<size_t>(i)]) continue;
                const double v = run.master->ctx->Items.Snapshot(firstTi + i).Value;
                if (v == 5000.0 + i) {
                    got[static_cast<size_t>(i)] = true;
                    seen[static_cast<size_t>(i)] = now;
                    --left;
                }
            }
            std::this_thread::sleep_for(microseconds(200));
        }
    });
    for (int i = 0; i < changes; ++i) {
        sent[static_cast<size_t>(i)] = steady_clock::now();
        run.sim.Send("set " + std::to_string(changes + 1 + i) + " " + std::to_string(5000 + i));
        std::this_thread::sleep_for(milliseconds(3));
    }
    std::this_thread::sleep_for(seconds(2));
    stop = true;
    sampler.join();
    std::vector<double> ms;
    for (int i = 0; i < changes; ++i)
        if (got[static_cast<size_t>(i)])
            ms.push_back(duration<double, std::milli>(seen[static_cast<size_t>(i)] -
                                                      sent[static_cast<size_t>(i)])
                             .count());
    if (ms.empty()) {
        std::printf("  latency: no change arrived\n");
        return;
    }
    std::sort(ms.begin(), ms.end());
    std::printf(
        "  latency station -> item image over %zu of %d changes: median %.1f ms, p99 %.1f ms, "
        "max %.1f ms\n",
        ms.size(), changes, ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms.back());
}

}  // namespace

int main(int argc, char** argv) {
    int idleSeconds = 30, changes = 1000, repeat = 3;
    bool linkOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--link-only") linkOnly = true;
        if (i + 1 >= argc) continue;
        if (a == "--idle-seconds") idleSeconds = std::max(1, std::atoi(argv[i + 1]));
        if (a == "--changes") changes = std::clamp(std::atoi(argv[i + 1]), 1, 5000);
        if (a == "--repeat") repeat = std::clamp(std::atoi(argv[i + 1]), 1, 9);
        if (a == "--only") gOnly = argv[i + 1];
    }
    std::printf("bench_e2e: master in-process against telegate-sim on loopback, k=12 w=8\n");
    LinkFigures(repeat);
    if (linkOnly) return 0;
    Latency(changes);
    Idle(idleSeconds);
    return 0;
}
