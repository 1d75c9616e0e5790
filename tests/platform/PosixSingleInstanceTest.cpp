// The lock's POSIX particulars: names that cannot be a lock, and one holder per
// machine whatever the environment and the user of the process that asks.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
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

// Another account binds the lock's name first (listening like an instance, or
// just bound): it is not taken for an instance. The start goes on, says so, and
// instances of our account still keep to one.
TEST(SingleInstance, AForeignHolderOfTheNameIsIgnoredAndReported) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another account";
    struct TCase {
        const char* what;
        bool listens;
        const char* said;
    } cases[] = {{"listening", true, "user 65534"}, {"bound only", false, "does not answer"}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string name = UniqueName("squat");
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(9);
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::memcpy(addr.sun_path + 1, name.data(), name.size());
            const auto len =
                static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
            if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0) ::_exit(8);
            if (c.listens && ::listen(fd, 4) != 0) ::_exit(7);
            if (::write(ready[1], "x", 1) != 1) ::_exit(6);
            ::sleep(30);  // killed long before
            ::_exit(0);
        }
        ::close(ready[1]);
        char x = 0;
        ASSERT_EQ(::read(ready[0], &x, 1), 1);
        ::close(ready[0]);
        {
            TSingleInstance first(name);
            EXPECT_TRUE(first.TryAcquire()) << first.LastError();
            EXPECT_TRUE(first.Held());
            EXPECT_FALSE(first.AnotherInstance());
            EXPECT_NE(first.Warning().find(c.said), std::string::npos) << first.Warning();
            TSingleInstance second(name);
            EXPECT_FALSE(second.TryAcquire());
            EXPECT_TRUE(second.AnotherInstance());
        }
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        // With the squatter gone the name is ours again, without a word.
        TSingleInstance again(name);
        EXPECT_TRUE(again.TryAcquire());
        EXPECT_EQ(again.Warning(), "");
    }
}

}  // namespace
}  // namespace telegate
