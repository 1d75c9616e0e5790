#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/AtomicFile.h"

namespace telegate {
namespace {

namespace fs = std::filesystem;

class AtomicFileTest : public ::testing::Test {
  protected:
    AtomicFileTest() {
        std::string tmpl = (fs::temp_directory_path() / "atomic_test_XXXXXX").string();
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        dir_ = ::mkdtemp(buf.data());
    }
    ~AtomicFileTest() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string File(const std::string& name) const { return (fs::path(dir_) / name).string(); }
    size_t Entries() const {
        return static_cast<size_t>(
            std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
    }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Whether the target has POSIX mode bits (Windows has none to keep).
    static constexpr bool kModes =
#ifdef _WIN32
        false;
#else
        true;
#endif
    static unsigned Mode(const std::string& path) {
        struct stat st {};
        ::stat(path.c_str(), &st);
        return st.st_mode & 0777;
    }
    std::string dir_;
};

TEST_F(AtomicFileTest, CreatesAndReplaces) {
    const std::string f = File("a.bin");
    std::string why = "stale";
    ASSERT_TRUE(WriteFileAtomically(f, std::string("one\0two", 7), why));
    EXPECT_EQ(why, "");
    EXPECT_EQ(Read(f), std::string("one\0two", 7));
    if (kModes) {
        EXPECT_EQ(Mode(f), 0644u);
    }
    ::chmod(f.c_str(), 0600);
    ASSERT_TRUE(WriteFileAtomically(f, "x"));
    EXPECT_EQ(Read(f), "x");
    if (kModes) {
        EXPECT_EQ(Mode(f), 0600u);  // a replaced file keeps its mode
    }
    ASSERT_TRUE(WriteFileAtomically(f, ""));
    EXPECT_TRUE(fs::exists(f));
    EXPECT_EQ(fs::file_size(f), 0u);
    EXPECT_EQ(Entries(), 1u);  // no temporary file left
}

TEST_F(AtomicFileTest, FailuresReportAndKeepTheOldFile) {
    std::string why;
    EXPECT_FALSE(WriteFileAtomically("", "x", why));
    EXPECT_FALSE(why.empty());
    EXPECT_FALSE(WriteFileAtomically(File("missing/a.bin"), "x", why));
    EXPECT_NE(why.find("missing"), std::string::npos);
    fs::create_directory(File("sub"));
    EXPECT_FALSE(WriteFileAtomically(File("sub"), "x", why));
    EXPECT_TRUE(fs::is_directory(File("sub")));
    // The temporary name beside a 250-character target is longer than a file name
    // may be, so the write fails even for a user who may write anywhere.
    const std::string longName = File(std::string(250, 'n'));
    { std::ofstream(longName) << "old"; }
    EXPECT_FALSE(WriteFileAtomically(longName, "new", why));
    EXPECT_FALSE(why.empty());
    EXPECT_EQ(Read(longName), "old");
    if (::geteuid() != 0) {
        const std::string f = File("sub/k.bin");
        ASSERT_TRUE(WriteFileAtomically(f, "old"));
        fs::permissions(File("sub"), fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_FALSE(WriteFileAtomically(f, "new", why));
        fs::permissions(File("sub"), fs::perms::owner_all);
        EXPECT_EQ(Read(f), "old");
    }
    EXPECT_EQ(Entries(), 2u);  // "sub" and the long name, no temporary files
}

// A reader polling the file while it is replaced sees one whole version or the
// other, never a mix or a short file. (On Windows an open may fail while the
// rename runs; such a reader sees nothing and tries again.)
TEST_F(AtomicFileTest, ReadersNeverSeeAHalfWrittenFile) {
    const std::string f = File("c.bin");
    const std::string a(64 * 1024, 'a'), b(128 * 1024, 'b');
    ASSERT_TRUE(WriteFileAtomically(f, a));
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0}, reads{0};
    std::thread reader([&] {
        while (!stop.load()) {
            std::ifstream in(f, std::ios::binary);
            if (!in) continue;
            const std::string s(std::istreambuf_iterator<char>(in), {});
            if (s != a && s != b) bad.fetch_add(1);
            reads.fetch_add(1);
        }
    });
    for (int i = 0; i < 16; ++i) EXPECT_TRUE(WriteFileAtomically(f, i % 2 ? a : b));
    while (reads.load() < 10) std::this_thread::yield();
    stop = true;
    reader.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(Read(f), a);
}

}  // namespace
}  // namespace telegate
