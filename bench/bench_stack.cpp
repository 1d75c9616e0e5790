// End-to-end figures of the master's IEC 60870-5-104 stack over loopback TCP, from
// telegate-sim into the tags (worker thread, main loop, link layer, decoder, tags;
// no application layer):
//   1. sustained spontaneous objects per second at 1 and at 30 objects per ASDU,
//      with the master's CPU time per ASDU (getrusage of this process: the worker,
//      the loop and the idle bench thread; the simulator is another process);
//   2. the time from the first to the last tag updated by a general interrogation
//      of 7000 signals and 7000 measurements;
//   3. the CPU of an idle master connected to 32 stations over 30 s.
//
// Usage: bench_stack [--sim PATH] [--quick] [--only throughput|gi|idle]
// The simulator is looked for beside the build's executables (../telegate-sim from
// this program's folder) unless --sim names it.
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../tests/integration/SimProcess.h"
#include "../tests/integration/StackHarness.h"
#include "iec104/Apdu.h"
#include "model/ConfigFile.h"
#include "support/Notifier.h"

namespace telegate {
namespace {

namespace fs = std::filesystem;
using test::TSimProcess;
using test::TStackHarness;
using test::TStackOptions;
using SteadyClock = std::chrono::steady_clock;

double CpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Process-wide counters of getrusage.
struct TUsage {
    double user = 0, sys = 0;
    long voluntary = 0, involuntary = 0;
};

TUsage Usage() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    TUsage u;
    u.user =
        static_cast<double>(ru.ru_utime.tv_sec) + static_cast<double>(ru.ru_utime.tv_usec) / 1e6;
    u.sys =
        static_cast<double>(ru.ru_stime.tv_sec) + static_cast<double>(ru.ru_stime.tv_usec) / 1e6;
    u.voluntary = ru.ru_nvcsw;
    u.involuntary = ru.ru_nivcsw;
    return u;
}

// CPU seconds of the calling thread.
double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double Seconds(SteadyClock::duration d) {
    return std::chrono::duration<double>(d).count();
}

struct TBenchEnv {
    std::string sim;
    fs::path dir;
    bool quick = false;
};

// `stations` stations that match the simulator's generated ones: common address 1,
// two-state points 1..points, measured points points+1..2*points. Written as
// "iec104.cfg" and read back into table.
void MakeStations(const TBenchEnv& env, int stations, int points, TStationTable& table) {
    {
        auto src = std::make_unique<TStationTable>();
        src->Kol_KP = stations;
        for (int n = 1; n <= stations; ++n) {
            T_KP& kp = src->KP_arr[n];
            kp.NameKP = "Station " + std::to_string(n);
            kp.IP = "127.0.0.1";
            kp.Port = 2404;
            kp.ASDU_Adr = 1;
            kp.Kol_TS = points;
            kp.Kol_TI = points;
            for (int i = 1; i <= points; ++i) {
                T_TS& ts = kp.TS_arr[i];
                ts.NameTS = "TS" + std::to_string(i);
                ts.AdrASDU = 1;
                ts.AdrIOA = i;
                T_TI& ti = kp.TI_arr[i];
                ti.NameTI = "TI" + std::to_string(i);
                ti.AdrASDU = 1;
                ti.AdrIOA = points + i;
            }
        }
        WriteConfigFile((env.dir / kConfigFileName).string(), *src);
    }
    TRecordingNotifier notifier;
    ReadConfigFile((env.dir / kConfigFileName).string(), table, notifier);
}

// --------------------------------------------------------------------------------
// 1. Sustained spontaneous flow

struct TFlowResult {
    bool ok = false;
    int64_t objects = 0;
    int64_t asdus = 0;
    double seconds = 0;
    double cpu = 0;
    int64_t reads = 0;
    int64_t octets = 0;
    int mismatches = -1;
    bool simAcknowledged = false;
    TUsage usage;        // over the measured stretch
    double loopCpu = 0;  // of that, the main loop's thread
    int64_t blocks = 0;  // blocks read in the measured stretch
};

// The values the simulator's generator leaves after `count` objects, `perAsdu` per
// ASDU, two-state and measured ASDUs taking turns, from the generated start values.
void ExpectedAfter(int64_t count, int perAsdu, int points, std::vector<int>& ts,
                   std::vector<double>& ti) {
    ts.assign(static_cast<size_t>(points), 0);
    ti.assign(static_cast<size_t>(points), 0.0);
    for (int i = 0; i < points; ++i) ti[static_cast<size_t>(i)] = 10.0 * i;  // its start values
    size_t cts = 0, cti = 0;
    bool measured = false;
    int64_t left = count;
    while (left > 0) {
        const int64_t n = std::min<int64_t>({left, perAsdu, points});
        for (int64_t i = 0; i < n; ++i) {
            if (measured) {
                double& v = ti[cti];
                v = v >= 1000.0 ? 0.0 : v + 1.25;
                cti = (cti + 1) % ti.size();
            } else {
                int& v = ts[cts];
                v = v != 0 ? 0 : 1;
                cts = (cts + 1) % ts.size();
            }
        }
        left -= n;
        measured = !measured;
    }
}

TFlowResult RunFlow(const TBenchEnv& env, const TStationTable& table, int points, int perAsdu,
                    int64_t count) {
    TFlowResult r;
    TSimProcess sim;
    if (!sim.Start(env.sim,
                   {"--port", "0", "--points", std::to_string(points), "--per-asdu",
                    std::to_string(perAsdu), "--rate", "10000000", "--count", std::to_string(count),
                    "--exit-on-count", "--quiet", "--duration", "120"})) {
        std::printf("  simulator: %s\n", sim.Error().c_str());
        return r;
    }
    TStackOptions opt;
    opt.prOprosSend = false;  // spontaneous objects only: every I frame carries perAsdu
    opt.t2 = 50;              // the last partial window is acknowledged at once
    TStackHarness stack(table, {sim.Port()}, opt);

    // Loop thread only.
    int32_t lastFvr = 0;
    int64_t frames = 0;
    SteadyClock::time_point first{}, last{};
    double cpuFirst = 0, cpuLast = 0, loopFirst = 0, loopLast = 0;
    TUsage uFirst, uLast;
    int64_t blocksFirst = 0, blocksLast = 0;
    bool done = false;
    stack.AfterRead = [&](int) {
        T104Client& cl = stack.Client(1);
        const int32_t got = SeqDistance(cl.Fvr, lastFvr);
        lastFvr = cl.Fvr;
        if (got <= 0 || done) return;
        if (frames == 0) {
            first = SteadyClock::now();
            cpuFirst = CpuSeconds();
            uFirst = Usage();
            loopFirst = ThreadCpuSeconds();
            blocksFirst = stack.reads.load();
        }
        frames += got;
        if (frames * perAsdu >= count) {
            last = SteadyClock::now();
            cpuLast = CpuSeconds();
            uLast = Usage();
            loopLast = ThreadCpuSeconds();
            blocksLast = stack.reads.load();
            done = true;
        }
    };
    stack.Start();
    const bool finished = stack.WaitUntil([&] { return done; }, 120000);
    r.simAcknowledged =
        sim.WaitFor("count " + std::to_string(sim.Port()) + " acknowledged", 5000, 0).has_value();
    std::vector<int> ts;
    std::vector<double> ti;
    ExpectedAfter(count, perAsdu, points, ts, ti);
    r.mismatches = stack.Call([&] {
        int bad = 0;
        for (int i = 0; i < points; ++i) {
            int32_t iv = -1;
            uint8_t q = 0;
            double f = -1;
            TDateTime dt = 0;
            TTagSignal* t = stack.Tag(1, 1, i + 1);
            if (t == nullptr) return -1;
            t->GetArmValue(iv, q, f, dt);
            bad += iv != ts[static_cast<size_t>(i)];
            t = stack.Tag(1, 1, points + i + 1);
            if (t == nullptr) return -1;
            t->GetArmValue(iv, q, f, dt);
            bad += f != ti[static_cast<size_t>(i)];
            if (std::getenv("BENCH_STACK_DEBUG") != nullptr)
                std::printf("  point %d: ts %d/%d ti %g/%g\n", i,
                            stack.Tag(1, 1, i + 1)->Value.bv[0], ts[static_cast<size_t>(i)], f,
                            ti[static_cast<size_t>(i)]);
        }
        return bad;
    });
    r.reads = stack.reads.load();
    r.octets = stack.octetsRead.load();
    stack.Stop();
    r.ok = finished;
    r.asdus = frames;
    r.objects = frames * perAsdu;
    r.seconds = Seconds(last - first);
    r.cpu = cpuLast - cpuFirst;
    r.usage.user = uLast.user - uFirst.user;
    r.usage.sys = uLast.sys - uFirst.sys;
    r.usage.voluntary = uLast.voluntary - uFirst.voluntary;
    r.usage.involuntary = uLast.involuntary - uFirst.involuntary;
    r.loopCpu = loopLast - loopFirst;
    r.blocks = blocksLast - blocksFirst;
    return r;
}

void BenchFlow(const TBenchEnv& env) {
    struct TCase {
        int perAsdu;
        int points;
        int64_t count;
        double target;
    };
    const int64_t scale = env.quick ? 10 : 1;
    for (const TCase& c :
         {TCase{1, 10, 400000 / scale, 200000.0}, TCase{30, 30, 6000000 / scale, 2000000.0}}) {
        auto table = std::make_unique<TStationTable>();
        MakeStations(env, 1, c.points, *table);
        const TFlowResult r = RunFlow(env, *table, c.points, c.perAsdu, c.count);
        std::printf("spontaneous flow, %d object(s) per ASDU, k=12 w=8, %lld objects:\n", c.perAsdu,
                    static_cast<long long>(c.count));
        if (!r.ok) {
            std::printf("  did not finish in time (%lld ASDUs seen)\n",
                        static_cast<long long>(r.asdus));
            continue;
        }
        const double rate = static_cast<double>(r.objects) / r.seconds;
        std::printf("  %.0f objects/s (%.0f ASDUs/s) over %.2f s  [target >= %.0f: %s]\n", rate,
                    static_cast<double>(r.asdus) / r.seconds, r.seconds, c.target,
                    rate >= c.target ? "met" : "MISSED");
        std::printf(
            "  master CPU %.2f s = %.2f us per ASDU, %.3f us per object, %.0f%% of one core\n",
            r.cpu, r.cpu * 1e6 / static_cast<double>(r.asdus),
            r.cpu * 1e6 / static_cast<double>(r.objects), 100.0 * r.cpu / r.seconds);
        const double blocks = static_cast<double>(std::max<int64_t>(r.blocks, 1));
        std::printf(
            "  user %.2f s, system %.2f s; main loop thread %.2f s, worker and rest %.2f s\n",
            r.usage.user, r.usage.sys, r.loopCpu, r.cpu - r.loopCpu);
        std::printf(
            "  per block: %.1f us CPU, %.1f voluntary + %.1f involuntary context switches\n",
            r.cpu * 1e6 / blocks, static_cast<double>(r.usage.voluntary) / blocks,
            static_cast<double>(r.usage.involuntary) / blocks);
        std::printf(
            "  %lld blocks read, %.1f ASDUs and %.0f octets per block\n",
            static_cast<long long>(r.reads),
            static_cast<double>(r.asdus) / static_cast<double>(std::max<int64_t>(r.reads, 1)),
            static_cast<double>(r.octets) / static_cast<double>(std::max<int64_t>(r.reads, 1)));
        std::printf("  final tag values %s; station saw every frame acknowledged: %s\n",
                    r.mismatches == 0 ? "all as expected" : "DIFFER",
                    r.simAcknowledged ? "yes" : "no");
    }
}

// --------------------------------------------------------------------------------
// 2. General interrogation of 7000 + 7000 points

void BenchInterrogation(const TBenchEnv& env) {
    constexpr int kPoints = 7000;
    auto table = std::make_unique<TStationTable>();
    MakeStations(env, 1, kPoints, *table);
    TSimProcess sim;
    if (!sim.Start(env.sim, {"--port", "0", "--points", std::to_string(kPoints), "--quiet",
                             "--duration", "120"})) {
        std::printf("  simulator: %s\n", sim.Error().c_str());
        return;
    }
    TStackHarness stack(*table, {sim.Port()}, TStackOptions{});
    // Loop thread only.
    TTagSignal* firstTag = nullptr;
    TTagSignal* lastTag = nullptr;
    SteadyClock::time_point first{}, last{};
    int64_t frames = 0;
    int32_t lastFvr = 0;
    stack.AfterRead = [&](int) {
        T104Client& cl = stack.Client(1);
        frames += SeqDistance(cl.Fvr, lastFvr);
        lastFvr = cl.Fvr;
        if (firstTag == nullptr) firstTag = stack.Tag(1, 1, 1);
        if (lastTag == nullptr) lastTag = stack.Tag(1, 1, 2 * kPoints);
        if (first == SteadyClock::time_point{} && firstTag->FprReceive) first = SteadyClock::now();
        if (last == SteadyClock::time_point{} && lastTag->FprReceive) last = SteadyClock::now();
    };
    stack.Start();
    const int runs = env.quick ? 2 : 5;
    std::vector<double> ms;
    for (int run = 0; run < runs; ++run) {
        if (run > 0) {
            // Again on the same connection: forget what arrived, ask once more.
            stack.Call([&] {
                for (TTagSignal& t : stack.Tags().List) t.FprReceive = false;
                first = last = SteadyClock::time_point{};
                stack.Client(1).OprosDue();
            });
        }
        if (!stack.WaitUntil([&] { return last != SteadyClock::time_point{}; }, 20000)) {
            std::printf("  interrogation %d did not complete\n", run + 1);
            break;
        }
        const int missing = stack.Call([&] {
            int n = 0;
            for (const TTagSignal& t : stack.Tags().List) n += !t.FprReceive;
            return n;
        });
        ms.push_back(Seconds(last - first) * 1000.0);
        if (missing != 0) std::printf("  interrogation %d: %d tags missing\n", run + 1, missing);
    }
    const int64_t seen = stack.Call([&] { return frames; });
    stack.Stop();
    if (ms.empty()) return;
    std::sort(ms.begin(), ms.end());
    std::printf(
        "general interrogation of %d signals + %d measurements (%lld I frames in %zu runs,\n"
        "  the simulator packs 60 signals or 30 measurements per ASDU):\n",
        kPoints, kPoints, static_cast<long long>(seen), ms.size());
    std::printf(
        "  first to last tag updated: min %.1f ms, median %.1f ms, max %.1f ms  "
        "[target < 50 ms: %s]\n",
        ms.front(), ms[ms.size() / 2], ms.back(), ms[ms.size() / 2] < 50 ? "met" : "MISSED");
}

// --------------------------------------------------------------------------------
// 3. Idle master, 32 stations

void BenchIdle(const TBenchEnv& env) {
    constexpr int kStations = 32;
    const int seconds = env.quick ? 5 : 30;
    auto table = std::make_unique<TStationTable>();
    MakeStations(env, kStations, 10, *table);
    TSimProcess sim;
    if (!sim.Start(env.sim, {"--port", "0", "--port-count", std::to_string(kStations), "--points",
                             "10", "--quiet", "--duration", "300"})) {
        std::printf("  simulator: %s\n", sim.Error().c_str());
        return;
    }
    TStackHarness stack(*table, sim.Ports(), TStackOptions{});
    stack.Start();
    const bool all = stack.WaitUntil(
        [&] {
            for (int n = 1; n <= kStations; ++n)
                if (!stack.Started(n)) return false;
            for (const TTagSignal& t : stack.Tags().List)
                if (!t.FprReceive) return false;
            return true;
        },
        20000);
    if (!all) {
        std::printf("idle master: not every station came online\n");
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const int64_t reads0 = stack.reads.load();
    const double cpu0 = CpuSeconds();
    const auto t0 = SteadyClock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu = CpuSeconds() - cpu0;
    const double wall = Seconds(SteadyClock::now() - t0);
    const int64_t reads = stack.reads.load() - reads0;
    const int disconnects = stack.disconnects.load();
    stack.Stop();
    std::printf("idle master with %d connected stations over %.1f s:\n", kStations, wall);
    std::printf("  CPU %.3f s = %.2f%% of one core; %lld blocks read; %d disconnects\n", cpu,
                100.0 * cpu / wall, static_cast<long long>(reads), disconnects);
}

std::string DefaultSim() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return "telegate-sim";
    return (self.parent_path().parent_path() / "telegate-sim").string();
}

}  // namespace
}  // namespace telegate

int main(int argc, char** argv) {
    using namespace telegate;
    TBenchEnv env;
    env.sim = DefaultSim();
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--sim" && i + 1 < argc)
            env.sim = argv[++i];
        else if (a == "--quick")
            env.quick = true;
        else if (a == "--only" && i + 1 < argc)
            only = argv[++i];
        else {
            std::fprintf(stderr,
                         "usage: bench_stack [--sim PATH] [--quick] [--only throughput|gi|idle]\n");
            return 2;
        }
    }
    std::string tmpl = (std::filesystem::temp_directory_path() / "tg-bench-stack-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) return 1;
    env.dir = tmpl;
    std::printf("telegate-sim: %s\n", env.sim.c_str());
    if (only.empty() || only == "throughput") BenchFlow(env);
    if (only.empty() || only == "gi") BenchInterrogation(env);
    if (only.empty() || only == "idle") BenchIdle(env);
    std::error_code ec;
    std::filesystem::remove_all(env.dir, ec);
    return 0;
}
