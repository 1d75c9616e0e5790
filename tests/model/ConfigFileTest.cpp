#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "model/ConfigFile.h"
#include "support/CodePage.h"
#include "support/Notifier.h"
#include "support/TextFields.h"

namespace telegate {
namespace {

namespace fs = std::filesystem;

const std::string kGolden = std::string(TELEGATE_TEST_DATA) + "/golden/iec104.cfg";

class TempDir {
  public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "cfg_test_XXXXXX").string();
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        path_ = ::mkdtemp(buf.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string File(const std::string& name) const { return (fs::path(path_) / name).string(); }

  private:
    std::string path_;
};

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

class ConfigFileTest : public ::testing::Test {
  protected:
    std::unique_ptr<TStationTable> t_ = std::make_unique<TStationTable>();
    TRecordingNotifier notifier_;
    TempDir dir_;

    // Reads text given as UTF-8 lines through a Windows-1251 CR LF file.
    void ReadLines(const std::string& utf8) {
        std::string crlf;
        for (char c : utf8) {
            if (c == '\n') crlf += '\r';
            crlf += c;
        }
        const std::string file = dir_.File("in.cfg");
        WriteBytes(file, Utf8ToCp1251(crlf));
        ReadConfigFile(file, *t_, notifier_);
    }
};

void ExpectGoldenTable(const TStationTable& t) {
    ASSERT_EQ(t.Kol_KP, 2);
    const T_KP& a = t.KP_arr[1];
    EXPECT_EQ(a.NameKP, "ПС Северная");
    EXPECT_EQ(a.IP, "127.0.0.1");
    EXPECT_EQ(a.ASDU_Adr, 3);
    EXPECT_EQ(a.Port, 0);  // not read
    EXPECT_TRUE(a.PereschetTI);
    EXPECT_FALSE(a.Time_To_OPC);
    EXPECT_EQ(a.Popravka_Time, -3);
    EXPECT_EQ(a.OPROS_KP, 5);
    ASSERT_EQ(a.Kol_TS, 2);
    EXPECT_EQ(a.TS_arr[1].NameTS, "Выключатель Q1");
    EXPECT_EQ(a.TS_arr[1].AdrASDU, 3);
    EXPECT_EQ(a.TS_arr[1].AdrIOA, 1001);
    EXPECT_EQ(a.TS_arr[1].AdrASDU_TU, 3);
    EXPECT_EQ(a.TS_arr[1].AdrIOA_TU, 2001);
    EXPECT_EQ(a.TS_arr[1].NomerKP, 0);
    EXPECT_EQ(a.TS_arr[2].NameTS, "Насос, главный");
    EXPECT_EQ(a.TS_arr[2].AdrASDU_TU, 0);
    ASSERT_EQ(a.Kol_TI, 2);
    EXPECT_EQ(a.TI_arr[1].NameTI, "Напряжение Uab");
    EXPECT_EQ(a.TI_arr[1].AdrIOA, 4001);
    EXPECT_EQ(a.TI_arr[1].Min_Eng_Diap, 0.0);
    EXPECT_EQ(a.TI_arr[1].Max_Eng_Diap, 100.0);
    EXPECT_EQ(a.TI_arr[1].Max_TM_Diap, 32767.0);
    EXPECT_EQ(a.TI_arr[2].Min_Eng_Diap, -0.5);
    EXPECT_EQ(a.TI_arr[2].Max_Eng_Diap, 1e20);
    EXPECT_EQ(a.TI_arr[2].Min_TM_Diap, 0.00001);
    EXPECT_EQ(a.TI_arr[2].Max_TM_Diap, 1.5e-7);
    const T_KP& b = t.KP_arr[2];
    EXPECT_EQ(b.NameKP, "Подстанция №2");
    EXPECT_EQ(b.ASDU_Adr, 7);
    EXPECT_FALSE(b.PereschetTI);
    EXPECT_TRUE(b.Time_To_OPC);
    EXPECT_EQ(b.Kol_TS, 0);
    ASSERT_EQ(b.Kol_TI, 1);
    EXPECT_EQ(b.TI_arr[1].NameTI, "Частота");
    EXPECT_EQ(b.TI_arr[1].Min_Eng_Diap, 45.0);
    EXPECT_EQ(b.TI_arr[1].Max_TM_Diap, 65535.0);
}

TEST_F(ConfigFileTest, GoldenFileReadsAndWritesBackByteForByte) {
    ReadConfigFile(kGolden, *t_, notifier_);
    ExpectGoldenTable(*t_);
    EXPECT_TRUE(notifier_.errors.empty());
    const std::string golden = ReadBytes(kGolden);
    EXPECT_EQ(Utf8ToCp1251(FormatConfigText(*t_)), golden);
    const std::string out = dir_.File("out.cfg");
    WriteConfigFile(out, *t_);
    EXPECT_EQ(ReadBytes(out), golden);
}

TEST_F(ConfigFileTest, LineFeedOnlyFileReadsTheSame) {
    std::string lf;
    for (char c : ReadBytes(kGolden))
        if (c != '\r') lf += c;
    const std::string file = dir_.File("lf.cfg");
    WriteBytes(file, lf);
    ReadConfigFile(file, *t_, notifier_);
    ExpectGoldenTable(*t_);
}

TEST_F(ConfigFileTest, WrittenTableReadsBackTheSame) {
    T_KP& kp = t_->KP_arr[1];
    kp.NameKP = "Тест";
    kp.IP = "127.0.0.1";
    kp.Port = 2404;
    kp.ASDU_Adr = 65535;
    kp.Popravka_Time = -11;
    kp.OPROS_KP = 60;
    kp.Kol_TS = 3;
    kp.Kol_TI = 2;
    kp.TS_arr[3].NameTS = "a,b;c";
    kp.TS_arr[3].AdrIOA = 16777215;
    kp.TI_arr[2].NameTI = "I";
    kp.TI_arr[2].Min_TM_Diap = -32768;
    kp.TI_arr[2].Max_Eng_Diap = 0.1;
    kp.TI_arr[2].Min_Eng_Diap = 1.0 / 3.0;
    t_->Kol_KP = 1;
    const std::string file = dir_.File("rt.cfg");
    WriteConfigFile(file, *t_);
    auto back = std::make_unique<TStationTable>();
    ReadConfigFile(file, *back, notifier_);
    ASSERT_EQ(back->Kol_KP, 1);
    const T_KP& r = back->KP_arr[1];
    EXPECT_EQ(r.NameKP, "Тест");
    EXPECT_EQ(r.ASDU_Adr, 65535);
    EXPECT_EQ(r.Port, 0);
    EXPECT_EQ(r.Popravka_Time, -11);
    EXPECT_EQ(r.OPROS_KP, 60);
    EXPECT_EQ(r.Kol_TS, 3);
    EXPECT_EQ(r.TS_arr[3].NameTS, "a,b;c");
    EXPECT_EQ(r.TS_arr[3].AdrIOA, 16777215);
    EXPECT_EQ(r.Kol_TI, 2);
    EXPECT_EQ(r.TI_arr[2].Min_TM_Diap, -32768.0);
    EXPECT_EQ(r.TI_arr[2].Max_Eng_Diap, 0.1);
    EXPECT_NEAR(r.TI_arr[2].Min_Eng_Diap, 1.0 / 3.0, 1e-15);
    EXPECT_NE(ReadBytes(file).find(";PORT,65535,1,\xD2\xE5\xF1\xF2,127.0.0.1,2404\r\n"),
              std::string::npos);
}

TEST_F(ConfigFileTest, CommentsOnlyGivesNoStations) {
    t_->Kol_KP = 4;
    ReadLines(";kol,4\n\n   \n  ; KP,1,1,x,y\n\t\n");
    EXPECT_EQ(t_->Kol_KP, 0);
}

TEST_F(ConfigFileTest, FieldRules) {
    ReadLines(
        "PER,1\nTS,1001,1,,\"early\",8272,1,1\n"  // before the first station: ignored
        "KP,1,1,A,127.0.0.1\nKP,2,1,B,127.0.0.1\n"
        "PER,yes\nTIM,1\nPOPR,-3\nOPROS,x\n"
        "TS,1005,9,,\"moved\",8272,,,,\n"  // names station 1005, belongs to station 2
        "TIT,1002,2,,\"short\",8280,4,5,1,2\n"
        "TI,1002,2,,\"comma\",8280,4,6,15,2.25,1,2,1,2,-1,1\n"
        "kp,3,1,C,127.0.0.1\nSST,1,2,3\nVER,5\n"
        "TS,1,1,,\"\"\"\",8272,1,2,3,4,garbage,garbage,more\n");
    ASSERT_EQ(t_->Kol_KP, 2);
    EXPECT_FALSE(t_->KP_arr[1].PereschetTI);
    EXPECT_EQ(t_->KP_arr[1].Kol_TS, 0);
    const T_KP& b = t_->KP_arr[2];
    EXPECT_FALSE(b.PereschetTI);
    EXPECT_TRUE(b.Time_To_OPC);
    EXPECT_EQ(b.Popravka_Time, -3);
    EXPECT_EQ(b.OPROS_KP, 0);
    ASSERT_EQ(b.Kol_TS, 2);
    EXPECT_EQ(b.TS_arr[1].NameTS, "moved");
    EXPECT_EQ(b.TS_arr[1].AdrASDU, 0);
    EXPECT_EQ(b.TS_arr[1].AdrIOA_TU, 0);
    EXPECT_EQ(b.TS_arr[2].NameTS, "\"\"");  // one pair of quotes removed only
    EXPECT_EQ(b.TS_arr[2].AdrIOA_TU, 4);
    ASSERT_EQ(b.Kol_TI, 2);
    EXPECT_EQ(b.TI_arr[1].Min_Eng_Diap, 1.0);
    EXPECT_EQ(b.TI_arr[1].Max_Eng_Diap, 2.0);
    EXPECT_EQ(b.TI_arr[1].Min_TM_Diap, 0.0);
    EXPECT_EQ(b.TI_arr[1].Max_TM_Diap, 0.0);
    EXPECT_EQ(b.TI_arr[2].Min_Eng_Diap, 15.0);
    EXPECT_EQ(b.TI_arr[2].Max_Eng_Diap, 2.25);
    EXPECT_EQ(b.TI_arr[2].Min_TM_Diap, -1.0);
    // A decimal comma needs quotes to survive the split, and quotes make it no number.
    EXPECT_THROW(ReadConfigText("KP,1,1,A,B\nTIT,1,1,,m,8280,1,2,\"1,5\",2\n", *t_), EConvertError);
    EXPECT_EQ(t_->KP_arr[1].Kol_TI, 0);
}

TEST_F(ConfigFileTest, StationLineKeepsFieldsItDoesNotCarry) {
    t_->KP_arr[1].PereschetTI = true;
    t_->KP_arr[1].OPROS_KP = 9;
    t_->KP_arr[1].Kol_TS = 40;
    ReadLines("KP,5,1,N,127.0.0.1\n");
    EXPECT_TRUE(t_->KP_arr[1].PereschetTI);
    EXPECT_EQ(t_->KP_arr[1].OPROS_KP, 9);
    EXPECT_EQ(t_->KP_arr[1].Kol_TS, 0);
}

TEST_F(ConfigFileTest, ThirtyThirdStationEndsTheLoad) {
    std::string text;
    for (int n = 1; n <= 34; ++n) {
        text += "KP," + std::to_string(n) + ",1,S" + std::to_string(n) + ",127.0.0.1\n";
        text += "TS," + std::to_string(1000 + n) + ",1,,\"t\",8272,1,1,0,0,0,0\n";
    }
    ReadLines(text);
    EXPECT_EQ(t_->Kol_KP, 32);
    EXPECT_EQ(t_->KP_arr[32].NameKP, "S32");
    EXPECT_EQ(t_->KP_arr[32].Kol_TS, 1);
    EXPECT_EQ(t_->KP_arr[33].NameKP, "");
    EXPECT_EQ(t_->KP_arr[33].Kol_TS, 0);
}

TEST_F(ConfigFileTest, NoMoreThan7000TagsOfAKind) {
    std::string text = "KP,1,1,A,127.0.0.1\n";
    for (int k = 1; k <= 7003; ++k) {
        text += "TS,1001,1,,\"s\",8272,1," + std::to_string(k) + ",0,0,0,0\n";
        text += "TIT,1001,1,,\"m\",8280,1," + std::to_string(k) + ",0,1,0,1,0,1,0,1\n";
    }
    text += "KP,2,1,B,127.0.0.1\nTS,1002,2,,\"after\",8272,2,2\n";
    ReadConfigText(text, *t_);
    ASSERT_EQ(t_->Kol_KP, 2);
    EXPECT_EQ(t_->KP_arr[1].Kol_TS, 7000);
    EXPECT_EQ(t_->KP_arr[1].Kol_TI, 7000);
    EXPECT_EQ(t_->KP_arr[1].TS_arr[7000].AdrIOA, 7000);
    EXPECT_EQ(t_->KP_arr[1].TI_arr[7000].AdrIOA, 7000);
    EXPECT_EQ(t_->KP_arr[2].Kol_TS, 1);
    EXPECT_EQ(t_->KP_arr[2].TS_arr[1].NameTS, "after");
}

// Every numeric field that must convert, spoiled in turn: the load ends with a
// conversion error, the good lines before stay, the bad line adds nothing.
TEST_F(ConfigFileTest, NonNumberInEveryNumericFieldEndsTheLoad) {
    const std::string good = "KP,1,1,A,127.0.0.1\nTS,1001,1,,\"ok\",8272,1,1,0,0,0,0\n";
    struct Case {
        std::string line;
        std::vector<int> fields;  // the fields that must be numbers
        std::vector<int> emptyOk;
    };
    const std::vector<Case> cases = {
        {"KP,3,1,B,127.0.0.1", {1, 2}, {}},
        {"TS,1001,1,,\"x\",8272,1,2,3,4,0,0", {1, 2, 5, 6, 7, 8, 9}, {6, 7, 8, 9}},
        {"TIT,1001,1,,\"x\",8280,1,2,0,1,0,1,0,1,0,1",
         {1, 2, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
         {6, 7, 8, 9, 10, 11, 12, 13, 14, 15}},
    };
    for (const Case& c : cases) {
        TSplitArray s(20, ',');
        s.SplitString(c.line);
        for (int f : c.fields) {
            for (const std::string bad :
                 {"x1", "1x", "", "1.5.5", "0x10", "\xC0\xC1", "99999999999"}) {
                if (bad.empty() && std::count(c.emptyOk.begin(), c.emptyOk.end(), f)) continue;
                // Integer fields reject "1.5.5" and so do reals; "99999999999" is a
                // valid real.
                if (bad == "99999999999" && f >= 8 && c.line[1] == 'I') continue;
                std::string line;
                for (int i = 0; i < s.nvar; ++i)
                    line += (i ? "," : "") + (i == f ? bad : s.GetField(i));
                TStationTable* t = t_.get();  // the reader resets what it uses
                EXPECT_THROW(ReadConfigText(good + line + "\nKP,9,1,Z,127.0.0.1\n", *t),
                             EConvertError)
                    << line;
                EXPECT_EQ(t->Kol_KP, 1) << line;
                EXPECT_EQ(t->KP_arr[1].Kol_TS, 1) << line;
                EXPECT_EQ(t->KP_arr[1].Kol_TI, 0) << line;
            }
        }
    }
}

// Every kind of line the load cannot take in is named (file, line, field), marks
// the table incomplete, and keeps the file from being written over.
TEST_F(ConfigFileTest, LinesNotTakenInAreNamedAndTheTableIsNeverWrittenBack) {
    const std::string head = "KP,1,1,A,127.0.0.1\nTS,1001,1,,\"ok\",8272,1,1,0,0,0,0\n";
    const std::string tail = "KP,2,1,B,127.0.0.1\nTS,1002,2,,\"later\",8272,2,5,0,0,0,0\n";
    std::string manyTs;
    for (int k = 1; k <= 7001; ++k)
        manyTs += "TS,1001,1,,\"s\",8272,1," + std::to_string(k) + ",0,0,0,0\n";
    std::string manyKp;
    for (int n = 1; n <= 33; ++n) manyKp += "KP," + std::to_string(n) + ",1,S,127.0.0.1\n";
    struct Case {
        std::string text;
        int kolKP;            // stations in the table afterwards
        bool throws;          // the load ended with a conversion error
        std::string problem;  // the first problem text, from the line number on
    };
    const std::vector<Case> cases = {
        {head + "TS,1001,1,,\"x\",8272,1,$0A,0,0,0,0\n" + tail, 1, true,
         "строка 3, поле 7: '$0A' is not a valid integer; эта строка и все следующие не "
         "прочитаны"},
        {head + "TIT,1001,1,,\"x\",8280,1,2,0,1,0,1,0,1,0,1e\n" + tail, 1, true,
         "строка 3, поле 15: "},
        {head + "KP,x,1,C,127.0.0.1\n" + tail, 1, true, "строка 3, поле 1: "},
        {"; a comment\n\nPER,1\n" + head + tail, 2, false,
         "строка 3: строка PER до первой строки KP не прочитана"},
        {"KP,1,1,A,127.0.0.1\n" + manyTs + "TIT,1001,1,,\"m\",8280,1,1\n" + tail, 2, false,
         "строка 7002: у КП A больше 7000 ТС; не прочитано строк: 1"},
        {manyKp + "TS,1033,1,,\"x\",8272,1,1\n", 32, false,
         "строка 33: больше 32 КП; эта строка и все следующие не прочитаны"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.problem);
        const std::string file = dir_.File("iec104.cfg");
        WriteBytes(file, c.text);
        if (c.throws)
            EXPECT_THROW(ReadConfigFile(file, *t_, notifier_), EConvertError);
        else
            EXPECT_NO_THROW(ReadConfigFile(file, *t_, notifier_));
        EXPECT_EQ(t_->Kol_KP, c.kolKP);
        ASSERT_FALSE(t_->LoadProblems.empty());
        EXPECT_EQ(t_->LoadProblems[0].rfind(file + ", " + c.problem, 0), 0u) << t_->LoadProblems[0];
        // Written over, the file would lose lines: it is refused and stays as it was.
        try {
            WriteConfigFile(file, *t_);
            ADD_FAILURE() << "an incomplete table was written";
        } catch (const EConfigIncomplete& e) {
            EXPECT_NE(std::string(e.what()).find(file + " не перезаписан"), std::string::npos);
        }
        EXPECT_EQ(ReadBytes(file), c.text);
        // The same lines read as text name the same problem.
        auto again = std::make_unique<TStationTable>();
        try {
            ReadConfigText(c.text, *again, file);
        } catch (const EConvertError&) {
        }
        EXPECT_EQ(again->LoadProblems, t_->LoadProblems);
    }
    // A complete load clears the mark, and the table can be written again.
    WriteBytes(dir_.File("iec104.cfg"), head + tail);
    ReadConfigFile(dir_.File("iec104.cfg"), *t_, notifier_);
    EXPECT_TRUE(t_->LoadProblems.empty());
    EXPECT_NO_THROW(WriteConfigFile(dir_.File("iec104.cfg"), *t_));
    // A file that cannot be opened leaves an empty table that must not replace it.
    fs::create_directory(dir_.File("dir.cfg"));
    ReadConfigFile(dir_.File("dir.cfg"), *t_, notifier_);
    EXPECT_EQ(t_->LoadProblems,
              std::vector<std::string>{dir_.File("dir.cfg") + ": файл не открывается для чтения"});
}

TEST_F(ConfigFileTest, EmptyOptionalFieldsReadAsZero) {
    ReadConfigText("KP,1,1,,\nTS,1001,1,,x,8272\nTIT,1001,1,,y,8280,,,,,,,,,,\n", *t_);
    ASSERT_EQ(t_->Kol_KP, 1);
    EXPECT_EQ(t_->KP_arr[1].NameKP, "");
    EXPECT_EQ(t_->KP_arr[1].TS_arr[1].NameTS, "x");
    EXPECT_EQ(t_->KP_arr[1].TS_arr[1].AdrIOA, 0);
    EXPECT_EQ(t_->KP_arr[1].Kol_TI, 1);
    EXPECT_EQ(t_->KP_arr[1].TI_arr[1].Max_TM_Diap, 0.0);
}

TEST_F(ConfigFileTest, UnbalancedQuotes) {
    // The line ends inside quotes: the quoted field and the rest are lost, so the
    // flag word is missing.
    EXPECT_THROW(ReadConfigText("KP,1,1,A,B\nTS,1001,1,,\"abc,8272,1,2\n", *t_), EConvertError);
    EXPECT_EQ(t_->KP_arr[1].Kol_TS, 0);
    ReadConfigText("KP,1,1,\"A,127.0.0.1\nTS,1001,1,,\"q\"\"\",8272,1,2\n", *t_);
    EXPECT_EQ(t_->Kol_KP, 1);
    EXPECT_EQ(t_->KP_arr[1].NameKP, "");
    EXPECT_EQ(t_->KP_arr[1].TS_arr[1].NameTS, "q\"\"");
}

TEST_F(ConfigFileTest, CodePagesAndStrayUtf8) {
    // Windows-1251 "Щ" (D9), the unassigned 98, and the UTF-8 octets of "П" (D0 9F),
    // which read as two Windows-1251 characters.
    WriteBytes(dir_.File("cp.cfg"), "KP,1,1,\xD9\x98\xD0\x9F,127.0.0.1\r\n");
    ReadConfigFile(dir_.File("cp.cfg"), *t_, notifier_);
    ASSERT_EQ(t_->Kol_KP, 1);
    EXPECT_EQ(t_->KP_arr[1].NameKP, "Щ" + std::string(kCp1251UnassignedUtf8) + "Рџ");
    EXPECT_TRUE(IsValidUtf8(FormatConfigText(*t_)));
}

// A file whose names hold every octet a name can hold is written back octet for
// octet (the operator's close rewrites the file).
TEST_F(ConfigFileTest, EveryNameOctetIsWrittenBackUnchanged) {
    std::string name = "N";
    for (int c = 0x21; c < 256; ++c)
        if (c != ',' && c != '"') name += static_cast<char>(c);
    name += "N";
    auto table = std::make_unique<TStationTable>();
    table->Kol_KP = 1;
    table->KP_arr[1].NameKP = "x";
    table->KP_arr[1].IP = "127.0.0.1";
    table->KP_arr[1].Kol_TS = 1;
    table->KP_arr[1].TS_arr[1].NameTS = "y";
    WriteConfigFile(dir_.File("src.cfg"), *table);  // the layout the writer makes
    std::string bytes = ReadBytes(dir_.File("src.cfg"));
    int replaced = 0;
    for (const std::string placeholder : {",1,x,", "\"y\""}) {
        for (size_t at = bytes.find(placeholder); at != std::string::npos;
             at = bytes.find(placeholder, at + name.size())) {
            bytes.replace(at + placeholder.size() - 2, 1, name);
            ++replaced;
        }
    }
    ASSERT_EQ(replaced, 3) << bytes;  // KP line, its comment, the TS line
    WriteBytes(dir_.File("src.cfg"), bytes);
    ReadConfigFile(dir_.File("src.cfg"), *t_, notifier_);
    ASSERT_EQ(t_->Kol_KP, 1);
    WriteConfigFile(dir_.File("back.cfg"), *t_);
    EXPECT_EQ(ReadBytes(dir_.File("back.cfg")), bytes);
}

TEST_F(ConfigFileTest, VeryLongLines) {
    const std::string name(1 << 20, 'n');
    std::string text = "KP,1,1,A,127.0.0.1\r\nTS,1001,1,,\"" + name + "\",8272,1,2,0,0\r\n";
    text += std::string(1 << 20, ',') + "\r\n";  // a million separators, no keyword
    text += "TS,1001,1,,\"b\",8272,1,3,0,0\r\n";
    WriteBytes(dir_.File("long.cfg"), text);
    ReadConfigFile(dir_.File("long.cfg"), *t_, notifier_);
    ASSERT_EQ(t_->KP_arr[1].Kol_TS, 2);
    EXPECT_EQ(t_->KP_arr[1].TS_arr[1].NameTS, name);
    EXPECT_EQ(t_->KP_arr[1].TS_arr[2].AdrIOA, 3);
}

TEST_F(ConfigFileTest, BinaryGarbageNeverBreaksTheTable) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 40; ++round) {
        std::string bytes;
        const std::vector<std::string> pieces = {"KP,",  "TS,",  "TIT,", ",", "\"",  "\r\n",
                                                 "\n",   "1",    "-",    ".", "PER", "\0",
                                                 "\xFF", "8272", "TI,1", " "};
        for (int i = 0; i < 3000; ++i) {
            if (rng() % 3 == 0)
                bytes += static_cast<char>(rng() % 256);
            else
                bytes += pieces[rng() % pieces.size()];
        }
        WriteBytes(dir_.File("g.cfg"), bytes);
        try {
            ReadConfigFile(dir_.File("g.cfg"), *t_, notifier_);
        } catch (const EConvertError&) {
        }
        ASSERT_GE(t_->Kol_KP, 0);
        ASSERT_LE(t_->Kol_KP, 32);
        for (int n = 1; n <= t_->Kol_KP; ++n) {
            ASSERT_LE(t_->KP_arr[n].Kol_TS, 7000);
            ASSERT_LE(t_->KP_arr[n].Kol_TI, 7000);
        }
        EXPECT_TRUE(IsValidUtf8(FormatConfigText(*t_)));
    }
    EXPECT_TRUE(notifier_.errors.empty());
}

TEST_F(ConfigFileTest, MissingFileLeavesTheTableAlone) {
    t_->Kol_KP = 3;
    ReadConfigFile(dir_.File("absent.cfg"), *t_, notifier_);
    EXPECT_EQ(t_->Kol_KP, 3);
    EXPECT_TRUE(notifier_.errors.empty());
}

TEST_F(ConfigFileTest, UnreadableFileEmptiesTheTableWithAMessage) {
    t_->Kol_KP = 3;
    fs::create_directory(dir_.File("dir.cfg"));
    ReadConfigFile(dir_.File("dir.cfg"), *t_, notifier_);
    EXPECT_EQ(t_->Kol_KP, 0);
    ASSERT_EQ(notifier_.errors.size(), 1u);
    EXPECT_EQ(notifier_.errors[0], "Чтение списка сигналов 000 Error");
    if (::geteuid() != 0) {
        const std::string locked = dir_.File("locked.cfg");
        WriteBytes(locked, "KP,1,1,A,B\r\n");
        ::chmod(locked.c_str(), 0);
        t_->Kol_KP = 3;
        ReadConfigFile(locked, *t_, notifier_);
        EXPECT_EQ(t_->Kol_KP, 0);
        EXPECT_EQ(notifier_.errors.size(), 2u);
    }
}

TEST_F(ConfigFileTest, FailedWriteRaisesAndKeepsTheOldFile) {
    ReadConfigFile(kGolden, *t_, notifier_);
    EXPECT_THROW(WriteConfigFile(dir_.File("none/x.cfg"), *t_), EInOutError);  // no such folder
    fs::create_directory(dir_.File("dir"));
    EXPECT_THROW(WriteConfigFile(dir_.File("dir"), *t_), EInOutError);  // a folder
    EXPECT_TRUE(fs::is_directory(dir_.File("dir")));
    // The temporary name beside a 250-character target is too long to create.
    const std::string target = dir_.File(std::string(246, 'c') + ".cfg");
    WriteBytes(target, "old");
    EXPECT_THROW(WriteConfigFile(target, *t_), EInOutError);
    EXPECT_EQ(ReadBytes(target), "old");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.File("")), fs::directory_iterator()), 2);
}

TEST(FormatRealGeneral, GeneralFormatWithFifteenDigits) {
    EXPECT_EQ(FormatRealGeneral(0.0), "0");
    EXPECT_EQ(FormatRealGeneral(-0.0), "0");
    EXPECT_EQ(FormatRealGeneral(100.0), "100");
    EXPECT_EQ(FormatRealGeneral(0.5), "0.5");
    EXPECT_EQ(FormatRealGeneral(-12.25), "-12.25");
    EXPECT_EQ(FormatRealGeneral(1e20), "1E20");
    EXPECT_EQ(FormatRealGeneral(-2.5e-9), "-2.5E-9");
    EXPECT_EQ(FormatRealGeneral(1.5e-7), "1.5E-7");
    EXPECT_EQ(FormatRealGeneral(0.00001), "0.00001");
    EXPECT_EQ(FormatRealGeneral(9.99e-6), "9.99E-6");
    EXPECT_EQ(FormatRealGeneral(0.1), "0.1");
    EXPECT_EQ(FormatRealGeneral(1.0 / 3.0), "0.333333333333333");
    EXPECT_EQ(FormatRealGeneral(2.0 / 3.0), "0.666666666666667");
    EXPECT_EQ(FormatRealGeneral(123456789012345.0), "123456789012345");
    EXPECT_EQ(FormatRealGeneral(1e15), "1E15");
    EXPECT_EQ(FormatRealGeneral(999999999999999.9), "1E15");  // rounds up to 16 digits
    EXPECT_EQ(FormatRealGeneral(32767.0), "32767");
    EXPECT_EQ(FormatRealGeneral(-0.001), "-0.001");
    EXPECT_EQ(FormatRealGeneral(1234567.891), "1234567.891");
    EXPECT_EQ(FormatRealGeneral(0.1 + 0.2), "0.3");  // 17 digits exactly, 15 written
    EXPECT_EQ(FormatRealGeneral(12345678901234567.0), "1.23456789012346E16");
    EXPECT_EQ(FormatRealGeneral(-1e-300), "-1E-300");
}

}  // namespace
}  // namespace telegate
