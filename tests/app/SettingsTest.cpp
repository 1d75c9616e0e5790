#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "app/Settings.h"
#include "platform/IniFile.h"

namespace telegate {
namespace {

namespace fs = std::filesystem;

class SettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "tg-settings-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        exe_ = (dir_ / "station-master.exe").string();
        ini_ = (dir_ / "station-master.ini").string();
        cnf_ = (dir_ / "cnf.ini").string();
    }
    void TearDown() override { fs::remove_all(dir_); }
    static void Put(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string Get(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    fs::path dir_;
    std::string exe_, ini_, cnf_;
};

TEST_F(SettingsTest, NoFilesGiveTheDefaults) {
    TSettings s;
    s.sstID = 9;
    s.IndexReOutTs = 7;
    s.IECauto[3] = false;
    s.IniRead(exe_);
    s.ReadCnf(cnf_);
    EXPECT_EQ(s.sstID, 0);
    EXPECT_EQ(s.ArmDir, "..\\VantorDir\\");
    for (bool a : s.IECauto) EXPECT_TRUE(a);
    EXPECT_TRUE(s.prOprosSend);
    EXPECT_EQ(s.IndexReOutTs, 1);
    EXPECT_EQ(s.IndexReOutTit, 1);
    EXPECT_EQ(s.IndexReOutDeb, 1);
    EXPECT_EQ(s.MBufFlag, 0u);
    EXPECT_FALSE(s.UseWebServer);
    EXPECT_EQ(s.Port_WebServ, 80);
    EXPECT_FALSE(s.Save_Obmen_v_File);
    EXPECT_FALSE(fs::exists(ini_));
    EXPECT_FALSE(fs::exists(cnf_));
}

TEST_F(SettingsTest, ProgramIniIsTheExecutableNameWithIni) {
    Put(ini_,
        "[_Params_]\r\nsstID=12\r\n[_Config_]\r\nArmDir=C:\\Arm\\\r\n[_Set_]\r\nIEC0auto=0\r\n"
        "IEC2auto=0\r\nIEC5auto=0\r\nprOprosSend=0\r\n[_Options_]\r\nIndexReOutTs=0\r\n"
        "IndexReOutTit=4\r\nIndexReOutDeb=-3\r\nMBufFlag=0x8001\r\n");
    Put((dir_ / "other.ini").string(), "[_Params_]\r\nsstID=99\r\n");
    TSettings s;
    s.IniRead(exe_);
    EXPECT_EQ(s.sstID, 12);
    EXPECT_EQ(s.ArmDir, "C:\\Arm\\");
    EXPECT_FALSE(s.IECauto[0]);
    EXPECT_TRUE(s.IECauto[1]);
    EXPECT_FALSE(s.IECauto[2]);
    EXPECT_TRUE(s.IECauto[3]);
    EXPECT_TRUE(s.IECauto[4]);
    EXPECT_FALSE(s.IECauto[5]);
    EXPECT_FALSE(s.prOprosSend);
    EXPECT_EQ(s.IndexReOutTs, 1);  // 0 becomes 1
    EXPECT_EQ(s.IndexReOutTit, 4);
    EXPECT_EQ(s.IndexReOutDeb, -3);  // negative stays
    EXPECT_EQ(s.MBufFlag, 0x8001u);
}

TEST_F(SettingsTest, UnparsableValuesGiveDefaults) {
    Put(ini_,
        "[_Params_]\nsstID=twelve\n[_Set_]\nprOprosSend=no\nIEC1auto=\n[_Options_]\n"
        "IndexReOutTs=1x\nMBufFlag=-1\n");
    TSettings s;
    s.IniRead(exe_);
    EXPECT_EQ(s.sstID, 0);
    EXPECT_TRUE(s.prOprosSend);
    EXPECT_TRUE(s.IECauto[1]);
    EXPECT_EQ(s.IndexReOutTs, 1);
    EXPECT_EQ(s.MBufFlag, 0xFFFFFFFFu);  // every category
}

TEST_F(SettingsTest, AutoConnectChoicePerChannel) {
    TSettings s;
    s.IECauto = {false, true, false, true, false, true};
    EXPECT_FALSE(s.AutoConnectChoice(1));
    EXPECT_TRUE(s.AutoConnectChoice(2));
    EXPECT_FALSE(s.AutoConnectChoice(3));
    EXPECT_FALSE(s.AutoConnectChoice(5));
    EXPECT_TRUE(s.AutoConnectChoice(6));
    s.IECauto[5] = false;
    for (int ch = 6; ch <= 32; ++ch) EXPECT_FALSE(s.AutoConnectChoice(ch)) << ch;
    EXPECT_FALSE(s.AutoConnectChoice(1000));
    EXPECT_FALSE(s.AutoConnectChoice(0));
}

TEST_F(SettingsTest, CnfKeysLiveInSectionsOfTheirOwnName) {
    Put(cnf_,
        "[UseWebServer]\r\nUseWebServer=1\r\n[Port_WebServ]\r\nPort_WebServ=65616\r\n"
        "[Save_Obmen_v_File]\r\nSave_Obmen_v_File=7\r\n");
    TSettings s;
    s.ReadCnf(cnf_);
    EXPECT_TRUE(s.UseWebServer);
    EXPECT_EQ(s.Port_WebServ, 80);  // 65536 + 80: the low 16 bits
    EXPECT_TRUE(s.Save_Obmen_v_File);
}

TEST_F(SettingsTest, CnfKeysInACommonSectionAreIgnored) {
    Put(cnf_, "[cnf]\r\nUseWebServer=1\r\nPort_WebServ=8080\r\nSave_Obmen_v_File=1\r\n");
    TSettings s;
    s.ReadCnf(cnf_);
    EXPECT_FALSE(s.UseWebServer);
    EXPECT_EQ(s.Port_WebServ, 80);
    EXPECT_FALSE(s.Save_Obmen_v_File);
}

TEST_F(SettingsTest, NegativeAndHugePortsKeepLowBits) {
    Put(cnf_, "[Port_WebServ]\nPort_WebServ=-1\n");
    TSettings s;
    s.ReadCnf(cnf_);
    EXPECT_EQ(s.Port_WebServ, 65535);
    EXPECT_EQ(TSettings::PortBits(0x12345678), 0x5678);
}

TEST_F(SettingsTest, WriteCnfRoundTripAndKeepsOtherLines) {
    Put(cnf_, "; written by hand\r\n[Extra]\r\nkeep=1\r\n");
    TSettings s;
    s.UseWebServer = true;
    s.Port_WebServ = 8081;
    s.Save_Obmen_v_File = false;
    ASSERT_TRUE(s.WriteCnf(cnf_));
    EXPECT_EQ(Get(cnf_),
              "; written by hand\r\n[Extra]\r\nkeep=1\r\n[UseWebServer]\r\nUseWebServer=1\r\n"
              "[Port_WebServ]\r\nPort_WebServ=8081\r\n[Save_Obmen_v_File]\r\n"
              "Save_Obmen_v_File=0\r\n");
    TSettings r;
    r.ReadCnf(cnf_);
    EXPECT_TRUE(r.UseWebServer);
    EXPECT_EQ(r.Port_WebServ, 8081);
    EXPECT_FALSE(r.Save_Obmen_v_File);
}

// The listen address and the trace format have sections of their own names; an
// installation that never set them keeps a "cnf.ini" without them.
TEST_F(SettingsTest, BindAddressAndTraceFormat) {
    struct Case {
        const char* file;
        const char* bind;      // as read
        const char* listenOn;  // WebBindAddress()
        bool decoded;
    };
    const Case cases[] = {
        {"", "", "0.0.0.0", false},
        {"[Bind_WebServ]\r\nBind_WebServ=127.0.0.1\r\n", "127.0.0.1", "127.0.0.1", false},
        {"[Bind_WebServ]\r\nBind_WebServ=  ::1 \r\n", "::1", "::1", false},
        {"[Bind_WebServ]\r\nBind_WebServ=\r\n[Trace_Decoded]\r\nTrace_Decoded=1\r\n", "", "0.0.0.0",
         true},
        {"[cnf]\r\nBind_WebServ=127.0.0.1\r\nTrace_Decoded=1\r\n", "", "0.0.0.0", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        Put(cnf_, c.file);
        TSettings s;
        s.ReadCnf(cnf_);
        EXPECT_EQ(s.WebBindAddress(), c.listenOn);
        EXPECT_EQ(s.Bind_WebServ.find_first_not_of(' ') == std::string::npos, *c.bind == 0);
        EXPECT_EQ(s.Trace_Decoded, c.decoded);
    }
    // Unset keys are not added; a set one is, and clearing it later keeps the key empty.
    Put(cnf_, "");
    TSettings s;
    ASSERT_TRUE(s.WriteCnf(cnf_));
    EXPECT_EQ(Get(cnf_).find("Bind_WebServ"), std::string::npos);
    EXPECT_EQ(Get(cnf_).find("Trace_Decoded"), std::string::npos);
    s.Bind_WebServ = "127.0.0.1";
    ASSERT_TRUE(s.WriteCnf(cnf_));
    EXPECT_NE(Get(cnf_).find("[Bind_WebServ]\r\nBind_WebServ=127.0.0.1\r\n"), std::string::npos);
    s.Bind_WebServ.clear();
    ASSERT_TRUE(s.WriteCnf(cnf_));
    EXPECT_NE(Get(cnf_).find("[Bind_WebServ]\r\nBind_WebServ=\r\n"), std::string::npos);
    TSettings r;
    r.ReadCnf(cnf_);
    EXPECT_EQ(r.WebBindAddress(), "0.0.0.0");
}

TEST_F(SettingsTest, TemporaryTraceSwitchIsNotStored) {
    Put(cnf_, "[Save_Obmen_v_File]\nSave_Obmen_v_File=0\n");
    TSettings s;
    s.ReadCnf(cnf_);
    s.Save_Obmen_v_File = true;  // the menu's temporary switch changes memory only
    TSettings next;
    next.ReadCnf(cnf_);
    EXPECT_FALSE(next.Save_Obmen_v_File);
}

TEST_F(SettingsTest, WriteCnfFailureIsReported) {
    TSettings s;
    EXPECT_FALSE(s.WriteCnf((dir_ / "missing" / "cnf.ini").string()));
}

// A file in the way that cannot be read gives the defaults and a text for the
// operator naming it; the device dialog's save then fails instead of replacing it.
TEST_F(SettingsTest, UnreadableFilesGiveDefaultsAndAreNeverReplaced) {
    struct TCase {
        const char* what;
        bool cnf;
    } cases[] = {{"program ini", false}, {"cnf.ini", true}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string& path = c.cnf ? cnf_ : ini_;
        fs::create_directory(path);
        fs::create_directory(path + "/inside");  // a folder with content, as found
        TSettings s;
        s.IndexReOutTs = 5;
        s.Port_WebServ = 8080;
        s.UseWebServer = true;
        const std::string problem = c.cnf ? s.ReadCnf(cnf_) : s.IniRead(exe_);
        EXPECT_NE(problem.find(path), std::string::npos) << problem;
        if (c.cnf) {
            EXPECT_EQ(s.Port_WebServ, 80);
            EXPECT_FALSE(s.UseWebServer);
            EXPECT_FALSE(s.WriteCnf(cnf_));
        } else {
            EXPECT_EQ(s.IndexReOutTs, 1);
        }
        EXPECT_TRUE(fs::is_directory(path + "/inside"));
        fs::remove_all(path);
        // Readable again: no text.
        EXPECT_EQ(c.cnf ? s.ReadCnf(cnf_) : s.IniRead(exe_), "");
    }
}

}  // namespace
}  // namespace telegate
