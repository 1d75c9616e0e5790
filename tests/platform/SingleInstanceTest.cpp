#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/SingleInstance.h"

namespace telegate {
namespace {

namespace fs = std::filesystem;

class TempDir {
  public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "tg-lock-XXXXXX").string();
        path_ = ::mkdtemp(tmpl.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string Str() const { return path_.string(); }

  private:
    fs::path path_;
};

class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(SingleInstance, SecondHolderRefusedUntilRelease) {
    TempDir dir;
    TSingleInstance first("Telegate", dir.Str());
    TSingleInstance second("Telegate", dir.Str());
    EXPECT_EQ(first.LockPath(), dir.Str() + "/Telegate.lock");
    ASSERT_TRUE(first.TryAcquire());
    EXPECT_TRUE(first.Held());
    EXPECT_TRUE(first.TryAcquire());  // already held: still true
    EXPECT_FALSE(second.TryAcquire());
    EXPECT_TRUE(second.AnotherInstance());
    EXPECT_FALSE(second.Held());
    first.Release();
    EXPECT_FALSE(first.Held());
    EXPECT_TRUE(second.TryAcquire());
    EXPECT_FALSE(second.AnotherInstance());
}

TEST(SingleInstance, DestructorReleases) {
    TempDir dir;
    {
        TSingleInstance a("Telegate", dir.Str());
        ASSERT_TRUE(a.TryAcquire());
    }
    TSingleInstance b("Telegate", dir.Str());
    EXPECT_TRUE(b.TryAcquire());
}

TEST(SingleInstance, DifferentNamesDoNotConflict) {
    TempDir dir;
    TSingleInstance a("Telegate", dir.Str());
    TSingleInstance b("Other", dir.Str());
    EXPECT_TRUE(a.TryAcquire());
    EXPECT_TRUE(b.TryAcquire());
    // A name cannot escape the directory.
    TSingleInstance c("../evil/x", dir.Str());
    EXPECT_EQ(c.LockPath(), dir.Str() + "/.._evil_x.lock");
    EXPECT_TRUE(c.TryAcquire());
}

TEST(SingleInstance, LockHeldByAnotherProcessAndFreedWhenItDies) {
    TempDir dir;
    int toParent[2];
    int toChild[2];
    ASSERT_EQ(::pipe(toParent), 0);
    ASSERT_EQ(::pipe(toChild), 0);
    // Built before the fork so that the child allocates nothing on its way to the lock.
    TSingleInstance childLock("Telegate", dir.Str());
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const char ok = childLock.TryAcquire() ? 'y' : 'n';
        (void)!::write(toParent[1], &ok, 1);
        char c;
        (void)!::read(toChild[0], &c, 1);  // wait for the parent's check
        ::_exit(3);                        // dies without releasing
    }
    char got = 0;
    ASSERT_EQ(::read(toParent[0], &got, 1), 1);
    ASSERT_EQ(got, 'y');
    {
        TSingleInstance mine("Telegate", dir.Str());
        EXPECT_FALSE(mine.TryAcquire());
        EXPECT_TRUE(mine.AnotherInstance());
    }
    const char go = 'g';
    ASSERT_EQ(::write(toChild[1], &go, 1), 1);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    TSingleInstance after("Telegate", dir.Str());
    EXPECT_TRUE(after.TryAcquire());
    for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]}) ::close(fd);
}

TEST(SingleInstance, MissingGivenDirectoryIsAnErrorNotAnotherInstance) {
    TempDir dir;
    TSingleInstance lock("Telegate", dir.Str() + "/absent");
    EXPECT_FALSE(lock.TryAcquire());
    EXPECT_FALSE(lock.AnotherInstance());
    EXPECT_FALSE(lock.LastError().empty());
}

TEST(SingleInstance, DefaultDirectoryFromRuntimeDir) {
    TempDir dir;
    ScopedEnv env("XDG_RUNTIME_DIR", dir.Str().c_str());
    TSingleInstance lock("Telegate");
    EXPECT_EQ(lock.LockPath(), dir.Str() + "/Telegate.lock");
    EXPECT_TRUE(lock.TryAcquire());
}

TEST(SingleInstance, FallbackPrivateDirectoryInTemp) {
    TempDir tmp;
    ScopedEnv env("XDG_RUNTIME_DIR", nullptr);
    ScopedEnv tmpdir("TMPDIR", tmp.Str().c_str());
    TSingleInstance lock("Telegate");
    const std::string expectedDir = tmp.Str() + "/telegate-" + std::to_string(::getuid());
    EXPECT_EQ(lock.LockPath(), expectedDir + "/Telegate.lock");
    ASSERT_TRUE(lock.TryAcquire()) << lock.LastError();
    struct stat st {};
    ASSERT_EQ(::stat(expectedDir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    lock.Release();

    // A fallback directory others can write to is refused.
    ::chmod(expectedDir.c_str(), 0777);
    TSingleInstance unsafe("Telegate");
    EXPECT_FALSE(unsafe.TryAcquire());
    EXPECT_FALSE(unsafe.AnotherInstance());
    EXPECT_FALSE(unsafe.LastError().empty());
}

}  // namespace
}  // namespace telegate
