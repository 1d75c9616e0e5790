#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/LoopCore.h"
#include "platform/ManualMainLoop.h"
#include "platform/PlainMainLoop.h"

namespace telegate {
namespace {

struct TLoopTestError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct TCaught {
    std::vector<std::pair<std::string, std::string>> items;
    std::function<void(const char*, const char*)> Hook() {
        return [this](const char* what, const char* type) { items.emplace_back(what, type); };
    }
};

// ---------------------------------------------------------------- plain loop

TEST(PlainMainLoop, PostedCallsRunInOrderAndRunReturnsQuitCode) {
    TPlainMainLoop loop;
    std::vector<int> order;
    for (int i = 0; i < 5; ++i) loop.post([&order, i] { order.push_back(i); });
    loop.post([&] { loop.quit(7); });
    loop.post([&] { order.push_back(99); });  // after quit: dropped
    EXPECT_EQ(loop.run(), 7);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(PlainMainLoop, QuitIsFinal) {
    TPlainMainLoop loop;
    loop.quit(3);
    bool ran = false;
    loop.post([&] { ran = true; });
    EXPECT_EQ(loop.run(), 3);
    EXPECT_FALSE(ran);
    EXPECT_FALSE(loop.invokeAndWait([&] { ran = true; }));
    EXPECT_FALSE(ran);
}

TEST(PlainMainLoop, InvokeAndWaitRunsOnMainThreadAndWaits) {
    TPlainMainLoop loop;
    constexpr int kThreads = 4, kCalls = 200;
    int counter = 0;  // touched on the main thread only
    std::atomic<int> notMain{0}, failed{0}, finished{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < kCalls; ++i) {
                int seen = -1;
                bool ok = loop.invokeAndWait([&] {
                    if (!loop.isMainThread()) ++notMain;
                    seen = ++counter;
                });
                if (!ok || seen <= 0) ++failed;
            }
            if (++finished == kThreads) loop.post([&] { loop.quit(0); });
        });
    }
    EXPECT_EQ(loop.run(), 0);
    for (auto& w : workers) w.join();
    EXPECT_EQ(counter, kThreads * kCalls);
    EXPECT_EQ(notMain.load(), 0);
    EXPECT_EQ(failed.load(), 0);
}

TEST(PlainMainLoop, InvokeAndWaitOnMainThreadRunsInline) {
    TPlainMainLoop loop;
    std::vector<int> order;
    loop.post([&] {
        order.push_back(1);
        EXPECT_TRUE(loop.invokeAndWait([&] { order.push_back(2); }));
        order.push_back(3);
        loop.quit();
    });
    loop.run();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(PlainMainLoop, QuitReleasesEveryWaitingWorker) {
    TPlainMainLoop loop;
    constexpr int kThreads = 6;
    std::atomic<int> waiting{0}, released{0}, ranCount{0};
    std::vector<std::thread> workers;
    std::vector<int> results(kThreads, -1);
    // Workers block before the loop runs; the first call served quits the loop,
    // so the others must come back with false instead of hanging.
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            ++waiting;
            bool ok = loop.invokeAndWait([&] {
                ++ranCount;
                loop.quit(5);
            });
            results[t] = ok ? 1 : 0;
            ++released;
        });
    }
    while (waiting.load() < kThreads) std::this_thread::yield();
    // Give the workers time to queue (not required for correctness).
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(loop.run(), 5);
    for (auto& w : workers) w.join();
    EXPECT_EQ(released.load(), kThreads);
    int trues = 0;
    for (int r : results) trues += r;
    EXPECT_EQ(trues, ranCount.load());
    EXPECT_GE(ranCount.load(), 1);
}

TEST(PlainMainLoop, QuitBeforeRunReleasesAWaiter) {
    auto loop = std::make_unique<TPlainMainLoop>();
    std::atomic<bool> queued{false};
    std::atomic<int> result{-1};
    std::thread worker([&] {
        queued = true;
        result = loop->invokeAndWait([] {}) ? 1 : 0;
    });
    while (!queued) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    loop->quit();
    worker.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(loop->run(), 0);
}

TEST(PlainMainLoop, ExceptionInPostedCallIsReportedAndLoopGoesOn) {
    TPlainMainLoop loop;
    TCaught caught;
    loop.onException = caught.Hook();
    bool after = false;
    loop.post([] { throw TLoopTestError("broken"); });
    loop.post([] { throw 42; });
    loop.post([&] {
        after = true;
        loop.quit();
    });
    loop.run();
    EXPECT_TRUE(after);
    ASSERT_EQ(caught.items.size(), 2u);
    EXPECT_EQ(caught.items[0].first, "broken");
    EXPECT_EQ(caught.items[0].second, "telegate::(anonymous namespace)::TLoopTestError");
    EXPECT_EQ(caught.items[1].second, "int");
}

TEST(PlainMainLoop, TimerRepeatsAndSurvivesExceptions) {
    TPlainMainLoop loop;
    TCaught caught;
    loop.onException = caught.Hook();
    int ticks = 0;
    auto id = loop.addTimer(2, [&] {
        ++ticks;
        if (ticks == 5) loop.quit();
        throw std::out_of_range("tick");
    });
    EXPECT_FALSE(loop.timerActive(id));
    loop.startTimer(id);
    EXPECT_TRUE(loop.timerActive(id));
    loop.run();
    EXPECT_EQ(ticks, 5);
    ASSERT_EQ(caught.items.size(), 5u);
    EXPECT_EQ(caught.items[4].second, "std::out_of_range");
}

TEST(PlainMainLoop, TimerStopsAndRemovesItselfFromItsCallback) {
    TPlainMainLoop loop;
    int a = 0, b = 0, c = 0;
    IMainLoop::TimerId ida = 0, idb = 0;
    ida = loop.addTimer(1, [&] {
        if (++a == 3) loop.stopTimer(ida);
    });
    idb = loop.addTimer(1, [&] {
        ++b;
        loop.removeTimer(idb);
    });
    auto idc = loop.addTimer(1, [&] {
        if (++c == 10) loop.quit();
    });
    loop.startTimer(ida);
    loop.startTimer(idb);
    loop.startTimer(idc);
    loop.run();
    EXPECT_EQ(a, 3);
    EXPECT_FALSE(loop.timerActive(ida));
    EXPECT_EQ(b, 1);
    EXPECT_FALSE(loop.timerActive(idb));
    EXPECT_EQ(c, 10);
}

TEST(PlainMainLoop, PostFromAnotherThreadWakesAWaitingLoop) {
    TPlainMainLoop loop;
    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        loop.post([&] { loop.quit(11); });
    });
    EXPECT_EQ(loop.run(), 11);
    poster.join();
}

// ---------------------------------------------------------------- manual loop

TEST(ManualMainLoop, TimersFireAtTheirDueTimesInOrder) {
    TManualClock clock(46000.5, 1000);
    TManualMainLoop loop(clock);
    std::vector<std::pair<char, int64_t>> fired;
    auto fast = loop.addTimer(50, [&] { fired.emplace_back('F', clock.MonotonicMs()); });
    auto slow = loop.addTimer(200, [&] { fired.emplace_back('S', clock.MonotonicMs()); });
    loop.startTimer(slow);
    loop.startTimer(fast);
    loop.Advance(199);
    EXPECT_EQ(fired.size(), 3u);
    loop.Advance(1);
    // At 1200 both are due; the earlier-created timer (lower id) goes first.
    std::vector<std::pair<char, int64_t>> want = {
        {'F', 1050}, {'F', 1100}, {'F', 1150}, {'F', 1200}, {'S', 1200}};
    EXPECT_EQ(fired, want);
    EXPECT_EQ(clock.MonotonicMs(), 1200);
}

TEST(ManualMainLoop, StopSetIntervalAndRemove) {
    TManualClock clock(46000.5, 0);
    TManualMainLoop loop(clock);
    std::vector<int64_t> at;
    auto id = loop.addTimer(100, [&] { at.push_back(clock.MonotonicMs()); });
    loop.Advance(500);
    EXPECT_TRUE(at.empty());  // created stopped
    loop.startTimer(id);
    loop.Advance(150);         // fires at 600
    loop.setInterval(id, 30);  // restarts the count at 650
    loop.Advance(70);          // 680, 710
    loop.stopTimer(id);
    loop.Advance(100);
    loop.startTimer(id);  // 820 -> 850
    loop.removeTimer(id);
    loop.Advance(100);
    EXPECT_EQ(at, (std::vector<int64_t>{600, 680, 710}));
    EXPECT_FALSE(loop.timerActive(id));
}

TEST(ManualMainLoop, ZeroIntervalCountsAsOneMillisecond) {
    TManualClock clock(46000.5, 0);
    TManualMainLoop loop(clock);
    int n = 0;
    auto id = loop.addTimer(0, [&] { ++n; });
    loop.startTimer(id);
    loop.Advance(10);
    EXPECT_EQ(n, 10);
}

TEST(ManualMainLoop, PostedCallsRunBetweenTimers) {
    TManualClock clock(46000.5, 0);
    TManualMainLoop loop(clock);
    std::vector<std::string> log;
    auto id = loop.addTimer(10, [&] {
        log.push_back("t" + std::to_string(clock.MonotonicMs()));
        loop.post([&] { log.push_back("p" + std::to_string(clock.MonotonicMs())); });
    });
    loop.startTimer(id);
    loop.Advance(20);
    EXPECT_EQ(log, (std::vector<std::string>{"t10", "p10", "t20", "p20"}));
}

TEST(ManualMainLoop, ExceptionInTimerGoesToHookAndTimerKeepsFiring) {
    TManualClock clock(46000.5, 0);
    TManualMainLoop loop(clock);
    TCaught caught;
    loop.onException = caught.Hook();
    int n = 0;
    auto id = loop.addTimer(50, [&] {
        ++n;
        throw std::logic_error("bad " + std::to_string(n));
    });
    loop.startTimer(id);
    loop.Advance(150);
    EXPECT_EQ(n, 3);
    ASSERT_EQ(caught.items.size(), 3u);
    EXPECT_EQ(caught.items[2].first, "bad 3");
    EXPECT_EQ(caught.items[2].second, "std::logic_error");
}

TEST(ManualMainLoop, InvokeAndWaitFromWorkerIsServedByRunPending) {
    TManualClock clock;
    TManualMainLoop loop(clock);
    int value = 0;
    std::atomic<int> result{-1};
    std::thread worker([&] { result = loop.invokeAndWait([&] { value = 42; }) ? 1 : 0; });
    ASSERT_TRUE(loop.WaitForPending(5000));
    EXPECT_EQ(result.load(), -1);  // still waiting for the main thread
    EXPECT_EQ(loop.RunPending(), 1);
    worker.join();
    EXPECT_EQ(result.load(), 1);
    EXPECT_EQ(value, 42);
}

TEST(ManualMainLoop, QuitReleasesWorkerWithFalse) {
    TManualClock clock;
    TManualMainLoop loop(clock);
    bool ran = false;
    std::atomic<int> result{-1};
    std::thread worker([&] { result = loop.invokeAndWait([&] { ran = true; }) ? 1 : 0; });
    ASSERT_TRUE(loop.WaitForPending(5000));
    loop.quit(2);
    worker.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_FALSE(ran);
    EXPECT_TRUE(loop.Quitted());
    EXPECT_EQ(loop.ExitCode(), 2);
    EXPECT_EQ(loop.RunPending(), 0);
}

TEST(ManualMainLoop, RunPendingIsBoundedForSelfRepostingCalls) {
    TManualClock clock;
    TManualMainLoop loop(clock);
    int n = 0;
    std::function<void()> again = [&] {
        ++n;
        loop.post(again);
    };
    loop.post(again);
    EXPECT_EQ(loop.RunPending(10), 10);
    EXPECT_EQ(n, 10);
    EXPECT_EQ(loop.PendingCount(), 1u);
}

TEST(ManualMainLoop, RunServesOtherThreadsUntilQuit) {
    TManualClock clock;
    TManualMainLoop loop(clock);
    int sum = 0;
    std::thread worker([&] {
        for (int i = 1; i <= 10; ++i) loop.invokeAndWait([&, i] { sum += i; });
        loop.quit(9);
    });
    EXPECT_EQ(loop.run(), 9);
    worker.join();
    EXPECT_EQ(sum, 55);
}

TEST(LoopCore, DemangledTypeName) {
    EXPECT_EQ(DemangledTypeName(typeid(std::runtime_error).name()), "std::runtime_error");
    EXPECT_EQ(DemangledTypeName(nullptr), "unknown");
}

}  // namespace
}  // namespace telegate
