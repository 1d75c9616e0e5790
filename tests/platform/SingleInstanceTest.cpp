// The single-instance lock within a process and against another process: the
// other process is this test program again, running only the helper below.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "common/ChildProcess.h"
#include "platform/SingleInstance.h"

namespace telegate {
namespace {

// A name of this test run's own, so that neither a running program nor a test run
// beside this one meets it.
std::string UniqueName(const char* what) {
    return std::string("Telegate-test-") + what + "-" + std::to_string(::getpid());
}

TEST(SingleInstance, SecondHolderRefusedUntilRelease) {
    const std::string name = UniqueName("release");
    TSingleInstance first(name);
    auto second = std::make_unique<TSingleInstance>(name);
    ASSERT_TRUE(first.TryAcquire()) << first.LastError();
    EXPECT_TRUE(first.Held());
    EXPECT_TRUE(first.TryAcquire());  // already held: still true
    EXPECT_FALSE(second->TryAcquire());
    EXPECT_TRUE(second->AnotherInstance());
    EXPECT_FALSE(second->Held());
    first.Release();
    EXPECT_FALSE(first.Held());
    EXPECT_TRUE(second->TryAcquire());
    EXPECT_FALSE(second->AnotherInstance());
    {
        TSingleInstance other(UniqueName("other"));  // another name does not conflict
        EXPECT_TRUE(other.TryAcquire());
    }
    second.reset();  // the destructor releases
    TSingleInstance third(name);
    EXPECT_TRUE(third.TryAcquire());
}

// The helper process: tries the lock named by TELEGATE_LOCK_HELPER, prints "lock
// held", "lock refused" or "lock error", then holds what it got until its standard
// input ends or it is killed. Run only as a child of the tests below.
TEST(SingleInstanceHelper, DISABLED_TryTheLockAndHold) {
    const char* name = std::getenv("TELEGATE_LOCK_HELPER");
    ASSERT_NE(name, nullptr);
    TSingleInstance lock(name);
    const bool held = lock.TryAcquire();
    std::printf("\nlock %s\n", held ? "held" : lock.AnotherInstance() ? "refused" : "error");
    std::fflush(stdout);
    char c;
    while (std::fread(&c, 1, 1, stdin) == 1) {
    }
}

// This program as the helper with the lock name; reads its output until it has told
// what it got ("held", "refused", "error"), or "" when it ended or took too long.
class TLockHelper {
  public:
    std::string Start(const std::string& name) {
        ::setenv("TELEGATE_LOCK_HELPER", name.c_str(), 1);
        std::string err;
        const bool started =
            child_.Start(test::SelfExecutable(),
                         {"--gtest_also_run_disabled_tests",
                          "--gtest_filter=SingleInstanceHelper.DISABLED_TryTheLockAndHold"},
                         err);
        ::unsetenv("TELEGATE_LOCK_HELPER");
        if (!started) return "start failed: " + err;
        // The helper answers at once; the reader's time-out is the test's own.
        std::string out;
        char buf[256];
        for (;;) {
            const long n = child_.Read(buf, sizeof buf);
            if (n <= 0) return "";
            out.append(buf, static_cast<size_t>(n));
            for (const char* what : {"held", "refused", "error"})
                if (out.find(std::string("lock ") + what) != std::string::npos) return what;
        }
    }
    // Lets a helper that holds the lock end normally; its exit status.
    int Finish() {
        child_.CloseInput();
        return child_.WaitExit(60000).value_or(-1);
    }
    void Kill() { child_.Kill(); }

  private:
    test::TChildProcess child_;
};

TEST(SingleInstance, AnotherProcessIsRefusedWhileWeHoldTheLock) {
    const std::string name = UniqueName("machine");
    TSingleInstance mine(name);
    ASSERT_TRUE(mine.TryAcquire()) << mine.LastError();
    TLockHelper other;
    EXPECT_EQ(other.Start(name), "refused");
    EXPECT_EQ(other.Finish(), 0);
    mine.Release();
    TLockHelper next;
    EXPECT_EQ(next.Start(name), "held");
    EXPECT_EQ(next.Finish(), 0);
}

TEST(SingleInstance, LockHeldByAnotherProcessIsFreedWhenItDies) {
    const std::string name = UniqueName("killed");
    TLockHelper other;
    ASSERT_EQ(other.Start(name), "held");
    TSingleInstance mine(name);
    EXPECT_FALSE(mine.TryAcquire());
    EXPECT_TRUE(mine.AnotherInstance());
    EXPECT_FALSE(mine.Held());
    other.Kill();  // killed while holding the lock
    EXPECT_TRUE(mine.TryAcquire()) << mine.LastError();
}

}  // namespace
}  // namespace telegate
