#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "support/TraceFiles.h"

namespace telegate {
namespace {

namespace fs = std::filesystem;

class TempDir {
  public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "tg-libfile-XXXXXX").string();
        path_ = ::mkdtemp(tmpl.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::permissions(path_, fs::perms::owner_all, ec);
        fs::remove_all(path_, ec);
    }
    std::string File(const std::string& name) const { return (path_ / name).string(); }
    const fs::path& Path() const { return path_; }

  private:
    fs::path path_;
};

std::string ReadAll(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary);
    out << bytes;
}

TEST(HexDumpBytes, StartdtAndTestfrCon) {
    const uint8_t startdt[] = {0x68, 0x04, 0x07, 0x00, 0x00, 0x00};
    EXPECT_EQ(HexDumpBytes("", startdt, sizeof startdt), "68 04 07 00 00 00 ");
    const uint8_t testfrCon[] = {0x68, 0x04, 0x83, 0x00, 0x00, 0x00};
    EXPECT_EQ(HexDumpBytes("Send_U:", testfrCon, sizeof testfrCon), "Send_U:68 04 83 00 00 00 ");
    std::string line = "From KP ";
    HexDumpBytes(line, "", testfrCon, 2);
    EXPECT_EQ(line, "From KP 68 04 ");
}

TEST(HexDumpChars, OneOctetPerCharacter) {
    EXPECT_EQ(HexDumpChars(std::string("\x68\x0e\x00\xff", 4)), "68 0E 00 FF ");
    EXPECT_EQ(HexDumpChars(""), "");
    std::string out = ">";
    HexDumpChars(out, "AB");
    EXPECT_EQ(out, ">41 42 ");
}

TEST(FormatPeer, Layout) {
    EXPECT_EQ(FormatPeer("10.0.0.5", 2404), " \"\"10.0.0.5=2404\"\" ");
    EXPECT_EQ(FormatPeer("", 0), " \"\"=0\"\" ");
}

TEST(JoinPath, Separators) {
    EXPECT_EQ(JoinPath("C:\\data\\", "x.txt"), "C:\\data\\x.txt");
    EXPECT_EQ(JoinPath("C:\\data", "x.txt"), "C:\\data\\x.txt");
    EXPECT_EQ(JoinPath("", "x.txt"), "x.txt");
    EXPECT_EQ(JoinPath("/opt/tg", "x.txt"), "/opt/tg/x.txt");
    EXPECT_EQ(JoinPath("/opt/tg/", "x.txt"), "/opt/tg/x.txt");
    EXPECT_EQ(JoinPath("data", "x.txt"), "data/x.txt");
}

TEST(AppendTraceLine, CreatesAppendsAndConverts) {
    TempDir dir;
    const std::string f = dir.File("Socket0.txt");
    AppendTraceLine("То KP 12:00:00   68 04 ", f);
    AppendTraceLine("Опрос КП", f);
    // "То" and "Опрос КП" in Windows-1251, CR LF after each line.
    EXPECT_EQ(ReadAll(f),
              "\xD2\xEE KP 12:00:00   68 04 \r\n"
              "\xCE\xEF\xF0\xEE\xF1 \xCA\xCF\r\n");
}

TEST(AppendTraceLine, FailureIsSwallowed) {
    TempDir dir;
    // A directory in place of the file, and a missing directory: both lose the line quietly.
    fs::create_directory(dir.Path() / "busy");
    EXPECT_NO_THROW(AppendTraceLine("x", dir.File("busy")));
    EXPECT_NO_THROW(AppendTraceLine("x", dir.File("missing/Socket1.txt")));
    EXPECT_FALSE(fs::exists(dir.Path() / "missing"));
    if (::geteuid() != 0) {
        const std::string ro = dir.File("ro.txt");
        WriteAll(ro, "old\r\n");
        fs::permissions(ro, fs::perms::owner_read);
        AppendTraceLine("new", ro);
        EXPECT_EQ(ReadAll(ro), "old\r\n");
    }
}

TEST(AppendTraceLine, ConcurrentWritersKeepLinesWhole) {
    TempDir dir;
    const std::string f = dir.File("Thread0.txt");
    const std::string a(200, 'a');
    const std::string b(200, 'b');
    std::thread t1([&] {
        for (int i = 0; i < 200; ++i) AppendTraceLine(a, f);
    });
    std::thread t2([&] {
        for (int i = 0; i < 200; ++i) AppendTraceLine(b, f);
    });
    t1.join();
    t2.join();
    TTextFile tf;
    ASSERT_TRUE(tf.Open(f, 'r'));
    std::string line;
    int na = 0;
    int nb = 0;
    while (tf.ReadLine(line)) {
        if (line == a)
            ++na;
        else if (line == b)
            ++nb;
        else
            ADD_FAILURE() << "torn line of " << line.size() << " characters";
    }
    EXPECT_EQ(na, 200);
    EXPECT_EQ(nb, 200);
}

TEST(TextFile, WriteReadRoundTripWithCyrillic) {
    TempDir dir;
    const std::string f = dir.File("iec104.cfg");
    {
        TTextFile tf;
        ASSERT_TRUE(tf.Open(f, 'w'));
        EXPECT_TRUE(tf.WriteLine("KP,1,\"Подстанция №1\""));
        EXPECT_TRUE(tf.WriteLine(""));
        EXPECT_TRUE(tf.Write("tail"));
    }
    EXPECT_EQ(ReadAll(f),
              "KP,1,\"\xCF\xEE\xE4\xF1\xF2\xE0\xED\xF6\xE8\xFF \xB9"
              "1\"\r\n\r\ntail");
    TTextFile tf;
    ASSERT_TRUE(tf.Open(f, 'r'));
    std::string line;
    ASSERT_TRUE(tf.ReadLine(line));
    EXPECT_EQ(line, "KP,1,\"Подстанция №1\"");
    EXPECT_FALSE(tf.Eof());
    ASSERT_TRUE(tf.ReadLine(line));
    EXPECT_EQ(line, "");
    ASSERT_TRUE(tf.ReadLine(line));
    EXPECT_EQ(line, "tail");
    EXPECT_TRUE(tf.Eof());
    EXPECT_FALSE(tf.ReadLine(line));
    EXPECT_EQ(line, "");
}

TEST(TextFile, AcceptsLfAndCrLfAndOddBytes) {
    TempDir dir;
    const std::string f = dir.File("mixed.txt");
    const char raw[] = "a\nb\r\n\rc\r\nnul\0x\n\r";
    WriteAll(f, std::string(raw, sizeof raw - 1));
    TTextFile tf;
    ASSERT_TRUE(tf.Open(f, 'r'));
    std::vector<std::string> lines;
    std::string line;
    while (tf.ReadLine(line)) lines.push_back(line);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "a");
    EXPECT_EQ(lines[1], "b");
    EXPECT_EQ(lines[2], "\rc");  // only the CR of the line end goes
    EXPECT_EQ(lines[3], std::string("nul\0x", 5));
    EXPECT_EQ(lines[4], "");  // a lone CR at the end is an empty last line
}

TEST(TextFile, LongLineAndModeRules) {
    TempDir dir;
    const std::string f = dir.File("long.txt");
    const std::string big(100000, 'z');
    WriteAll(f, big + "\r\n");
    TTextFile tf;
    EXPECT_FALSE(tf.Open(f, 'x'));
    EXPECT_FALSE(tf.IsOpen());
    ASSERT_TRUE(tf.Open(f, 'r'));
    EXPECT_FALSE(tf.WriteLine("no"));  // read-only
    std::string line;
    ASSERT_TRUE(tf.ReadLine(line));
    EXPECT_EQ(line, big);
    TTextFile moved(std::move(tf));
    EXPECT_FALSE(tf.IsOpen());
    EXPECT_TRUE(moved.IsOpen());
    EXPECT_FALSE(moved.ReadLine(line));
    moved.Close();
    EXPECT_FALSE(moved.ReadLine(line));
}

TEST(OpenTextFile, AppendCreatesMissingFile) {
    TempDir dir;
    const std::string f = dir.File("new.txt");
    TTextFile tf;
    std::string err = "stale";
    ASSERT_TRUE(OpenTextFile(tf, f, 'a', err));
    EXPECT_EQ(err, "");
    EXPECT_EQ(tf.Mode(), 'a');
    tf.WriteLine("one");
    tf.Close();
    ASSERT_TRUE(OpenTextFile(tf, f, 'a', err));
    tf.WriteLine("two");
    tf.Close();
    EXPECT_EQ(ReadAll(f), "one\r\ntwo\r\n");
}

TEST(OpenTextFile, FailuresGiveErrorText) {
    TempDir dir;
    TTextFile tf;
    std::string err;
    const std::string missing = dir.File("missing.cfg");
    EXPECT_FALSE(OpenTextFile(tf, missing, 'r', err));
    EXPECT_EQ(err, "ERROR:Не открывается файл:" + missing + " mode=r");
    const std::string noDir = dir.File("no/such.cfg");
    EXPECT_FALSE(OpenTextFile(tf, noDir, 'w', err));
    EXPECT_EQ(err, "ERROR:Не открывается файл:" + noDir + " mode=w");
    EXPECT_FALSE(OpenTextFile(tf, noDir, 'a', err));
    EXPECT_EQ(err, "ERROR:Не открывается файл:" + noDir + " mode=a");
    EXPECT_FALSE(OpenTextFile(tf, dir.File("x.txt"), 'q', err));
    EXPECT_FALSE(tf.IsOpen());
    EXPECT_FALSE(fs::exists(dir.Path() / "x.txt"));
    // Success clears the text again.
    EXPECT_TRUE(OpenTextFile(tf, dir.File("x.txt"), 'w', err));
    EXPECT_EQ(err, "");
}

}  // namespace
}  // namespace telegate
