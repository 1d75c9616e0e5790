// The lock's POSIX particulars: names that cannot be a lock, and one holder per
// machine whatever the environment and the user of the process that asks.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/SingleInstance.h"

namespace telegate {
namespace {

std::string UniqueName(const char* what) {
    return std::string("Telegate-test-") + what + "-" + std::to_string(::getpid());
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

}  // namespace
}  // namespace telegate
