#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "PollingFixture.h"
#include "app/Polling.h"
#include "model/ConfigFile.h"
#include "platform/HttpServer.h"
#include "platform/ManualMainLoop.h"
#include "support/CodePage.h"
#include "web/WebPages.h"
#include "web/WebServer.h"

namespace telegate {
namespace {

using namespace testing_polling;

// Ports nothing listens on (9 and up, one per station): a worker that is asked to
// connect fails at once.
constexpr int kDeadPort = 9;

class PollingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.Str().empty());
        ctx().MessBuff = TMessBuff(kJournalSize, 0xFFFFFFFFu);
        ctx().Settings.UseWebServer = false;
    }
    void TearDown() override { Finish(); }

    TAppContext& ctx() { return *h.ctx; }
    // Writes iec104.cfg from table and iec104sr.bin with one record per station.
    void WriteFiles(TStationTable& table, const std::vector<TPrmn>& recs) {
        WriteConfigFile((dir.Path() / "iec104.cfg").string(), table);
        TPrmnTable t{};
        for (size_t i = 0; i < recs.size(); ++i) t[i] = recs[i];
        ASSERT_TRUE(ReadWritePrmnFile(pfm_Write, (dir.Path() / "iec104sr.bin").string(), t,
                                      static_cast<int>(recs.size())));
    }
    static TPrmn Rec(int port, int t0 = 0) {
        TPrmn p;
        SetDefaultPrmn(p, "127.0.0.1", port);
        p.t0 = t0;
        return p;
    }
    // n stations on dead ports, TS and TI tags each, records with their ports.
    void Configure(int n, int nTS = 2, int nTI = 1, bool tu = false) {
        auto table = std::make_unique<TStationTable>();
        std::vector<TPrmn> recs;
        for (int i = 1; i <= n; ++i) {
            AddStation(*table, "Станция " + std::to_string(i), kDeadPort + i - 1, nTS, nTI, i, tu);
            table->KP_arr[i].OPROS_KP = 1;
            recs.push_back(Rec(kDeadPort + i - 1));
        }
        WriteFiles(*table, recs);
    }
    TPolling& Make() {
        TPollingOptions o;
        o.Dir = dir.Str();
        o.WebFolder = dir.Path() / "web";
        o.WebBindAddress = "127.0.0.1";
        o.WorkerTimings.StartDelayMs = 600000;  // workers stay quiet unless asked
        o.Log = [this](const std::string& s) { log.push_back(s); };
        TPollingView v;
        v.JournalLine = [this](const std::string& s, TDateTime) { journal.push_back(s); };
        v.PollStateChanged = [this](bool on) { states.push_back(on); };
        polling = std::make_unique<TPolling>(ctx(), loop, o, v);
        return *polling;
    }
    // Serves the loop until every worker has finished.
    void PumpUntilFinished() {
        for (int i = 0; i < 2000 && polling && !polling->WorkersFinished(); ++i) {
            loop.WaitForPending(5);
            loop.RunPending();
        }
    }
    void Finish() {
        if (!polling) return;
        polling->Stop_IEC104();
        PumpUntilFinished();
        polling.reset();
    }
    int JournalCount(const std::string& part) const {
        int c = 0;
        for (const auto& l : journal)
            if (l.find(part) != std::string::npos) ++c;
        return c;
    }

    TContextHolder h;
    TTempDir dir;
    TManualMainLoop loop{h.clock};
    std::unique_ptr<TPolling> polling;
    std::vector<std::string> log, journal;
    std::vector<bool> states;
};

TEST_F(PollingTest, StartBuildsOneChannelPerStationFromTheFiles) {
    Configure(3);
    TPolling& p = Make();
    EXPECT_FALSE(loop.timerActive(p.TimerId(kTimerCommandMs)));
    EXPECT_TRUE(loop.timerActive(p.TimerId(kTimerMs)));  // always runs
    ctx().OprosFlag = true;
    p.Begin_Opros();
    ASSERT_TRUE(p.Polling()) << p.LastError();
    EXPECT_EQ(states, (std::vector<bool>{true}));
    EXPECT_EQ(ctx().Stations.Kol_KP, 3);
    EXPECT_EQ(p.ThreadCount(), 3);
    EXPECT_EQ(p.Clients().GetCount(), 3);
    for (int n = 1; n <= 3; ++n) {
        ASSERT_NE(p.Worker(n), nullptr);
        EXPECT_EQ(p.Worker(n)->Number_of_Thread(), n);
        ASSERT_NE(p.Controller(n), nullptr);
        EXPECT_TRUE(p.Clients().GetPcl(n - 1)->GetWork());
        EXPECT_EQ(p.Clients().GetPcl(n - 1)->GetTagList(), p.Publisher().Tags());
        EXPECT_EQ(ctx().Prmn[static_cast<size_t>(n - 1)].prWork1, 1);
    }
    EXPECT_EQ(ctx().Prmn[3].prWork1, 0);
    EXPECT_EQ(p.Publisher().Tags()->GetCount(), 9);
    EXPECT_TRUE(loop.timerActive(p.TimerId(kTimerCommandMs)));
    EXPECT_TRUE(loop.timerActive(p.TimerId(kTimerShowMs)));
    EXPECT_TRUE(loop.timerActive(p.TimerId(kTimerOutGridMs)));
    EXPECT_TRUE(ctx().Items.Indent_arr[1].FirstOpros);
    EXPECT_TRUE(ctx().Items.Indent_arr[60000].FirstOpros);
    const std::string zzz = ReadAll(dir.Path() / "zzz.dat");
    EXPECT_NE(zzz.find("KP,1003,   1003,   1,   "), std::string::npos);
}

TEST_F(PollingTest, PortZeroFallsBackToTheStationTableAndT0Defaults) {
    auto table = std::make_unique<TStationTable>();
    AddStation(*table, "A", 24100, 1, 0, 1);
    AddStation(*table, "B", 24200, 1, 0, 2);
    WriteFiles(*table, {Rec(0, 0), Rec(24201, 999)});
    // The configuration file does not carry the port: the table keeps the one it has.
    ctx().Stations.KP_arr[1].Port = 24100;
    TPolling& p = Make();
    ASSERT_TRUE(p.Start_IEC104());
    EXPECT_EQ(p.Worker(1)->Port(), 24100);
    EXPECT_EQ(p.Clients().GetPcl(0)->prm.Port, 24100);  // reconnections go there too
    EXPECT_EQ(p.Worker(2)->Port(), 24201);              // the record wins when set
    EXPECT_EQ(p.Worker(1)->T0(), 30000);
    EXPECT_EQ(p.Worker(2)->T0(), 999);
    EXPECT_EQ(ctx().Prmn[0].Port, 0);  // the record itself is left as read
    EXPECT_NE(ReadAll(dir.Path() / "zzz.dat").find("   ,24100\r\n"), std::string::npos);
    EXPECT_NE(p.Clients().Find("127.0.0.1", 24100), nullptr);
}

TEST_F(PollingTest, UnreadableParameterFileGivesDefaultsForAllRecords) {
    auto table = std::make_unique<TStationTable>();
    AddStation(*table, "A", 24100, 1, 0, 1);
    WriteConfigFile((dir.Path() / "iec104.cfg").string(), *table);
    WriteAll(dir.Path() / "iec104sr.bin", "garbage");
    TPolling& p = Make();
    ASSERT_TRUE(p.Start_IEC104());
    for (const TPrmn& r : ctx().Prmn) {
        EXPECT_EQ(r.Host, "127.0.0.1");
        EXPECT_EQ(r.Port, 2404);
        EXPECT_EQ(r.t0, 30000);
    }
    EXPECT_EQ(p.Worker(1)->Port(), 2404);
}

// A parameter file that is there but cannot be used: every record fully default
// (nothing of the damaged records stays in use), one report in the error log, the
// journal and a box, no second report for the same problem at the next start, and
// the file left exactly as found. A missing file is the normal first start.
TEST_F(PollingTest, DamagedParameterFileIsReportedAndLeftAsFound) {
    TPrmn custom = Rec(24100);
    custom.CommonAsduAddress = 7;
    custom.PollingCycle = 55;  // defaults leave these as they were
    custom.LinkAddress1 = 7;
    TPrmnTable one{};
    one[0] = custom;
    const std::string good = PrmnFileBytes(one, 1);
    std::string badSum = good;
    badSum[8 + 112] ^= 0x01;  // inside PollingCycle of the record
    std::string badVersion = good;
    badVersion[0] = 0x25;
    std::string random(500, '\0');
    for (size_t i = 0; i < random.size(); ++i) random[i] = static_cast<char>((i * 131 + 7) % 251);
    struct TCase {
        const char* what;
        std::string bytes;  // empty: no file
        const char* report;
    } cases[] = {
        {"bad checksum", badSum, "Нарушен файл параметров МЭК-104: "},
        {"random bytes", random, "Не та версия файла: "},  // its first word is no version
        {"other version", badVersion, "Не та версия файла: "},
        {"short", good.substr(0, 30), "Нарушен файл параметров МЭК-104: "},
        {"missing", "", nullptr},
    };
    TPrmn fullDefault;
    SetDefaultPrmn(fullDefault, "127.0.0.1", 2404);
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        auto table = std::make_unique<TStationTable>();
        AddStation(*table, "A", 24100, 1, 0, 1);
        WriteConfigFile((dir.Path() / "iec104.cfg").string(), *table);
        const fs::path bin = dir.Path() / "iec104sr.bin";
        const fs::path errLog = dir.Path() / "error_iec104.log";
        fs::remove(bin);
        fs::remove(errLog);
        if (!c.bytes.empty()) WriteAll(bin, c.bytes);
        h.notifier.errors.clear();
        journal.clear();
        ctx().Prmn[0] = custom;  // what an earlier good read left in memory
        TPolling& p = Make();
        for (int run = 0; run < 2; ++run) {
            ASSERT_TRUE(p.Start_IEC104());
            for (size_t i = 0; i < ctx().Prmn.size(); ++i) {
                TPrmn expect = fullDefault;
                expect.prWork1 = i == 0 ? 1 : 0;
                EXPECT_EQ(ctx().Prmn[i], expect) << "record " << i;
            }
            p.Stop_IEC104();
            PumpUntilFinished();
        }
        polling.reset();
        if (c.report == nullptr) {
            EXPECT_TRUE(h.notifier.errors.empty());
            EXPECT_FALSE(fs::exists(bin));
            EXPECT_FALSE(fs::exists(errLog));
            continue;
        }
        ASSERT_EQ(h.notifier.errors.size(), 1u);  // once for the two starts
        const std::string& text = h.notifier.errors[0];
        EXPECT_EQ(text.rfind(c.report, 0), 0u) << text;
        EXPECT_NE(text.find("iec104sr.bin"), std::string::npos) << text;
        EXPECT_NE(Cp1251ToUtf8(ReadAll(errLog)).find(text), std::string::npos);
        bool journaled = JournalCount(text) == 1;
        std::string line;
        while (ctx().MessBuff.Get(line)) journaled = journaled || line == text;
        EXPECT_TRUE(journaled);
        EXPECT_EQ(ReadAll(bin), c.bytes);
    }
}

TEST_F(PollingTest, AutoConnectChoicesPerChannel) {
    Configure(8, 1, 0);
    ctx().Settings.IECauto = {false, true, false, true, true, false};
    TPolling& p = Make();
    ASSERT_TRUE(p.Start_IEC104());
    auto autoOn = [&](int k) { return p.Clients().GetPcl(k)->ClSFlag.Op(FYes, bclb_AutoConnect); };
    EXPECT_TRUE(autoOn(0));   // channel 1 always connects by itself
    EXPECT_TRUE(autoOn(1));   // IEC1auto
    EXPECT_FALSE(autoOn(2));  // channel 3 off
    EXPECT_TRUE(autoOn(3));
    EXPECT_TRUE(autoOn(4));
    EXPECT_FALSE(autoOn(5));  // channel 6 off ...
    EXPECT_FALSE(autoOn(6));  // ... and every channel after it
    EXPECT_FALSE(autoOn(7));
    // Channel 3 is never asked to connect, channel 2 is.
    loop.Advance(100);
    EXPECT_FALSE(p.Clients().GetPcl(2)->FWaitConnect);
    EXPECT_TRUE(p.Clients().GetPcl(1)->FWaitConnect);
}

TEST_F(PollingTest, ConnectAndDisconnectReportsReachClientTableAndJournal) {
    Configure(2);
    TPolling& p = Make();
    ASSERT_TRUE(p.Start_IEC104());
    const TDateTime t = h.clock.Now();
    p.On_Connect_Main(2);
    EXPECT_TRUE(ctx().Stations.KP_arr[2].Connected);
    EXPECT_EQ(ctx().Stations.KP_arr[2].Last_opros_KP_Time, t);
    EXPECT_FALSE(ctx().Stations.KP_arr[1].Connected);
    p.On_DisConnect_Main(2, TDisconnectReason::StationClosed);
    EXPECT_FALSE(ctx().Stations.KP_arr[2].Connected);
    EXPECT_TRUE(p.Clients().GetPcl(1)->flag.Op(FYes, bsb_CallDoDisconnect));
    p.On_Connect_Main(0);  // out of range: ignored
    p.On_Connect_Main(3);
    loop.Advance(50);
    EXPECT_EQ(JournalCount("  __(3)__OnConnect 127.0.0.1"), 1);
    EXPECT_EQ(JournalCount(
                  "  __(4)__ <!><!><!> OnDisconnect() <!><!><!> Соединение разрывается:127.0.0.1"),
              1);
}

TEST_F(PollingTest, PeriodicInterrogationOncePerMinuteFromTheLastConnection) {
    auto table = std::make_unique<TStationTable>();
    std::vector<TPrmn> recs;
    const int opros[4] = {0, 1, 60, 1};
    for (int i = 1; i <= 4; ++i) {
        AddStation(*table, "S" + std::to_string(i), kDeadPort + i - 1, 1, 0, i);
        table->KP_arr[i].OPROS_KP = opros[i - 1];
        recs.push_back(Rec(kDeadPort + i - 1));
    }
    WriteFiles(*table, recs);
    TPolling& p = Make();
    ASSERT_TRUE(p.Start_IEC104());
    for (int n = 1; n <= 3; ++n) p.On_Connect_Main(n);  // station 4 never connects
    const TDateTime t0 = h.clock.Now();
    // Data transfer started on station 2, so its due interrogation is sent.
    p.Clients().GetPcl(1)->flag.Op(FSet, bsb_STARTDT_Ok);
    loop.Advance(59950);
    EXPECT_EQ(ctx().Stations.KP_arr[2].Last_opros_KP_Time, t0);
    EXPECT_EQ(JournalCount("(iec5) OprosKP: Адрес КП=3"), 0);
    loop.Advance(100);
    const TDateTime t1 = ctx().Stations.KP_arr[2].Last_opros_KP_Time;
    EXPECT_GT(t1, t0);
    EXPECT_EQ(ctx().Stations.KP_arr[3].Last_opros_KP_Time, t1);  // 60 acts as 1
    EXPECT_EQ(ctx().Stations.KP_arr[1].Last_opros_KP_Time, t0);  // 0: never
    EXPECT_EQ(ctx().Stations.KP_arr[4].Last_opros_KP_Time, 0.0);
    EXPECT_EQ(JournalCount("(iec5) OprosKP: Адрес КП="), 1);
    loop.Advance(60050);
    EXPECT_GT(ctx().Stations.KP_arr[2].Last_opros_KP_Time, t1);
    EXPECT_EQ(JournalCount("(iec5) OprosKP: Адрес КП="), 2);
}

// The minute of the periodic interrogation is counted on the monotonic clock: a
// change of the wall clock (daylight saving, the operator) neither stops it nor
// fires it early.
TEST_F(PollingTest, PeriodicInterrogationIgnoresWallClockChanges) {
    for (const double shiftDays : {-1.0 / 24, 1.0 / 24}) {
        SCOPED_TRACE(shiftDays);
        Configure(1);
        TPolling& p = Make();
        ASSERT_TRUE(p.Start_IEC104());
        p.On_Connect_Main(1);
        p.Clients().GetPcl(0)->flag.Op(FSet, bsb_STARTDT_Ok);
        journal.clear();
        h.clock.SetWall(h.clock.Now() + shiftDays);
        loop.Advance(59000);
        EXPECT_EQ(JournalCount("(iec5) OprosKP: Адрес КП="), 0);
        loop.Advance(1100);
        EXPECT_EQ(JournalCount("(iec5) OprosKP: Адрес КП="), 1);
        Finish();
    }
}

TEST_F(PollingTest, DisplayTimerPublishesAndInvalidatesADroppedStation) {
    Configure(2, 2, 1);
    TPolling& p = Make();
    ASSERT_TRUE(p.Start_IEC104());  // the identifiers come with the address space
    TTagSignalList& tags = *p.Publisher().Tags();
    const uint8_t on = 1;
    for (int i = 0; i < tags.GetCount(); ++i)
        tags.GetTag(i)->Value.SetParam1(QTS1, dcn_SingleTS1, &on, true, 0, 0);
    p.On_Connect_Main(1);
    loop.Advance(200);
    const T_KP& a = ctx().Stations.KP_arr[1];
    const T_KP& b = ctx().Stations.KP_arr[2];
    EXPECT_EQ(ctx().Items.Value_arr[a.Nom_OPC_TS], 1.0);
    EXPECT_EQ(ctx().Items.Indent_arr[a.Nom_OPC_TS].Quality, 192);
    EXPECT_EQ(ctx().Items.Value_arr[a.Nom_OPC_Alarm], 1.0);
    EXPECT_EQ(ctx().Items.Value_arr[b.Nom_OPC_Alarm], 0.0);
    // Station 1's link drops: within one display period its tags are bad.
    p.On_DisConnect_Main(1, TDisconnectReason::StationClosed);
    loop.Advance(50);  // the connection step runs the disconnect handling
    loop.Advance(200);
    EXPECT_EQ(ctx().Items.Indent_arr[a.Nom_OPC_TS].Quality, 0);
    EXPECT_EQ(ctx().Items.Indent_arr[a.Nom_OPC_TI].Quality, 0);
    EXPECT_EQ(ctx().Items.Value_arr[a.Nom_OPC_Alarm], 0.0);
    EXPECT_EQ(ctx().Items.Indent_arr[b.Nom_OPC_TS].Quality, 192);  // station 2 untouched
}

TEST_F(PollingTest, StopKeepsOldClientsForLateReportsAndStartRereadsFiles) {
    Configure(2);
    TPolling& p = Make();
    ASSERT_TRUE(p.Start_IEC104());
    p.On_Connect_Main(1);
    ASSERT_TRUE(ctx().Stations.KP_arr[1].Connected);
    std::weak_ptr<T104Client> old = p.Clients().GetShared(0);
    auto oldWorker = p.Worker(1);
    p.Stop_IEC104();
    EXPECT_FALSE(p.Polling());
    EXPECT_EQ(p.Clients().GetCount(), 0);
    EXPECT_FALSE(loop.timerActive(p.TimerId(kTimerShowMs)));
    EXPECT_FALSE(old.expired());
    // The worker's last report arrives after the stop and marks the station.
    PumpUntilFinished();
    EXPECT_TRUE(oldWorker->Finished());
    EXPECT_FALSE(ctx().Stations.KP_arr[1].Connected);
    EXPECT_TRUE(old.lock()->flag.Op(FYes, bsb_CallDoDisconnect));
    oldWorker.reset();

    // A third station on disk: the next start sees it.
    Configure(3);
    ASSERT_TRUE(p.Start_IEC104());
    EXPECT_EQ(ctx().Stations.Kol_KP, 3);
    EXPECT_EQ(p.Clients().GetCount(), 3);
    EXPECT_NE(p.Clients().GetPcl(0), nullptr);
    EXPECT_TRUE(old.expired());  // the finished run is released at the next start
}

TEST_F(PollingTest, ReadsOfAStoppedRunAreDropped) {
    Configure(1);
    TPolling& p = Make();
    ASSERT_TRUE(p.Start_IEC104());
    p.Stop_IEC104();
    // No current run: a stray report changes nothing and breaks nothing.
    p.On_Read_Main(1, std::string("\x68\x04\x0B\x00\x00\x00", 6), "127.0.0.1", kDeadPort);
    p.On_Connect_Main(1);
    EXPECT_FALSE(ctx().Stations.KP_arr[1].Connected);
}

TEST_F(PollingTest, TelecontrolIsRefusedWithItsReason) {
    Configure(2, 2, 1, /*tu=*/true);
    TPolling& p = Make();
    EXPECT_EQ(tuo_NotPolling, p.StartTU(0, tuCommand_On)->Outcome());
    ASSERT_TRUE(p.Start_IEC104());
    // Station 2's first TS tag is tag 3 (after station 1's two TS and one TI); the
    // stations of this test never connect.
    const std::pair<int, TTuOutcome> cases[] = {
        {3, tuo_NotConnected},
        {2, tuo_NotOperable},   // a measurement
        {99, tuo_NotOperable},  // no such tag
        {-1, tuo_NotOperable},
    };
    for (auto [tag, outcome] : cases) {
        EXPECT_EQ(outcome, p.StartTU(tag, tuCommand_Off)->Outcome()) << tag;
        EXPECT_FALSE(p.ExecuteTU(tag, tuCommand_Off)) << tag;
    }
    EXPECT_EQ(p.Clients().GetPcl(1)->ElemTU.step1, stuNone);
    // From another thread: runs on the main thread.
    TTuOutcome fromThread = tuo_Pending;
    std::thread t([&] { fromThread = p.StartTU(0, tuCommand_On)->Outcome(); });
    for (int i = 0; i < 400 && !loop.WaitForPending(5); ++i) {
    }
    loop.RunPending();
    t.join();
    EXPECT_EQ(tuo_NotConnected, fromThread);
    EXPECT_EQ(p.Clients().GetPcl(0)->ElemTU.step1, stuNone);
}

TEST_F(PollingTest, TelecontrolIgnoresTagsWithoutCommandAddresses) {
    Configure(1, 1, 0, /*tu=*/false);
    TPolling& p = Make();
    ASSERT_TRUE(p.Start_IEC104());
    EXPECT_FALSE(p.ExecuteTU(0, tuCommand_On));
    EXPECT_EQ(p.Clients().GetPcl(0)->ElemTU.step1, stuNone);
}

TEST_F(PollingTest, ConfigurationPageAsksToStartBeforePolling) {
    Configure(1);
    TPolling& p = Make();
    const std::string before = BuildPage(p.WebView(), "/config.php", "");
    EXPECT_NE(before.find("Запустите сервер"), std::string::npos);
    ASSERT_TRUE(p.Start_IEC104());
    const std::string after = BuildPage(p.WebView(), "/config.php", "");
    EXPECT_EQ(after.find("Запустите сервер"), std::string::npos);
}

TEST_F(PollingTest, WebServerFollowsPollingAndSwallowsFailures) {
    Configure(1);
    ctx().Settings.UseWebServer = true;
    ctx().Settings.Port_WebServ = 0;  // any free port
    TPolling& p = Make();
    EXPECT_FALSE(p.WebServer()->Active());
    ASSERT_TRUE(p.Start_IEC104());
    EXPECT_TRUE(p.WebServer()->Active());
    const int port = p.WebServer()->Port();
    p.Stop_IEC104();
    EXPECT_FALSE(p.WebServer()->Active());
    ASSERT_TRUE(p.Start_IEC104());
    EXPECT_TRUE(p.WebServer()->Active());
    p.Stop_IEC104();

    // The port is taken by another server: polling runs without web access.
    TWebServer other(dir.Path(), [this] { return TWebView{ctx().Stations}; }, {});
    ASSERT_TRUE(other.Activate(port, nullptr, "127.0.0.1"));
    ctx().Settings.Port_WebServ = port;
    log.clear();
    ASSERT_TRUE(p.Start_IEC104());
    EXPECT_TRUE(p.Polling());
    EXPECT_FALSE(p.WebServer()->Active());
    // The operator learns of it in the error log, the journal and a box.
    const std::string text = "Веб-сервер не запущен (порт " + std::to_string(port) + ": ";
    ASSERT_EQ(h.notifier.errors.size(), 1u);
    EXPECT_EQ(h.notifier.errors[0].rfind(text, 0), 0u) << h.notifier.errors[0];
    EXPECT_NE(h.notifier.errors[0].find("Port_WebServ в cnf.ini"), std::string::npos);
    EXPECT_NE(Cp1251ToUtf8(ReadAll(dir.Path() / "error_iec104.log")).find(text), std::string::npos);
    std::string line;
    bool journalled = false;
    while (ctx().MessBuff.Get(line)) journalled = journalled || line.rfind(text, 0) == 0;
    EXPECT_TRUE(journalled);
}

TEST_F(PollingTest, MoreTagsThanTheRegistryHoldsIsAFatalStop) {
    std::vector<int> exits;
    ctx().ErrorReporter.SetExitFunction([&exits](int code) { exits.push_back(code); });
    // 3 x 7000 two-state tags: more than the signal registry holds.
    auto table = std::make_unique<TStationTable>();
    std::vector<TPrmn> recs;
    for (int i = 1; i <= 3; ++i) {
        AddStation(*table, "S" + std::to_string(i), kDeadPort + i - 1, 7000, 0, i);
        recs.push_back(Rec(kDeadPort + i - 1));
    }
    WriteFiles(*table, recs);
    TPolling& p = Make();
    ctx().OprosFlag = true;
    p.Begin_Opros();
    EXPECT_FALSE(p.Polling());
    EXPECT_FALSE(ctx().OprosFlag);
    EXPECT_FALSE(p.LastError().empty());
    EXPECT_EQ(states, (std::vector<bool>{true, false}));
    EXPECT_FALSE(loop.timerActive(p.TimerId(kTimerCommandMs)));
    EXPECT_EQ(p.Clients().GetCount(), 0);
    EXPECT_EQ(exits, std::vector<int>{1});
    ASSERT_EQ(h.notifier.errors.size(), 1u);
    EXPECT_EQ(h.notifier.errors[0], "мала константа MAX_ARM_LIST\rВыполняется Halt()!!!");
    PumpUntilFinished();
    EXPECT_TRUE(p.WorkersFinished());
}

}  // namespace
}  // namespace telegate
