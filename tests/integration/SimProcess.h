// Runs telegate-sim as a child process for the loopback tests and benchmarks:
// its standard input takes commands, every line it prints (standard output and
// error) is collected by a reader thread with the instant it arrived, and the
// process is killed and reaped when the object goes (or when this process dies).
//
// Header only and free of gtest, so that the benchmarks use it too.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../common/ChildProcess.h"  // also built into bench/

namespace telegate::test {

class TSimProcess {
  public:
    using TClock = std::chrono::steady_clock;

    struct TLine {
        std::string text;
        TClock::time_point at;
    };

    TSimProcess() = default;
    ~TSimProcess() { Kill(); }
    TSimProcess(const TSimProcess&) = delete;
    TSimProcess& operator=(const TSimProcess&) = delete;

    // Starts exe with args and waits (at most timeoutMs) for "ready". The ports it
    // listens on are taken from its "listening ADDR:PORT" lines. False (process
    // killed, Error() tells why) when it does not get ready in time.
    bool Start(const std::string& exe, const std::vector<std::string>& args,
               int timeoutMs = 15000) {
        Kill();
        {
            std::lock_guard<std::mutex> lk(mu_);
            lines_.clear();
            ports_.clear();
            eof_ = false;
        }
        std::string err;
        if (!child_.Start(exe, args, err)) return Fail(err);
        reader_ = std::thread([this] { ReadLoop(); });
        const auto ready = WaitFor("ready", timeoutMs, 0);
        if (!ready) {
            Kill();
            return Fail("telegate-sim did not get ready; output:\n" + AllText());
        }
        std::lock_guard<std::mutex> lk(mu_);
        ports_.clear();
        for (const TLine& l : lines_) {
            if (l.text.rfind("listening ", 0) != 0) continue;
            const auto colon = l.text.rfind(':');
            if (colon != std::string::npos) ports_.push_back(std::stoi(l.text.substr(colon + 1)));
        }
        return true;
    }

    const std::string& Error() const { return error_; }
    std::vector<int> Ports() const {
        std::lock_guard<std::mutex> lk(mu_);
        return ports_;
    }
    int Port() const {
        std::lock_guard<std::mutex> lk(mu_);
        return ports_.empty() ? 0 : ports_.front();
    }
    // Writes one command line; false when the process no longer reads.
    bool Send(const std::string& command) { return child_.Write(command + "\n"); }
    // Sends a command and waits for its "ok COMMAND" answer.
    bool Command(const std::string& command, int timeoutMs = 3000) {
        const size_t from = LineCount();
        return Send(command) && WaitFor("ok " + command, timeoutMs, from).has_value();
    }

    // The index of the first line at or after `from` that satisfies pred, waiting at
    // most timeoutMs; nullopt on time-out or when the output has ended.
    std::optional<size_t> WaitUntil(const std::function<bool(const std::string&)>& pred,
                                    int timeoutMs, size_t from) {
        const auto deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
        std::unique_lock<std::mutex> lk(mu_);
        size_t i = from;
        for (;;) {
            for (; i < lines_.size(); ++i)
                if (pred(lines_[i].text)) return i;
            if (eof_) return std::nullopt;
            if (cv_.wait_until(lk, deadline) == std::cv_status::timeout) {
                for (; i < lines_.size(); ++i)
                    if (pred(lines_[i].text)) return i;
                return std::nullopt;
            }
        }
    }
    // The first line at or after `from` that contains text.
    std::optional<size_t> WaitFor(const std::string& text, int timeoutMs, size_t from) {
        return WaitUntil(
            [&text](const std::string& l) { return l.find(text) != std::string::npos; }, timeoutMs,
            from);
    }

    size_t LineCount() const {
        std::lock_guard<std::mutex> lk(mu_);
        return lines_.size();
    }
    TLine Line(size_t i) const {
        std::lock_guard<std::mutex> lk(mu_);
        return i < lines_.size() ? lines_[i] : TLine{};
    }
    std::vector<TLine> Lines(size_t from = 0) const {
        std::lock_guard<std::mutex> lk(mu_);
        if (from >= lines_.size()) return {};
        return std::vector<TLine>(lines_.begin() + static_cast<std::ptrdiff_t>(from), lines_.end());
    }
    // The lines at or after `from` that contain text.
    std::vector<TLine> Matching(const std::string& text, size_t from = 0) const {
        std::vector<TLine> r;
        std::lock_guard<std::mutex> lk(mu_);
        for (size_t i = from; i < lines_.size(); ++i)
            if (lines_[i].text.find(text) != std::string::npos) r.push_back(lines_[i]);
        return r;
    }
    std::string AllText(size_t from = 0) const {
        std::string s;
        for (const TLine& l : Lines(from)) s += l.text + "\n";
        return s;
    }

    // Waits at most timeoutMs for the process to exit by itself; its exit status, or
    // nullopt when it still runs.
    std::optional<int> WaitExit(int timeoutMs) { return child_.WaitExit(timeoutMs); }

    // Kills and reaps the process and stops the reader. Idempotent.
    void Kill() {
        child_.Kill();
        // The pipe's write end died with the child: the reader sees its end.
        if (reader_.joinable()) reader_.join();
        child_.CloseOutput();
    }

  private:
    bool Fail(std::string why) {
        error_ = std::move(why);
        return false;
    }

    void ReadLoop() {
        std::string partial;
        char buf[4096];
        for (;;) {
            const long n = child_.Read(buf, sizeof buf);
            if (n <= 0) break;
            const auto now = TClock::now();
            partial.append(buf, static_cast<size_t>(n));
            size_t start = 0, nl;
            std::vector<TLine> got;
            while ((nl = partial.find('\n', start)) != std::string::npos) {
                size_t end = nl;
                if (end > start && partial[end - 1] == '\r') --end;  // a console's CR LF
                got.push_back({partial.substr(start, end - start), now});
                start = nl + 1;
            }
            partial.erase(0, start);
            if (!got.empty()) {
                std::lock_guard<std::mutex> lk(mu_);
                for (auto& l : got) lines_.push_back(std::move(l));
                cv_.notify_all();
            }
        }
        std::lock_guard<std::mutex> lk(mu_);
        if (!partial.empty()) lines_.push_back({partial, TClock::now()});
        eof_ = true;
        cv_.notify_all();
    }

    TChildProcess child_;
    std::thread reader_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::vector<TLine> lines_;
    std::vector<int> ports_;
    bool eof_ = false;
    std::string error_;
};

}  // namespace telegate::test
