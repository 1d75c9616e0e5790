#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/IniFile.h"

namespace telegate {
namespace {

namespace fs = std::filesystem;

class IniFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "tg-ini-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        path_ = (dir_ / "test.ini").string();
    }
    void TearDown() override { fs::remove_all(dir_); }
    void Put(const std::string& bytes) { std::ofstream(path_, std::ios::binary) << bytes; }
    std::string Get() {
        std::ifstream in(path_, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    fs::path dir_;
    std::string path_;
};

TEST_F(IniFileTest, MissingFileGivesDefaults) {
    TIniFile ini(path_);
    EXPECT_EQ(ini.ReadString("A", "b", "def"), "def");
    EXPECT_EQ(ini.ReadInteger("A", "b", -7), -7);
    EXPECT_TRUE(ini.ReadBool("A", "b", true));
    EXPECT_FALSE(ini.ReadBool("A", "b", false));
    EXPECT_FALSE(ini.SectionExists("A"));
    EXPECT_FALSE(fs::exists(path_));  // reading never creates the file
}

TEST_F(IniFileTest, NamesAreCaseInsensitiveAndValuesTrimmed) {
    Put("; comment\r\n[_Params_]\r\n  sstID =  42  \r\nName=\"  quoted  "
        "\"\r\n\r\n[Other]\r\nsstID=5\r\n");
    TIniFile ini(path_);
    EXPECT_EQ(ini.ReadInteger("_PARAMS_", "SSTID", 0), 42);
    EXPECT_EQ(ini.ReadInteger("other", "sstid", 0), 5);
    EXPECT_EQ(ini.ReadString("_params_", "name", ""), "  quoted  ");
    EXPECT_EQ(ini.ReadString("_params_", "missing", "d"), "d");
    EXPECT_EQ(ini.ReadString("nosuch", "sstID", "d"), "d");
    EXPECT_TRUE(ini.ValueExists("_Params_", "sstid"));
}

TEST_F(IniFileTest, LfLineEndsAndDuplicates) {
    Put("[S]\nk=1\nk=2\n[S]\nj=3\n[T]\n=x\nnoequals\n");
    TIniFile ini(path_);
    EXPECT_EQ(ini.ReadInteger("S", "k", 0), 1);  // first key wins
    EXPECT_EQ(ini.ReadInteger("S", "j", 0), 0);  // only the first section counts
    EXPECT_EQ(ini.ReadString("T", "noequals", "d"), "d");
    EXPECT_EQ(ini.ReadString("T", "", "d"), "x");
}

TEST_F(IniFileTest, CommentedKeyIsNotAKey) {
    Put("[S]\n;k=1\n");
    TIniFile ini(path_);
    EXPECT_EQ(ini.ReadInteger("S", "k", 9), 9);
    EXPECT_EQ(ini.ReadInteger("S", ";k", 9), 9);
}

TEST_F(IniFileTest, IntegerForms) {
    int32_t v = 0;
    struct {
        const char* text;
        bool ok;
        int32_t value;
    } cases[] = {
        {"0", true, 0},
        {"-3", true, -3},
        {"+15", true, 15},
        {" 12 ", true, 12},
        {"0x1F", true, 31},
        {"0X1f", true, 31},
        {"$10", true, 16},
        {"0xFFFFFFFF", true, -1},
        {"-0x10", true, -16},
        {"2147483647", true, 2147483647},
        {"-2147483648", true, -2147483647 - 1},
        {"2147483648", false, 0},
        {"0x100000000", false, 0},
        {"12abc", false, 0},
        {"abc", false, 0},
        {"", false, 0},
        {"-", false, 0},
        {"0x", false, 0},
        {"1.5", false, 0},
        {"true", false, 0},
        {"99999999999999999999999", false, 0},
    };
    for (const auto& c : cases) {
        v = 12345;
        EXPECT_EQ(TIniFile::ParseInteger(c.text, v), c.ok) << c.text;
        if (c.ok)
            EXPECT_EQ(v, c.value) << c.text;
        else
            EXPECT_EQ(v, 12345) << c.text;
    }
}

TEST_F(IniFileTest, UnparsableValuesGiveDefault) {
    Put("[S]\nn=abc\nb=yes\nb2=2\nb0=0\nbneg=-1\nempty=\n");
    TIniFile ini(path_);
    EXPECT_EQ(ini.ReadInteger("S", "n", 77), 77);
    EXPECT_TRUE(ini.ReadBool("S", "b", true));
    EXPECT_FALSE(ini.ReadBool("S", "b", false));
    EXPECT_TRUE(ini.ReadBool("S", "b2", false));
    EXPECT_FALSE(ini.ReadBool("S", "b0", true));
    EXPECT_TRUE(ini.ReadBool("S", "bneg", false));
    EXPECT_EQ(ini.ReadInteger("S", "empty", 5), 5);
    EXPECT_EQ(ini.ReadString("S", "empty", "d"), "");
}

TEST_F(IniFileTest, WritingKeepsTheRestOfTheFile) {
    Put("; top comment\r\n[A]\r\nx=1\r\n; inner\r\ny=2\r\n\r\n[B]\r\nz=3\r\n");
    TIniFile ini(path_);
    EXPECT_TRUE(ini.WriteInteger("a", "X", 10));    // replaced in place
    EXPECT_TRUE(ini.WriteString("A", "new", "v"));  // appended to section A
    EXPECT_TRUE(ini.WriteBool("C", "flag", true));  // new section at the end
    EXPECT_TRUE(ini.WriteBool("B", "off", false));
    EXPECT_EQ(Get(),
              "; top comment\r\n[A]\r\nX=10\r\n; inner\r\ny=2\r\nnew=v\r\n\r\n[B]\r\nz=3\r\n"
              "off=0\r\n[C]\r\nflag=1\r\n");
    TIniFile again(path_);
    EXPECT_EQ(again.ReadInteger("A", "x", 0), 10);
    EXPECT_TRUE(again.ReadBool("C", "FLAG", false));
    EXPECT_FALSE(again.ReadBool("B", "off", true));
}

TEST_F(IniFileTest, CyrillicIsWindows1251OnDisk) {
    TIniFile ini(path_);
    ASSERT_TRUE(ini.WriteString("Секция", "Ключ", "Привет"));
    std::string bytes = Get();
    // "[Секция]" in Windows-1251.
    EXPECT_EQ(bytes.substr(0, 8), "[\xD1\xE5\xEA\xF6\xE8\xFF]");
    EXPECT_NE(bytes.find("\xCF\xF0\xE8\xE2\xE5\xF2"), std::string::npos);
    TIniFile again(path_);
    EXPECT_EQ(again.ReadString("Секция", "Ключ", ""), "Привет");
}

TEST_F(IniFileTest, LineBreaksInValuesCannotAddLines) {
    TIniFile ini(path_);
    ASSERT_TRUE(ini.WriteString("S", "k", "a\r\n[Evil]\nx=1"));
    TIniFile again(path_);
    EXPECT_FALSE(again.SectionExists("Evil"));
    EXPECT_EQ(again.ReadString("S", "k", ""), "a  [Evil] x=1");
}

TEST_F(IniFileTest, DeleteKey) {
    Put("[S]\r\na=1\r\nb=2\r\n");
    TIniFile ini(path_);
    EXPECT_TRUE(ini.DeleteKey("s", "A"));
    EXPECT_EQ(Get(), "[S]\r\nb=2\r\n");
}

TEST_F(IniFileTest, FailedSaveReportsFalseAndKeepsValueInMemory) {
    TIniFile ini((dir_ / "no-such-dir" / "x.ini").string());
    EXPECT_FALSE(ini.WriteInteger("S", "k", 4));
    EXPECT_EQ(ini.ReadInteger("S", "k", 0), 4);
}

TEST_F(IniFileTest, SaveLeavesNoTemporaryFiles) {
    TIniFile ini(path_);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(ini.WriteInteger("S", "k", i));
    int files = 0;
    for (const auto& e : fs::directory_iterator(dir_)) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 1);
}

TEST_F(IniFileTest, BinaryGarbageDoesNotCrash) {
    std::string junk;
    for (int i = 0; i < 4096; ++i) junk.push_back(static_cast<char>((i * 7919) & 0xFF));
    Put(junk + "\n[S]\nk=5\n");
    TIniFile ini(path_);
    EXPECT_EQ(ini.ReadInteger("S", "k", 0), 5);
    EXPECT_TRUE(ini.WriteInteger("S", "k", 6));
    EXPECT_EQ(TIniFile(path_).ReadInteger("S", "k", 0), 6);
}

}  // namespace
}  // namespace telegate
