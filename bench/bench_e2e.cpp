// Loopback figures of the whole master (in-process) against telegate-sim, k = 12,
// w = 8: spontaneous objects per second at 1 and at 30 objects per ASDU with the
// master's CPU per ASDU, the time of a general interrogation of 7000 signals and
// 7000 measurements (packed in full ASDUs and one object per ASDU, and from a
// station whose own k is 128, so that it writes its answer in bursts of up to 128
// APDUs), the largest number of I frames one acknowledgement of the master
// covered (at most w when the master acknowledges in time), the CPU of an idle
// master with 32 stations, and the latency from a value sent by the station to
// its appearance in the item image, and a sustained load of 32 stations x 625 tags
// with 10 % of all tags changing every second (master CPU, p99 latency, changes
// lost). Next to the CPU per ASDU it prints the context switches per ASDU of the
// master's threads (from /proc/self/task/<tid>/status).
//
// telegate-sim is looked for beside this program, then one folder up (the build
// tree); TELEGATE_SIM overrides both. Run bench_e2e --help for the options.
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
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

constexpr const char* kUsage =
    R"(bench_e2e: loopback figures of the whole master against telegate-sim.

Usage: bench_e2e [options]
  --repeat R         runs per link figure, the median is printed (default 5, 1..15)
  --only TEXT        only the link figures whose name contains TEXT
  --link-only        the link figures only
  --changes N        changes of the latency figure (default 1000, 1..5000)
  --idle-seconds S   length of the idle figure (default 30)
  --load-seconds S   length of the 32-station load (default 20, 0 = skip, at most 900)
  --load-only        the 32-station load only
  --help             this text
telegate-sim is taken from beside this program or one folder up; TELEGATE_SIM
names another one.
)";

// telegate-sim: $TELEGATE_SIM, else beside this program, else one folder up.
std::string SimPath() {
    if (const char* env = std::getenv("TELEGATE_SIM")) return env;
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    for (const fs::path& dir : {self.parent_path(), self.parent_path().parent_path()}) {
        const fs::path p = dir / "telegate-sim";
        if (fs::exists(p, ec)) return p.string();
    }
    return (self.parent_path().parent_path() / "telegate-sim").string();
}

long Gettid() {
    return static_cast<long>(::syscall(SYS_gettid));
}

std::vector<long> Tasks() {
    std::vector<long> ids;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/proc/self/task", ec))
        ids.push_back(std::atol(e.path().filename().c_str()));
    return ids;
}

// Context switches and CPU of the master's threads: every thread of this process
// except those in `foreign` (the benchmark's own threads).
struct TTaskFigures {
    double switches = 0;
    double cpuSec = 0;
};
TTaskFigures TaskFigures(const std::set<long>& foreign) {
    TTaskFigures f;
    const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
    for (long id : Tasks()) {
        if (foreign.count(id) != 0) continue;
        const std::string base = "/proc/self/task/" + std::to_string(id);
        std::ifstream st(base + "/status");
        std::string line;
        while (std::getline(st, line))
            if (line.find("ctxt_switches:") != std::string::npos)
                f.switches += std::atof(line.c_str() + line.find(':') + 1);
        std::ifstream stat(base + "/stat");
        std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const size_t close = all.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(all.substr(close + 2));
        std::string field;
        // Fields after the name: state is the 3rd field of the line; utime and stime
        // are the 14th and 15th.
        double ut = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14) ut = std::atof(field.c_str());
            if (i == 15) stime = std::atof(field.c_str());
        }
        f.cpuSec += (ut + stime) / tick;
    }
    return f;
}

struct TRun {
    fs::path dir;
    live::TSimProcess sim;
    std::unique_ptr<live::TLiveMaster> master;
    std::vector<int> ports;
    // Threads that are not the master's: the benchmark's and the sim reader's.
    std::set<long> foreign;

    // stations stations with points TS at 1..points and points TI at points+1..2*points
    // (tiPoints TI when given).
    bool Start(int stations, int points, const std::vector<std::string>& simArgs, int tiPoints = -1,
               int tiBase = -1) {
        if (tiPoints < 0) tiPoints = points;
        if (tiBase < 0) tiBase = points;
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
            kp.Kol_TI = tiPoints;
            for (int k = 1; k <= points; ++k) {
                kp.TS_arr[k].NameTS = "TS" + std::to_string(k);
                kp.TS_arr[k].AdrASDU = 1;
                kp.TS_arr[k].AdrIOA = k;
            }
            for (int k = 1; k <= tiPoints; ++k) {
                kp.TI_arr[k].NameTI = "TI" + std::to_string(k);
                kp.TI_arr[k].AdrASDU = 1;
                kp.TI_arr[k].AdrIOA = tiBase + k;
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
        for (long id : Tasks()) foreign.insert(id);
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
    double switchesPerAsdu = 0;
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
    const TTaskFigures s0 = TaskFigures(run.foreign);
    run.sim.Send("rate 10000000");
    // "reached": every object sent, all but the last window acknowledged (the
    // rest waits for the master's t2).
    const int idx = run.sim.WaitContains("count " + port + " reached", 120000);
    const double secs = duration<double>(steady_clock::now() - t0).count();
    const double cpu = CpuSeconds() - c0;
    const TTaskFigures s1 = TaskFigures(run.foreign);
    if (idx < 0) return f;
    const double asdus = static_cast<double>(count) / perAsdu;
    f.ok = true;
    f.switchesPerAsdu = (s1.switches - s0.switches) / asdus;
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
    TTaskFigures s0;
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
            s0 = TaskFigures(run.foreign);
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
    f.switchesPerAsdu = (TaskFigures(run.foreign).switches - s0.switches) / asdus;
    f.largestAck = LargestAck(run.sim);
    return f;
}

// Runs fn repeat times and prints the medians of its figures; only figures whose
// name contains `only` (all when empty).
void Median(const char* what, int repeat, const std::string& only,
            const std::function<TFigures()>& fn) {
    if (!only.empty() && std::string(what).find(only) == std::string::npos) return;
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
        "  %-44s %8.1f ms %10.0f objects/s %7.2f us/ASDU CPU %6.3f cs/ASDU, largest ack %d "
        "frames (%zu of %d runs)\n",
        what, med(&TFigures::ms), med(&TFigures::objectsPerSec), med(&TFigures::cpuUsPerAsdu),
        med(&TFigures::switchesPerAsdu), largest, runs.size(), repeat);
}

void LinkFigures(int repeat, const std::string& only) {
    std::printf(
        " link figures, medians of %d runs (cs = context switches of the master's "
        "threads):\n",
        repeat);
    Median("spontaneous flood, 1 object/ASDU", repeat, only, [] { return Throughput(1); });
    Median("spontaneous flood, 30 objects/ASDU", repeat, only, [] { return Throughput(30); });
    Median("GI 7000+7000 packed (30 floats/ASDU)", repeat, only,
           [] { return GeneralInterrogation(30, 12); });
    Median("GI 7000+7000, 1 object/ASDU", repeat, only, [] { return GeneralInterrogation(1, 12); });
    Median("GI 7000+7000 packed, station k=128 (bursts)", repeat, only,
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

// 32 stations x 625 tags (312 signals and 313 measurements each), 10 % of all tags
// changing every second: every 16 ms the next measurement of every station gets a
// new value (62.5 x 32 = 2,000 changes/s). A sampler reads the item image as an
// OPC reader would; a change counts as lost when its value never appeared there.
void Load(int seconds_) {
    constexpr int kStations = 32, kTs = 312, kTi = 313;
    constexpr int kStepUs = 16000;
    TRun run;
    // The station serves 313 signals at 1..313 and 313 measurements at 314..626;
    // the master is configured for 312 + 313 of them.
    if (!run.Start(kStations, kTs, {"--points", std::to_string(kTi), "--type", "float"}, kTi,
                   kTi) ||
        !run.WaitConnected(30000)) {
        std::printf("  load: could not connect 32 stations\n");
        return;
    }
    std::vector<int> firstTi(kStations + 1, 0);
    run.master->OnMain([&] {
        for (int n = 1; n <= kStations; ++n)
            firstTi[n] = run.master->ctx->Stations.KP_arr[n].Nom_OPC_TI;
    });
    std::this_thread::sleep_for(seconds(2));  // the interrogations are published
    struct TChange {
        int tag;
        double value;
        steady_clock::time_point sent;
        uint32_t open;  // stations whose item image has not shown it yet
    };
    std::mutex mu;
    std::vector<TChange> pending;
    std::vector<double> latMs;
    latMs.reserve(static_cast<size_t>(seconds_) * 2100);
    std::atomic<bool> stop{false};
    std::atomic<long> samplerTid{0};
    long lost = 0;
    std::thread sampler([&] {
        samplerTid = Gettid();
        std::vector<TChange> work;
        while (!stop.load()) {
            {
                std::lock_guard<std::mutex> lk(mu);
                work.insert(work.end(), pending.begin(), pending.end());
                pending.clear();
            }
            const auto now = steady_clock::now();
            for (TChange& c : work)
                for (int n = 1; n <= kStations; ++n) {
                    if ((c.open & (1u << (n - 1))) == 0) continue;
                    if (run.master->ctx->Items.Snapshot(firstTi[n] + c.tag).Value == c.value) {
                        c.open &= ~(1u << (n - 1));
                        latMs.push_back(duration<double, std::milli>(now - c.sent).count());
                    }
                }
            // A change overwritten by the next change of the same tag before it was
            // seen is lost.
            std::vector<TChange> keep;
            for (size_t i = 0; i < work.size(); ++i) {
                if (work[i].open == 0) continue;
                bool overwritten = false;
                for (size_t j = i + 1; j < work.size() && !overwritten; ++j)
                    overwritten = work[j].tag == work[i].tag;
                if (overwritten) {
                    for (uint32_t b = work[i].open; b != 0; b &= b - 1) ++lost;
                } else {
                    keep.push_back(work[i]);
                }
            }
            work.swap(keep);
            std::this_thread::sleep_for(milliseconds(2));
        }
        for (const TChange& c : work)
            for (uint32_t b = c.open; b != 0; b &= b - 1) ++lost;
    });
    while (samplerTid.load() == 0) std::this_thread::sleep_for(milliseconds(1));
    std::set<long> foreign = run.foreign;
    foreign.insert(samplerTid.load());
    const TTaskFigures f0 = TaskFigures(foreign);
    const auto t0 = steady_clock::now();
    long sent = 0;
    for (long i = 0;; ++i) {
        const auto at = t0 + microseconds(static_cast<long long>(i) * kStepUs);
        if (at - t0 >= seconds(seconds_)) break;
        std::this_thread::sleep_until(at);
        const int tag = static_cast<int>(i % kTi);
        const double value = 100000.0 + static_cast<double>(i);
        {
            std::lock_guard<std::mutex> lk(mu);
            pending.push_back(TChange{tag, value, steady_clock::now(), 0xFFFFFFFFu});
        }
        run.sim.Send("set " + std::to_string(kTi + 1 + tag) + " " + std::to_string(100000 + i));
        sent += kStations;
    }
    const double secs = duration<double>(steady_clock::now() - t0).count();
    const TTaskFigures f1 = TaskFigures(foreign);
    std::this_thread::sleep_for(seconds(2));  // the last changes are published
    stop = true;
    sampler.join();
    std::sort(latMs.begin(), latMs.end());
    const double p99 = latMs.empty() ? 0 : latMs[latMs.size() * 99 / 100];
    const double med = latMs.empty() ? 0 : latMs[latMs.size() / 2];
    std::printf(
        "  load 32 stations x 625 tags, %.0f changes/s for %.0f s: master CPU %.2f%% of one core, "
        "%.3f cs per change; value -> item image median %.1f ms, p99 %.1f ms, max %.1f ms; "
        "%ld changes sent, %zu seen, lost %ld\n",
        sent / secs, secs, (f1.cpuSec - f0.cpuSec) / secs * 100,
        (f1.switches - f0.switches) / static_cast<double>(sent), med, p99,
        latMs.empty() ? 0 : latMs.back(), sent, latMs.size(), lost);
}

}  // namespace

int main(int argc, char** argv) {
    int idleSeconds = 30, changes = 1000, repeat = 5, loadSeconds = 20;
    bool linkOnly = false, loadOnly = false;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a == "--link-only") {
            linkOnly = true;
            continue;
        }
        if (a == "--load-only") {
            loadOnly = true;
            continue;
        }
        const bool takesValue = a == "--idle-seconds" || a == "--changes" || a == "--repeat" ||
                                a == "--only" || a == "--load-seconds";
        if (!takesValue || i + 1 >= argc) {
            std::fprintf(stderr, "bench_e2e: unknown option or missing value: %s\n%s", a.c_str(),
                         kUsage);
            return 2;
        }
        const char* v = argv[++i];
        if (a == "--idle-seconds") idleSeconds = std::clamp(std::atoi(v), 1, 600);
        if (a == "--changes") changes = std::clamp(std::atoi(v), 1, 5000);
        if (a == "--repeat") repeat = std::clamp(std::atoi(v), 1, 15);
        if (a == "--only") only = v;
        if (a == "--load-seconds") loadSeconds = std::clamp(std::atoi(v), 0, 900);
    }
    std::printf("bench_e2e: master in-process against telegate-sim on loopback, k=12 w=8\n");
    if (!loadOnly) LinkFigures(repeat, only);
    if (linkOnly) return 0;
    if (!loadOnly) {
        Latency(changes);
        Idle(idleSeconds);
    }
    if (loadSeconds > 0) Load(loadSeconds);
    return 0;
}
