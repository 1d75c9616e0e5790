#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "model/Registries.h"
#include "model/StationTable.h"
#include "model/Tags.h"
#include "support/CodePage.h"
#include "support/ErrorCatalogue.h"
#include "support/ErrorReport.h"
#include "support/Journal.h"
#include "support/Notifier.h"
#include "support/TextFields.h"

namespace telegate {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Drain(TMessBuff& j) {
    std::vector<std::string> out;
    std::string s;
    while (j.Get(s)) out.push_back(s);
    return out;
}

// ---------------------------------------------------------------------------------
// Ranges and scaling

TEST(TitBoundTest, RawToEngIsLinearAndNotClamped) {
    const TTitBound a(true, 0, 4095, 0, 10, 0, 10, 0, 10);
    EXPECT_NEAR(RawToEng(&a, 2048), 5.001221, 1e-6);
    EXPECT_NEAR(RawToEng(&a, 5000), 12.210012, 1e-6);
    const TTitBound b(true, -32768, 32767, -100, 100, 0, 0, 0, 0);
    EXPECT_NEAR(RawToEng(&b, 0), 0.001526, 1e-6);
    const TTitBound flat(true, 100, 100, 0, 10, 0, 0, 0, 0);
    EXPECT_EQ(RawToEng(&flat, 42.5), 42.5);
    const TTitBound reversed(true, 100, 0, 0, 10, 0, 0, 0, 0);
    EXPECT_EQ(RawToEng(&reversed, 42.5), 42.5);
    const TTitBound down(true, 0, 100, 10, 0, 0, 0, 0, 0);
    EXPECT_DOUBLE_EQ(RawToEng(&down, 25), 7.5);
    EXPECT_EQ(RawToEng(nullptr, -3.25), -3.25);
}

TEST(TitBoundTest, RecordHoldsItsValuesOnlyUnderControl) {
    const TTitBound a(true, 1, 2, 3, 4, 5, 6, 7, 8);
    EXPECT_EQ(a.RawMin, 1);
    EXPECT_EQ(a.EngMax, 4);
    EXPECT_EQ(a.PredMax, 6);
    EXPECT_EQ(a.AvarMax, 8);
    const TTitBound z(false, 1, 2, 3, 4, 5, 6, 7, 8);
    EXPECT_EQ(z.RawMin, 0);
    EXPECT_EQ(z.RawMax, 0);
    EXPECT_EQ(z.AvarMax, 0);
}

TEST(TitBoundTest, TableIsFullAt60000) {
    TTitBoundTable t;
    const TTitBound first(true, 0, 10, 0, 1, 0, 0, 0, 0);
    const TTitBound* p = t.Add(first);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(t.Get(1), p);
    for (int i = 2; i <= TTitBoundTable::MAXTITARM; ++i) ASSERT_NE(t.Add(TTitBound()), nullptr);
    EXPECT_EQ(t.Kol_TitBound, 60000);
    EXPECT_EQ(t.Add(TTitBound()), nullptr);
    EXPECT_EQ(t.Kol_TitBound, 60000);
    EXPECT_EQ(t.Get(0), nullptr);
    EXPECT_EQ(t.Get(60001), nullptr);
    // Entries stay where they are: a pointer taken earlier reads the new range.
    t.Clear();
    EXPECT_EQ(t.Get(1), nullptr);
    t.Add(TTitBound(true, 0, 100, 0, 1, 0, 0, 0, 0));
    EXPECT_EQ(p->RawMax, 100);
}

// ---------------------------------------------------------------------------------
// Station registry

class RegistryTest : public ::testing::Test {
  protected:
    RegistryTest() {
        char tmpl[256];
        const std::string base = (fs::temp_directory_path() / "tagsXXXXXX").string();
        std::snprintf(tmpl, sizeof tmpl, "%s", base.c_str());
        dir = mkdtemp(tmpl);
    }
    ~RegistryTest() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    // Writes lines (UTF-8 here) as the program writes text files: Windows-1251, CR LF.
    std::string WriteFile(const std::string& name, const std::vector<std::string>& lines) {
        const std::string path = (fs::path(dir) / name).string();
        std::ofstream f(path, std::ios::binary);
        for (const auto& l : lines) f << Utf8ToCp1251(l) << "\r\n";
        return path;
    }
    // A line exactly as the publisher writes it.
    static std::string KpLine(int n, const std::string& name, const std::string& ip, int port) {
        return "KP," + std::to_string(1000 + n) + ",   " + std::to_string(1000 + n) + ",   1,   " +
               name + ", " + ip + "   ," + std::to_string(port);
    }

    std::string dir;
    TRecordingNotifier notifier;
    std::vector<int> exits;  // codes given to the fatal stop's exit function
    TErrorReporter reporter{notifier, [this](int code) { exits.push_back(code); }};
    TErrLstArm errLst;
    TMessBuff journal{1000, 0xFFFFFFFF};
    TRegistryEnv env{errLst, reporter, journal};
    const std::vector<KpTypeAddr> all{kpta_CPPS, kpta_KP, kpta_UDP};
    TKpList kpl;
};

TEST_F(RegistryTest, ReadsTheStationListFileAsThePublisherWritesIt) {
    const std::string path = WriteFile("zzz.dat", {KpLine(1, "Station 1", "127.0.0.1", 2404),
                                                   KpLine(2, "Подстанция 2", "127.0.0.1", 2405)});
    EXPECT_EQ(kpl.ReadKpList(path, all, env), "");
    ASSERT_EQ(kpl.GetCount(), 2);
    const TKpEthernet* a = kpl.GetIndKP(0);
    EXPECT_EQ(a->ID, 1001);
    EXPECT_EQ(a->sstID, 1001);
    EXPECT_EQ(a->kpta, kpta_KP);
    EXPECT_EQ(a->name, "Station 1");
    EXPECT_EQ(a->IPAddress, "127.0.0.1");
    EXPECT_EQ(a->Port, 2404);
    EXPECT_FALSE(a->prPresent);
    EXPECT_EQ(kpl.GetIndKP(1)->name, "Подстанция 2");
    EXPECT_EQ(kpl.GetIndKP(1)->Port, 2405);
    EXPECT_TRUE(notifier.errors.empty());
    // Lookups and iteration.
    EXPECT_EQ(kpl.FindKP_KpID(1002), kpl.GetIndKP(1));
    EXPECT_EQ(kpl.FindKP_sstID(1001), kpl.GetIndKP(0));
    EXPECT_EQ(kpl.FindKP_KpID(1003), nullptr);
    EXPECT_EQ(kpl.FirstKp(), kpl.GetIndKP(0));
    EXPECT_EQ(kpl.NextKp(kpl.FirstKp()), kpl.GetIndKP(1));
    EXPECT_EQ(kpl.NextKp(kpl.GetIndKP(1)), nullptr);
    EXPECT_EQ(kpl.GetIndKP(2), nullptr);
    // Reading again starts from an empty registry.
    EXPECT_EQ(kpl.ReadKpList(path, all, env), "");
    EXPECT_EQ(kpl.GetCount(), 2);
}

TEST_F(RegistryTest, KindsAddressesAndSkippedLines) {
    const std::string path = WriteFile(
        "kinds.dat", {"; comment", "", "SST,1,2,3,4,5,6", "kp,1009,1009,1,x,127.0.0.1,1",
                      "KP,1001,1001,0,Before,127.0.0.9,2404",  // kind 0 before the central point
                      "KP,1000,1000,1,ЦППС,127.0.0.5,2404",    // remembered, skipped (ID 1000 ok)
                      "KP,1002,1002,0,After,127.0.0.9,2405",   // takes the central address
                      "KP,1003,1003,2,Udp,127.0.0.3,2406", "KP,1004,1004,3,Bad kind,127.0.0.4,1",
                      "KP,0,1005,1,Zero id,127.0.0.4,1", "KP,1006,-1,1,Neg sst,127.0.0.4,1",
                      "KP,1007,1007,1,No address,,1", "KP,1003,1003,1,Same id,127.0.0.7,1"});
    EXPECT_EQ(kpl.ReadKpList(path, all, env), "");
    ASSERT_EQ(kpl.GetCount(), 3);
    EXPECT_EQ(kpl.GetIndKP(0)->name, "ЦППС");
    EXPECT_EQ(kpl.GetIndKP(1)->name, "After");
    EXPECT_EQ(kpl.GetIndKP(1)->IPAddress, "127.0.0.5");
    EXPECT_EQ(kpl.GetIndKP(1)->kpta, kpta_CPPS);
    EXPECT_EQ(kpl.GetIndKP(2)->name, "Udp");
    EXPECT_EQ(kpl.GetIndKP(2)->kpta, kpta_UDP);
    EXPECT_EQ(kpl.FindKP_KpID(1003)->name, "Udp");  // the second 1003 is skipped
    EXPECT_TRUE(notifier.errors.empty());

    // Only the accepted kinds.
    EXPECT_EQ(kpl.ReadKpList(path, {kpta_UDP}, env), "");
    ASSERT_EQ(kpl.GetCount(), 1);
    EXPECT_EQ(kpl.GetIndKP(0)->name, "Udp");
}

TEST_F(RegistryTest, SecondLineWithTheSameIdIsSkippedSilently) {
    const std::string path = WriteFile(
        "dup.dat", {KpLine(1, "One", "127.0.0.1", 1), KpLine(1, "Other", "127.0.0.1", 2)});
    EXPECT_EQ(kpl.ReadKpList(path, all, env), "");
    ASSERT_EQ(kpl.GetCount(), 1);
    EXPECT_EQ(kpl.GetIndKP(0)->name, "One");
    EXPECT_TRUE(notifier.errors.empty());
}

TEST_F(RegistryTest, DuplicateNamesAreReported) {
    const std::string path = WriteFile(
        "names.dat", {KpLine(1, "Same", "127.0.0.1", 1), KpLine(2, "Same", "127.0.0.1", 2)});
    EXPECT_EQ(kpl.ReadKpList(path, all, env), "");
    EXPECT_EQ(kpl.GetCount(), 2);
    ASSERT_EQ(notifier.errors.size(), 1u);
    EXPECT_EQ(notifier.errors[0], "Чтение файла " + path +
                                      "\r1007: Повтор имени КП в текстовом файле типа KpList.dat"
                                      "\rSame");
}

TEST_F(RegistryTest, MissingFile) {
    const std::string path = (fs::path(dir) / "absent.dat").string();
    EXPECT_EQ(kpl.ReadKpList(path, all, env), "Нет файла " + path);
    EXPECT_EQ(kpl.GetCount(), 0);
    ASSERT_EQ(notifier.errors.size(), 1u);
    EXPECT_EQ(notifier.errors[0], "Error in ReadKpList(" + path + ") \rНет файла " + path);
}

TEST_F(RegistryTest, ShortLineEndsTheReading) {
    const std::string path = WriteFile(
        "short.dat",
        {KpLine(1, "One", "127.0.0.1", 1), "KP,1002,1002,1,Two", KpLine(3, "Three", "h", 3)});
    EXPECT_EQ(kpl.ReadKpList(path, all, env), "Мало параметров в строке:\rKP,1002,1002,1,Two");
    EXPECT_EQ(kpl.GetCount(), 1);
    ASSERT_EQ(notifier.errors.size(), 1u);
    EXPECT_EQ(notifier.errors[0],
              "Error in ReadKpList(" + path + ") \rМало параметров в строке:\rKP,1002,1002,1,Two");
}

TEST_F(RegistryTest, BadNumberRaisesAConversionError) {
    const std::string path =
        WriteFile("bad.dat", {KpLine(1, "One", "127.0.0.1", 1), "KP,10x2,1002,1,Two,127.0.0.1,2"});
    EXPECT_THROW(kpl.ReadKpList(path, all, env), EConvertError);
    EXPECT_EQ(kpl.GetCount(), 1);
    const std::string port = WriteFile("port.dat", {"KP,1001,1001,1,One,127.0.0.1,24O4"});
    EXPECT_THROW(kpl.ReadKpList(port, all, env), EConvertError);
}

TEST_F(RegistryTest, DamagedFileDoesNotHurt) {
    const std::string path = (fs::path(dir) / "junk.dat").string();
    {
        std::ofstream f(path, std::ios::binary);
        std::string junk;
        for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 7919) & 0xFF);
        f << junk << "\n" << std::string(100000, ',') << "\r\n\"KP,1,\"\r\nKP";
    }
    EXPECT_NO_THROW(kpl.ReadKpList(path, all, env));
    EXPECT_EQ(kpl.GetCount(), 0);
}

TEST_F(RegistryTest, SixtyOneStationsFillTheRegistry) {
    std::vector<std::string> lines;
    for (int n = 1; n <= 61; ++n) lines.push_back(KpLine(n, "S" + std::to_string(n), "h", n));
    const std::string path = WriteFile("many.dat", lines);
    EXPECT_EQ(kpl.ReadKpList(path, all, env), "1001: Мала константа MAX_KPLIST");
    EXPECT_EQ(kpl.GetCount(), 60);
    ASSERT_EQ(notifier.errors.size(), 1u);
    EXPECT_EQ(notifier.errors[0],
              "Error in ReadKpList(" + path + ") \r1001: Мала константа MAX_KPLIST");
}

TEST_F(RegistryTest, ErrorBoxesStopAtTheSharedCounter) {
    for (int i = 0; i < 10; ++i) reporter.Report("x", "y", 100);
    notifier.errors.clear();
    const std::string path = (fs::path(dir) / "absent.dat").string();
    EXPECT_NE(kpl.ReadKpList(path, all, env), "");
    EXPECT_TRUE(notifier.errors.empty());
}

TEST(KpListTest, AddAndKindTexts) {
    TErrLstArm errLst;
    TKpList kpl;
    TKpEthernet kp;
    for (int i = 0; i < 60; ++i) {
        kp.ID = 1001 + i;
        EXPECT_EQ(kpl.Add(kp, errLst), "");
    }
    kp.ID = 2000;
    EXPECT_EQ(kpl.Add(kp, errLst), "1001: Мала константа MAX_KPLIST");
    EXPECT_EQ(kpl.GetCount(), 60);
    EXPECT_EQ(kpl.FindKP_KpID(2000), nullptr);
    EXPECT_STREQ(KpTypeAddrText(kpta_CPPS), "IEC");
    EXPECT_STREQ(KpTypeAddrText(kpta_KP), "IECk");
    EXPECT_STREQ(KpTypeAddrText(kpta_UDP), "UDP");
    EXPECT_STREQ(KpTypeAddrText(kpta_Empty), "????");
    EXPECT_STREQ(KpTypeAddrText(200), "????");
}

TEST(SignalTypeTest, KeywordsAndNames) {
    EXPECT_EQ(GetSignalType("KP"), stKP);
    EXPECT_EQ(GetSignalType("TI"), stTIT);
    EXPECT_EQ(GetSignalType("TIT"), stTIT);
    EXPECT_EQ(GetSignalType("CHAN"), stSystem);
    EXPECT_EQ(GetSignalType("PBTPU"), stSystem);
    EXPECT_EQ(GetSignalType("OPROS"), stOPROS);
    EXPECT_EQ(GetSignalType("kp"), stErr);
    EXPECT_EQ(GetSignalType(""), stErr);
    EXPECT_STREQ(SignalTypeName(stTSRU), "RU");
    EXPECT_STREQ(SignalTypeName(stTIT), "TIT");
    EXPECT_STREQ(SignalTypeName(stPER), "?????");
}

// ---------------------------------------------------------------------------------
// Substations and signal records

TEST(SstTest, NewSubstationFlagsAndCapacity) {
    TSstList l;
    for (int i = 0; i < 64; ++i) EXPECT_TRUE(l.Add(1001 + i, "S"));
    EXPECT_FALSE(l.Add(2000, "S"));
    EXPECT_EQ(l.Kol_Sst, 64);
    TSst* s = l.GetSst(1);
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(s->flss.Op(FYes, bflssNoFileTxt));
    EXPECT_TRUE(s->flss.Op(FYes, bflssNoFileCif));
    EXPECT_TRUE(s->flss.Op(FYes, bflssNoKPP1));
    EXPECT_TRUE(s->flss.Op(FYes, bflssChanged));
    EXPECT_FALSE(s->flss.Op(FYes, bflssReceiveTsTit));
    EXPECT_EQ(s->FCifCrc.FCRC, 0);
    EXPECT_EQ(l.FindSst(1064), l.GetSst(64));
    EXPECT_EQ(l.FindSst(2000), nullptr);
    EXPECT_EQ(l.GetSst(0), nullptr);
    EXPECT_EQ(l.GetSst(65), nullptr);
}

TEST(ArmRecTest, FlagsTelecontrolAndDiagnosticLine) {
    TArmSignals arm;
    TArmRec* r = arm.AddRec(1001, stTS, "Pump", kArmFlagsTS);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->fl.fln, 0xE050);
    EXPECT_EQ(r->Fport2, 1111);
    r->SetParam(1001, "", 1, 0x64, 5, 0, nullptr, "127.0.0.1", 2404);
    EXPECT_FALSE(r->GetprTU());
    r->SetParam(1001, "", 1, 0x64, 5, 7, nullptr, "127.0.0.1", 2404);
    EXPECT_TRUE(r->GetprTU());
    r->SetParam(1001, "", 1, 0x64, 0, 0, nullptr, "127.0.0.1", 2404);
    EXPECT_EQ(r->ToString(0), "TS  (1001)(1001) Pump" + std::string(20, ' ') + " " +
                                  std::string(20, ' ') +
                                  "  0001 000064     0      0   Cif (cКx)"
                                  "      .  Д ");
    TArmRec* m = arm.AddRec(1002, stTIT, "A very long measurement name here", kArmFlagsTIT);
    EXPECT_EQ(m->fl.fln, 0xE058);
    m->SetParam(1002, "KKS", 0, 0, 0, 0, nullptr, "h", 1);
    m->fl.Op(FSet, bfl_Invers);
    m->fl.Op(FSet, bfl_PrRZA);
    m->fl.Op(FSet, bfl_RepName);
    EXPECT_EQ(m->ToString(0), "TIT (1002)(1002) A very long measureme... KKS" +
                                  std::string(17, ' ') +
                                  "     0      0     0      0   Csv (cКx)"
                                  "  N   И  ДР");
    EXPECT_EQ(arm.GetRec(1), m);
    EXPECT_EQ(arm.GetRec(2), nullptr);
    EXPECT_EQ(arm.GetRec(-1), nullptr);
}

TEST(ArmRecTest, RegistryIsFullAt20000) {
    TArmSignals arm;
    for (int i = 0; i < TArmSignals::MAX_ARM_LIST; ++i)
        ASSERT_NE(arm.AddRec(1001, stTS, "x", kArmFlagsTS), nullptr);
    EXPECT_EQ(arm.AddRec(1001, stTS, "x", kArmFlagsTS), nullptr);
    EXPECT_EQ(arm.GetCount(), 20000);
}

// ---------------------------------------------------------------------------------
// Building the registries from the station table

class BuildTest : public RegistryTest {
  protected:
    BuildTest() : st(std::make_unique<TStationTable>()) {}

    void AddStation(const std::string& name, const std::string& ip, int kolTS, int kolTI) {
        const int n = ++st->Kol_KP;
        T_KP& kp = st->KP_arr[n];
        kp.NameKP = name;
        kp.IP = ip;
        kp.Port = 9999;
        kp.Kol_TS = kolTS;
        kp.Kol_TI = kolTI;
        for (int k = 1; k <= kolTS; ++k) {
            T_TS& t = kp.TS_arr[k];
            t.NameTS = "\"TS " + std::to_string(n) + "." + std::to_string(k) + "\"";
            t.AdrASDU = n;
            t.AdrIOA = k;
            t.AdrASDU_TU = k == 1 ? n : 0;
            t.AdrIOA_TU = k == 1 ? 1000 + k : 0;
        }
        for (int k = 1; k <= kolTI; ++k) {
            T_TI& t = kp.TI_arr[k];
            t.NameTI = "TI " + std::to_string(n) + "." + std::to_string(k);
            t.AdrASDU = n;
            t.AdrIOA = 5000 + k;
            t.Min_TM_Diap = 0;
            t.Max_TM_Diap = 4095;
            t.Min_Eng_Diap = 0;
            t.Max_Eng_Diap = 10 * k;
        }
    }
    // Writes and reads the station list of the current table.
    void ReadStations() {
        std::vector<std::string> lines;
        for (int n = 1; n <= st->Kol_KP; ++n)
            lines.push_back(KpLine(n, st->KP_arr[n].NameKP, st->KP_arr[n].IP, 2400 + n));
        ASSERT_EQ(reg.ReadKpList(WriteFile("zzz.dat", lines), all, env), "");
    }

    std::unique_ptr<TStationTable> st;
    TRegistries reg;
};

TEST_F(BuildTest, EmptyStationRegistryBuildsNothing) {
    AddStation("A", "127.0.0.1", 2, 1);
    EXPECT_EQ(reg.ReadElemCodeFile("ElemCode.000", true, *st, env), "1002: Пуст список КП");
    EXPECT_EQ(reg.ArmSignals.GetCount(), 0);
    ASSERT_EQ(notifier.errors.size(), 1u);
    EXPECT_EQ(notifier.errors[0], "ReadElemCodeFile() \r1002: Пуст список КП");
}

TEST_F(BuildTest, RecordsInTableOrderWithRangesAndStationAddresses) {
    AddStation("Станция 1", "127.0.0.1", 2, 2);
    AddStation("Station 2", "127.0.0.2", 1, 0);
    AddStation("Station 3", "127.0.0.3", 0, 1);
    ReadStations();
    EXPECT_EQ(reg.ReadElemCodeFile("ElemCode.000", true, *st, env), "");
    EXPECT_TRUE(notifier.errors.empty());

    EXPECT_EQ(reg.SstList.Kol_Sst, 3);
    EXPECT_EQ(reg.SstList.GetSst(1)->FId, 1001);
    EXPECT_EQ(reg.SstList.GetSst(1)->FName, "Станция 1");
    EXPECT_EQ(reg.SstList.GetSst(3)->FId, 1003);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(reg.KpList.GetIndKP(i)->prPresent);

    ASSERT_EQ(reg.ArmSignals.GetCount(), 6);
    const TArmRec* r = reg.ArmSignals.GetRec(0);
    EXPECT_EQ(r->Fst, stTS);
    EXPECT_EQ(r->FsstID, 1001);
    EXPECT_EQ(r->FKpID, 1001);
    EXPECT_EQ(r->FDispName, "TS 1.1");  // quotes removed
    EXPECT_EQ(r->FSigASDUAddr, 1);
    EXPECT_EQ(r->FSigObjAddr, 1);
    EXPECT_EQ(r->FCtrlASDUAddr, 1);
    EXPECT_EQ(r->FCtrlObjAddr, 1001);
    EXPECT_TRUE(r->GetprTU());
    EXPECT_EQ(r->FIP_address, "127.0.0.1");
    EXPECT_EQ(r->Fport2, 2401);  // the port of the station list, not of the table
    EXPECT_EQ(r->pTitBound1, nullptr);
    EXPECT_EQ(r->fl.fln, 0xE050);
    EXPECT_FALSE(reg.ArmSignals.GetRec(1)->GetprTU());
    const TArmRec* ti = reg.ArmSignals.GetRec(2);
    EXPECT_EQ(ti->Fst, stTIT);
    EXPECT_EQ(ti->FDispName, "TI 1.1");
    EXPECT_EQ(ti->FCtrlASDUAddr, 0);
    EXPECT_EQ(ti->fl.fln, 0xE058);
    ASSERT_NE(ti->pTitBound1, nullptr);
    EXPECT_NEAR(ti->RawToEng(2048), 5.001221, 1e-6);
    EXPECT_NEAR(reg.ArmSignals.GetRec(3)->RawToEng(2048), 10.002442, 1e-6);
    EXPECT_EQ(reg.ArmSignals.GetRec(4)->FsstID, 1002);
    EXPECT_EQ(reg.ArmSignals.GetRec(4)->Fport2, 2402);
    EXPECT_EQ(reg.ArmSignals.GetRec(5)->FsstID, 1003);
    EXPECT_EQ(reg.ArmSignals.GetRec(5)->Fst, stTIT);
    EXPECT_EQ(reg.TitBounds.Kol_TitBound, 3);
    EXPECT_EQ(reg.TitBounds.Get(3), reg.ArmSignals.GetRec(5)->pTitBound1);
    EXPECT_TRUE(Drain(journal).empty());

    // The tag list built from the records, as the publisher does.
    TTagCategoryList kinds(1);
    TTagSignalList tags(journal, &reg.ArmSignals, &reg.SstList);
    for (int32_t k = 0; k < reg.ArmSignals.GetCount(); ++k) {
        const TArmRec* rec = reg.ArmSignals.GetRec(k);
        TTagSignal t;
        t.Init(rec->FDispName, rec->FSigASDUAddr, rec->FSigObjAddr, rec->FIP_address, rec->Fport2,
               kinds.GetPtc(rec->Fst == stTS ? tcn_TS : tcn_TIT), k);
        EXPECT_EQ(tags.AddTag(t), "");
    }
    TTagSignal* tag = nullptr;
    EXPECT_EQ(tags.FindTag(2, 1, "127.0.0.2", 2402, tag), 4);
    ASSERT_NE(tag, nullptr);
    TRecordingNotifier n2;
    TTypeIdentList cat(n2);
    std::string remark;
    const uint8_t sp[] = {0x01};
    tag->ChangeTS1(*cat.FindTypeIdent(M_SP_NA), sp, 0, 0, remark);
    EXPECT_TRUE(reg.SstList.FindSst(1002)->flss.Op(FYes, bflssReceiveTsTit));
    const auto lines = Drain(journal);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "(ptg1) New TS,TIT:(0002:000001), ПС(1002) TS 2.1, вкл ");
}

TEST_F(BuildTest, ZeroAsduAddressIsJournalled) {
    AddStation("A", "127.0.0.1", 1, 0);
    st->KP_arr[1].TS_arr[1].AdrASDU = 0;
    ReadStations();
    EXPECT_EQ(reg.ReadElemCodeFile("ElemCode.000", true, *st, env), "");
    EXPECT_EQ(reg.ArmSignals.GetCount(), 1);
    const auto lines = Drain(journal);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Error: адрес ASDU=0 ? " + reg.ArmSignals.GetRec(0)->ToString(0));
}

TEST_F(BuildTest, UnknownRegistryStationsAndMissingOnes) {
    AddStation("A", "127.0.0.1", 1, 0);
    AddStation("B", "127.0.0.2", 1, 0);
    // The station list knows station 1 and two stations the table does not have.
    const std::string path =
        WriteFile("zzz.dat", {KpLine(1, "A", "127.0.0.1", 1), KpLine(5, "E", "127.0.0.5", 5),
                              KpLine(6, "F", "127.0.0.6", 6), KpLine(7, "G", "127.0.0.7", 7)});
    ASSERT_EQ(reg.ReadKpList(path, all, env), "");
    EXPECT_EQ(reg.ReadElemCodeFile("ElemCode.000", true, *st, env), "");
    // Station 2 has no registry station: no substation, no records.
    EXPECT_EQ(reg.SstList.Kol_Sst, 1);
    EXPECT_EQ(reg.ArmSignals.GetCount(), 1);
    // At most 2 boxes in all for unknown stations.
    ASSERT_EQ(notifier.errors.size(), 2u);
    EXPECT_EQ(notifier.errors[0],
              "просмотр флага, что все КП легальные \r1005: По КП не найдено сигналов в файле "
              "ElemCode.000 или плохие #ПС или #КП\rE");

    // Without the limiting flag every station is built, with the table's address.
    EXPECT_EQ(reg.ReadElemCodeFile("ElemCode.000", false, *st, env), "");
    ASSERT_EQ(reg.ArmSignals.GetCount(), 2);
    EXPECT_EQ(reg.ArmSignals.GetRec(1)->FIP_address, "127.0.0.2");
    EXPECT_EQ(reg.ArmSignals.GetRec(1)->Fport2, 9999);
}

TEST_F(BuildTest, MoreThan20000RecordsStopTheProgram) {
    AddStation("A", "127.0.0.1", 7000, 0);
    AddStation("B", "127.0.0.2", 7000, 0);
    AddStation("C", "127.0.0.3", 5999, 1);
    ReadStations();
    EXPECT_EQ(reg.ReadElemCodeFile("ElemCode.000", true, *st, env), "");
    EXPECT_EQ(reg.ArmSignals.GetCount(), 20000);
    EXPECT_TRUE(exits.empty());
    st->KP_arr[3].Kol_TI = 2;
    EXPECT_EQ(reg.ReadElemCodeFile("ElemCode.000", true, *st, env), "мала константа MAX_ARM_LIST");
    EXPECT_EQ(reg.ArmSignals.GetCount(), 20000);
    ASSERT_EQ(notifier.errors.size(), 1u);
    EXPECT_EQ(notifier.errors[0], "мала константа MAX_ARM_LIST\rВыполняется Halt()!!!");
    EXPECT_EQ(exits, std::vector<int>{1});
}

TEST_F(BuildTest, DamagedCountsStayInsideTheTable) {
    AddStation("A", "127.0.0.1", 1, 1);
    ReadStations();
    st->KP_arr[1].Kol_TS = 100000;
    st->KP_arr[1].Kol_TI = -5;
    st->Kol_KP = 1000;
    EXPECT_EQ(reg.ReadElemCodeFile("ElemCode.000", true, *st, env), "");
    EXPECT_EQ(reg.ArmSignals.GetCount(), 7000);
}

TEST_F(BuildTest, RebuildDropsTheEarlierRecords) {
    AddStation("A", "127.0.0.1", 3, 2);
    ReadStations();
    EXPECT_EQ(reg.ReadElemCodeFile("ElemCode.000", true, *st, env), "");
    EXPECT_EQ(reg.ArmSignals.GetCount(), 5);
    st->KP_arr[1].Kol_TS = 1;
    EXPECT_EQ(reg.ReadElemCodeFile("ElemCode.000", true, *st, env), "");
    EXPECT_EQ(reg.ArmSignals.GetCount(), 3);
    EXPECT_EQ(reg.TitBounds.Kol_TitBound, 2);
    EXPECT_EQ(reg.SstList.Kol_Sst, 1);
}

}  // namespace
}  // namespace telegate
