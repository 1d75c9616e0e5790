// Pieces of the loopback runs: telegate-sim as a child process with its standard
// input and output on pipes, and the master in-process (application context,
// plain main loop on a thread of its own, polling).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../common/ChildProcess.h"  // also built into bench/
#include "app/AppContext.h"
#include "app/Polling.h"
#include "model/ConfigFile.h"
#include "model/Prmn.h"
#include "platform/PlainMainLoop.h"
#include "platform/SystemClock.h"
#include "support/Notifier.h"

namespace telegate::live {

// telegate-sim with piped standard input and output. Every output line is kept.
class TSimProcess {
  public:
    TSimProcess() = default;
    TSimProcess(const TSimProcess&) = delete;
    TSimProcess& operator=(const TSimProcess&) = delete;
    ~TSimProcess() { Stop(); }

    bool Start(const std::string& exe, const std::vector<std::string>& args) {
        std::string err;
        if (!child_.Start(exe, args, err)) return false;
        reader_ = std::thread([this] { ReadLoop(); });
        return true;
    }
    void Send(const std::string& line) { child_.Write(line + "\n"); }
    // Waits until a line (seen from index `from` on) satisfies pred; returns its
    // index or -1 on time-out.
    int WaitFor(const std::function<bool(const std::string&)>& pred, int timeoutMs,
                size_t from = 0) {
        std::unique_lock<std::mutex> lk(mu_);
        int found = -1;
        cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] {
            for (size_t i = from; i < lines_.size(); ++i)
                if (pred(lines_[i])) {
                    found = static_cast<int>(i);
                    return true;
                }
            return eof_;
        });
        return found;
    }
    int WaitContains(const std::string& part, int timeoutMs, size_t from = 0) {
        return WaitFor([&](const std::string& l) { return l.find(part) != std::string::npos; },
                       timeoutMs, from);
    }
    size_t LineCount() {
        std::lock_guard<std::mutex> lk(mu_);
        return lines_.size();
    }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lk(mu_);
        return lines_;
    }
    // The ports of the "listening ADDR:PORT" lines, once "ready" was printed.
    std::vector<int> Ports(int timeoutMs = 15000) {
        std::vector<int> ports;
        if (WaitFor([](const std::string& l) { return l == "ready"; }, timeoutMs) < 0) return ports;
        for (const auto& l : Lines())
            if (l.rfind("listening ", 0) == 0)
                ports.push_back(std::atoi(l.substr(l.rfind(':') + 1).c_str()));
        return ports;
    }
    void Stop() {
        child_.Kill();
        if (reader_.joinable()) reader_.join();
        child_.CloseOutput();
    }

  private:
    void ReadLoop() {
        std::string partial;
        char buf[4096];
        for (;;) {
            const long n = child_.Read(buf, sizeof buf);
            if (n <= 0) break;
            partial.append(buf, static_cast<size_t>(n));
            size_t pos;
            std::lock_guard<std::mutex> lk(mu_);
            while ((pos = partial.find('\n')) != std::string::npos) {
                // A console's CR LF counts as LF.
                lines_.push_back(
                    partial.substr(0, pos > 0 && partial[pos - 1] == '\r' ? pos - 1 : pos));
                partial.erase(0, pos + 1);
            }
            cv_.notify_all();
        }
        std::lock_guard<std::mutex> lk(mu_);
        eof_ = true;
        cv_.notify_all();
    }

    test::TChildProcess child_;
    std::thread reader_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
    bool eof_ = false;
};

// The master in this process: context, plain loop on its own thread, polling.
class TLiveMaster {
  public:
    explicit TLiveMaster(const std::string& dir, bool web = false) {
        ctx = std::make_unique<TAppContext>(clock, notifier, dir);
        ctx->Settings.UseWebServer = web;
        ctx->Settings.Port_WebServ = 0;
        TPollingOptions o;
        o.Dir = dir;
        o.WebFolder = dir + "/web";
        o.WebBindAddress = "127.0.0.1";
        // Long enough for the clients' first connection step to come first, as in the
        // running program.
        o.WorkerTimings.StartDelayMs = 300;
        polling = std::make_unique<TPolling>(*ctx, loop, o);
        // The loop knows its thread only once run() has begun; until then
        // invokeAndWait() would run a call right here, beside the loop thread.
        std::promise<void> running;
        loop.post([&running] { running.set_value(); });
        thread = std::thread([this] { loop.run(); });
        running.get_future().wait();
    }
    ~TLiveMaster() {
        OnMain([this] { polling->Stop_IEC104(); });
        loop.quit();
        thread.join();
        polling.reset();
    }
    void OnMain(const std::function<void()>& fn) { loop.invokeAndWait(fn); }
    // Polls cond on the main thread every 5 ms; the ms it took, or -1 on time-out.
    int64_t WaitMain(const std::function<bool()>& cond, int timeoutMs) {
        const auto t0 = std::chrono::steady_clock::now();
        for (;;) {
            bool ok = false;
            OnMain([&] { ok = cond(); });
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - t0)
                                .count();
            if (ok) return ms;
            if (ms > timeoutMs) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    TSystemClock clock;
    TRecordingNotifier notifier;
    std::unique_ptr<TAppContext> ctx;
    TPlainMainLoop loop;
    std::unique_ptr<TPolling> polling;
    std::thread thread;
};

// iec104sr.bin with one record per port (host 127.0.0.1, common address i + 1).
inline bool WritePrmnFile(const std::string& path, const std::vector<int>& ports, int k = 12,
                          int w = 8) {
    TPrmnTable t{};
    for (size_t i = 0; i < ports.size(); ++i) {
        SetDefaultPrmn(t[i], "127.0.0.1", ports[i]);
        t[i].CommonAsduAddress = static_cast<int32_t>(i + 1);
        t[i].kMax = k;
        t[i].wMax = w;
        t[i].prWork1 = 1;
    }
    return ReadWritePrmnFile(pfm_Write, path, t, static_cast<int>(ports.size()));
}

}  // namespace telegate::live
