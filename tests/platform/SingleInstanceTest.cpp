#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>

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

TEST(SingleInstance, UnusableNamesAreErrorsNotAnotherInstance) {
    for (const std::string& name : {std::string(), std::string(200, 'x')}) {
        TSingleInstance lock(name);
        EXPECT_FALSE(lock.TryAcquire());
        EXPECT_FALSE(lock.AnotherInstance());
        EXPECT_FALSE(lock.LastError().empty());
    }
    // Characters that would matter in a path mean nothing here.
    TSingleInstance odd(UniqueName("../a/b"));
    EXPECT_TRUE(odd.TryAcquire()) << odd.LastError();
}

// Another process tries the lock with its own environment and, when we may, as
// another user: it must be refused while we hold it, whatever it has.
int ChildTries(const std::string& name, const char* runtimeDir, bool asNobody) {
    TSingleInstance lock(name);  // built before the fork
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (runtimeDir != nullptr)
            ::setenv("XDG_RUNTIME_DIR", runtimeDir, 1);
        else
            ::unsetenv("XDG_RUNTIME_DIR");
        ::setenv("TMPDIR", "/var/tmp", 1);
        if (asNobody && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(9);
        if (lock.TryAcquire()) ::_exit(0);
        ::_exit(lock.AnotherInstance() ? 1 : 2);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SingleInstance, OneHolderWhateverTheEnvironmentAndTheUser) {
    const std::string name = UniqueName("machine");
    TSingleInstance mine(name);
    ASSERT_TRUE(mine.TryAcquire()) << mine.LastError();
    EXPECT_EQ(ChildTries(name, nullptr, false), 1);
    EXPECT_EQ(ChildTries(name, "/tmp", false), 1);
    EXPECT_EQ(ChildTries(name, "/run/user/12345", false), 1);
    if (::geteuid() == 0) {
        EXPECT_EQ(ChildTries(name, nullptr, true), 1);
    }
    mine.Release();
    EXPECT_EQ(ChildTries(name, "/tmp", false), 0);
}

TEST(SingleInstance, LockHeldByAnotherProcessIsFreedWhenItDies) {
    const std::string name = UniqueName("killed");
    int toParent[2];
    ASSERT_EQ(::pipe(toParent), 0);
    TSingleInstance childLock(name);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const char ok = childLock.TryAcquire() ? 'y' : 'n';
        (void)!::write(toParent[1], &ok, 1);
        ::pause();  // killed while holding the lock
        ::_exit(3);
    }
    char got = 0;
    ASSERT_EQ(::read(toParent[0], &got, 1), 1);
    ASSERT_EQ(got, 'y');
    TSingleInstance mine(name);
    EXPECT_FALSE(mine.TryAcquire());
    EXPECT_TRUE(mine.AnotherInstance());
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_TRUE(mine.TryAcquire()) << mine.LastError();
    for (int fd : toParent) ::close(fd);
}

}  // namespace
}  // namespace telegate
