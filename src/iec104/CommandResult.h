// The outcome of one telecontrol command as its requester sees it: refused at
// once (nothing was sent), or pending until the station confirms or rejects the
// execute, the confirmation times out, or the link is lost. The requester may wait
// for it on any thread or register a continuation; the station client completes
// it on the main thread. Completed once; later completions are ignored.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace telegate {

enum TTuOutcome : uint8_t {
    tuo_Pending,       // sent or about to be sent, no answer yet
    tuo_Confirmed,     // the station confirmed the execute
    tuo_Rejected,      // the station answered with a negative confirmation
    tuo_TimedOut,      // no confirmation within the command time-out
    tuo_LinkLost,      // the connection went down while the command was under way
    tuo_Failed,        // the command could not be built or queued
    tuo_NotPolling,    // refused: polling is stopped
    tuo_NotConnected,  // refused: the station is not connected
    tuo_Busy,          // refused: another command is under way at the station
    tuo_NotOperable,   // refused: the tag has no command address or does not exist
};

class TCommandResult {
  public:
    using TContinuation = std::function<void(TTuOutcome)>;

    TCommandResult() = default;
    explicit TCommandResult(TTuOutcome refused) : FOutcome(refused) {}

    static std::shared_ptr<TCommandResult> Refused(TTuOutcome why) {
        return std::make_shared<TCommandResult>(why);
    }

    // The first completion wins; continuations run on the completing thread,
    // outside the result's lock.
    void Complete(TTuOutcome outcome) {
        std::vector<TContinuation> run;
        {
            std::lock_guard lock(FMu);
            if (FOutcome != tuo_Pending || outcome == tuo_Pending) return;
            FOutcome = outcome;
            run.swap(FContinuations);
        }
        FCv.notify_all();
        for (auto& fn : run) fn(outcome);
    }

    TTuOutcome Outcome() const {
        std::lock_guard lock(FMu);
        return FOutcome;
    }

    // Waits at most timeout; tuo_Pending when the time ran out first.
    TTuOutcome Wait(std::chrono::milliseconds timeout) const {
        std::unique_lock lock(FMu);
        FCv.wait_for(lock, timeout, [&] { return FOutcome != tuo_Pending; });
        return FOutcome;
    }

    // Runs fn once with the outcome: now when it is known, else on completion.
    void OnDone(TContinuation fn) {
        TTuOutcome now;
        {
            std::lock_guard lock(FMu);
            now = FOutcome;
            if (now == tuo_Pending) {
                FContinuations.push_back(std::move(fn));
                return;
            }
        }
        fn(now);
    }

  private:
    mutable std::mutex FMu;
    mutable std::condition_variable FCv;
    TTuOutcome FOutcome = tuo_Pending;
    std::vector<TContinuation> FContinuations;
};

}  // namespace telegate
