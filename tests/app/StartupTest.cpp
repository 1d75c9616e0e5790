#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/AppContext.h"
#include "app/Main.h"
#include "app/Polling.h"
#include "model/ConfigFile.h"
#include "model/Prmn.h"
#include "opc/Core.h"
#include "opc/OpcFixture.h"
#include "opc/Server.h"
#include "platform/ManualMainLoop.h"
#include "support/Clock.h"
#include "support/CodePage.h"
#include "support/Notifier.h"

namespace telegate {
namespace {

namespace fs = std::filesystem;

// Runs each test in a fresh temporary directory, as if it held the executable.
class StartupTest : public ::testing::Test {
  protected:
    void SetUp() override {
        old_ = fs::current_path();
        std::string tmpl = (fs::temp_directory_path() / "tg-startup-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        fs::current_path(dir_);
        exe_ = (dir_ / "telegate").string();
    }
    void TearDown() override {
        fs::current_path(old_);
        fs::remove_all(dir_);
    }
    static void Put(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string Get(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    // A configuration with `count` stations of two tags each.
    static void WriteStations(int count) {
        auto table = std::make_unique<TStationTable>();
        table->Kol_KP = count;
        for (int n = 1; n <= count; ++n) {
            T_KP& kp = table->KP_arr[n];
            kp.NameKP = "Подстанция " + std::to_string(n);
            kp.IP = "127.0.0.1";
            kp.ASDU_Adr = n;
            kp.Kol_TS = 1;
            kp.TS_arr[1].NameTS = "Выключатель";
            kp.TS_arr[1].AdrASDU = n;
            kp.TS_arr[1].AdrIOA = 100;
            kp.Kol_TI = 1;
            kp.TI_arr[1].NameTI = "Ua";
            kp.TI_arr[1].AdrASDU = n;
            kp.TI_arr[1].AdrIOA = 200;
            kp.TI_arr[1].Max_TM_Diap = 32767;
            kp.TI_arr[1].Max_Eng_Diap = 10;
        }
        WriteConfigFile(kConfigFileName, *table);
    }

    fs::path old_, dir_;
    std::string exe_;
    TManualClock clock_{46000.5, 1000};
    TRecordingNotifier notifier_;
};

struct TRecordingView : IFormView {
    std::vector<std::string> calls;
    std::vector<std::string> names;
    void SetLang(int lang) override { calls.push_back("SetLang " + std::to_string(lang)); }
    void ShowCurrentDir(const std::string&) override { calls.push_back("ShowCurrentDir"); }
    void CreateComboBoxes(const TSettings& s) override {
        calls.push_back("CreateComboBoxes " + std::to_string(s.IndexReOutTs));
    }
    void Refresh_ListBox(const std::vector<std::string>& n) override {
        names = n;
        calls.push_back("Refresh_ListBox");
    }
    void ShowTrayIcon(const std::string& tip) override { calls.push_back("ShowTrayIcon " + tip); }
};

TEST_F(StartupTest, EmptyDirectoryStartsWithDefaultsAndNoPolling) {
    TAppContext ctx(clock_, notifier_);
    TManualMainLoop loop(clock_);
    ctx.Prmn[5].Port = 2404;  // start-up zeroes the records
    ctx.LangCode = 3;
    ASSERT_NE(ctx.ArmSignals.AddRec(1, stErr, "x", 0), nullptr);
    TOPCForm form(ctx, loop, exe_);
    form.FormCreate();
    EXPECT_EQ(ctx.ArmSignals.GetCount(), 0);
    EXPECT_EQ(ctx.LangCode, 1);
    EXPECT_EQ(ctx.Stations.Kol_KP, 0);
    EXPECT_FALSE(ctx.OprosFlag);
    EXPECT_EQ(ctx.MessBuff.FSize, 1000);
    EXPECT_EQ(ctx.MessBuff.MBufFlag, 0u);
    EXPECT_EQ(ctx.Items.Indent_arr[0].Quality, 0);
    EXPECT_EQ(ctx.Items.Indent_arr[1].Quality, 1);
    EXPECT_EQ(ctx.Items.Indent_arr[60000].Quality, 1);
    EXPECT_EQ(ctx.Prmn[5], TPrmn{});
    EXPECT_EQ(ctx.Settings.IndexReOutTs, 1);
    EXPECT_EQ(ctx.Settings.Port_WebServ, 80);
    EXPECT_DOUBLE_EQ(ctx.OneHour, 1.0 / 24.0);
    EXPECT_EQ(fs::path(ctx.CurrentDir), fs::current_path());
    EXPECT_TRUE(notifier_.errors.empty());
    // Start-up writes nothing.
    EXPECT_TRUE(fs::is_empty(dir_));
}

// The OPC side of start-up and close: named, given the bridge, its address space
// built by the start of polling, accepting clients only after FormCreate, counted
// by the 500 ms timer, and asked to disconnect on close while polling goes on.
TEST_F(StartupTest, OpcServerComesUpAfterPollingAndShutsDownOnClose) {
    WriteStations(2);
    TAppContext ctx(clock_, notifier_);
    TManualMainLoop loop(clock_);
    TOPCForm form(ctx, loop, exe_);
    opc::sOPC& core = *ctx.Opc;
    form.OpcInit();
    EXPECT_EQ(core.ServerName, "Telegate.OPCServer");
    EXPECT_EQ(core.ServerDescription, "Telegate");
    EXPECT_FALSE(core.LogEnabled());
    form.FormCreate();
    ASSERT_TRUE(ctx.OprosFlag);
    EXPECT_EQ(ctx.LifebitId, 10);  // two stations of branch, status and two tags
    EXPECT_EQ(ctx.Stations.KP_arr[2].Nom_OPC_TI, 8);
    ASSERT_NE(core.GetOPCNode("Подстанция 2.Ua", -1), nullptr);
    EXPECT_FALSE(core.CanStart());
    form.OpcStart();
    EXPECT_TRUE(core.CanStart());

    opc::sOPCDataAccess* server = opc::sOPCDataAccess::Create(core);
    opc::test::TSink sink;
    IConnectionPointContainer* cpc = nullptr;
    ASSERT_EQ(S_OK, server->QueryInterface(com::IidOf<IConnectionPointContainer>(),
                                           reinterpret_cast<void**>(&cpc)));
    IConnectionPoint* cp = nullptr;
    ASSERT_EQ(S_OK, cpc->FindConnectionPoint(com::IidOf<IOPCShutdown>(), &cp));
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, cp->Advise(static_cast<IOPCShutdown*>(&sink), &cookie));
    OPCHANDLE hGroup = 0;
    DWORD revised = 0;
    IUnknown* group = nullptr;
    ASSERT_EQ(S_OK, server->AddGroup(com::W("g").c_str(), TRUE, 1000, 1, nullptr, nullptr, 0,
                                     &hGroup, &revised, com::IidOf<IOPCItemMgt>(), &group));
    EXPECT_EQ(form.OpcServerCount(), 0);
    loop.Advance(500);
    EXPECT_EQ(form.OpcServerCount(), 1);
    EXPECT_EQ(form.OpcGroupCount(), 1);

    form.CloseApplication();
    EXPECT_EQ(sink.shutdown.empty(), false);
    EXPECT_TRUE(form.Polling()->Polling());

    cp->Unadvise(cookie);
    cp->Release();
    cpc->Release();
    group->Release();
    server->RemoveGroup(hGroup, FALSE);
    server->Release();
}

TEST_F(StartupTest, ReadsSettingsConfigurationAndStartsPolling) {
    WriteStations(3);
    Put("telegate.ini", "[_Options_]\r\nMBufFlag=6\r\nIndexReOutTs=0\r\nIndexReOutDeb=-2\r\n");
    Put("cnf.ini", "[UseWebServer]\r\nUseWebServer=1\r\n[Port_WebServ]\r\nPort_WebServ=65616\r\n");
    TAppContext ctx(clock_, notifier_);
    TManualMainLoop loop(clock_);
    TRecordingView view;
    TOPCForm form(ctx, loop, exe_, &view);
    form.FormCreate();
    EXPECT_EQ(ctx.Stations.Kol_KP, 3);
    EXPECT_TRUE(ctx.OprosFlag);
    EXPECT_EQ(ctx.MessBuff.MBufFlag, 6u);
    EXPECT_EQ(ctx.Settings.IndexReOutDeb, -2);
    EXPECT_TRUE(ctx.Settings.UseWebServer);
    EXPECT_EQ(ctx.Settings.Port_WebServ, 80);
    EXPECT_EQ(view.names,
              (std::vector<std::string>{"Подстанция 1", "Подстанция 2", "Подстанция 3"}));
    EXPECT_EQ(view.calls,
              (std::vector<std::string>{"SetLang 1", "ShowCurrentDir", "CreateComboBoxes 1",
                                        "Refresh_ListBox", "ShowTrayIcon Telegate"}));
}

TEST_F(StartupTest, ExecutableNameSelectsTheProgramIni) {
    Put("station-master.ini", "[_Params_]\r\nsstID=17\r\n");
    Put("telegate.ini", "[_Params_]\r\nsstID=4\r\n");
    TAppContext ctx(clock_, notifier_);
    TManualMainLoop loop(clock_);
    TOPCForm form(ctx, loop, (dir_ / "station-master.exe").string());
    form.FormCreate();
    EXPECT_EQ(ctx.Settings.sstID, 17);
}

TEST_F(StartupTest, DamagedConfigurationStillStarts) {
    WriteStations(2);
    std::string text = Get(kConfigFileName);
    // A number field that is not a number after the first station's lines.
    size_t second = text.find("KP,2,");
    ASSERT_NE(second, std::string::npos);
    Put(kConfigFileName,
        text.substr(0, second) + "KP,zz,1,\"Bad\",127.0.0.1\r\n" + text.substr(second));
    TAppContext ctx(clock_, notifier_);
    TManualMainLoop loop(clock_);
    TOPCForm form(ctx, loop, exe_);
    EXPECT_NO_THROW(form.FormCreate());
    EXPECT_EQ(ctx.Stations.Kol_KP, 1);  // what was read before the bad line
    EXPECT_TRUE(ctx.OprosFlag);
}

// A configuration that did not load completely is reported at start, in the error
// log, the journal and a box, and is never written back: the close keeps the file
// and says why. Polling restarts read it again without repeating the report.
TEST_F(StartupTest, IncompleteConfigurationIsReportedAndKeptOnClose) {
    WriteStations(2);
    const std::string good = Get(kConfigFileName);
    const size_t second = good.find("KP,2,");
    ASSERT_NE(second, std::string::npos);
    std::string tooManyTs = good.substr(0, second);
    for (int k = 0; k < 7000; ++k) tooManyTs += "TS,1001,1,,\"x\",8272,1,9,0,0,0,0\r\n";
    struct Case {
        std::string text;
        int kolKP;
        std::string problem;
    };
    const std::vector<Case> cases = {
        {good.substr(0, second) + "TS,1001,1,,\"Q\",8272,1,$0A,0,0,0,0\r\n" + good.substr(second),
         1, "iec104.cfg, строка 10, поле 7: '$0A'"},
        {tooManyTs + good.substr(second), 2,
         "iec104.cfg, строка 7009: у КП Подстанция 1 больше 7000 ТС"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.problem);
        Put(kConfigFileName, c.text);
        fs::remove(kExceptionLogName);
        TRecordingNotifier notifier;
        TAppContext ctx(clock_, notifier);
        TManualMainLoop loop(clock_);
        TOPCForm form(ctx, loop, exe_);
        form.FormCreate();
        EXPECT_EQ(ctx.Stations.Kol_KP, c.kolKP);
        EXPECT_TRUE(ctx.OprosFlag);  // polling runs with what was read
        ASSERT_EQ(notifier.errors.size(), 1u);
        EXPECT_EQ(notifier.errors[0].rfind(c.problem, 0), 0u) << notifier.errors[0];
        EXPECT_NE(notifier.errors[0].find("\rКонфигурация iec104.cfg загружена не полностью"),
                  std::string::npos);
        const std::string log = Cp1251ToUtf8(Get(kExceptionLogName));
        EXPECT_NE(log.find(": " + c.problem), std::string::npos) << log;
        std::string line, journal;
        while (ctx.MessBuff.Get(line)) journal += line + "\n";
        EXPECT_EQ(journal.rfind(c.problem, 0), 0u) << journal;

        form.CloseApplication();
        EXPECT_FALSE(form.SavedOnClose());
        EXPECT_TRUE(form.KeptOnClose());
        EXPECT_EQ(loop.ExitCode(), 0);
        EXPECT_EQ(Get(kConfigFileName), c.text);
        EXPECT_EQ(notifier.errors.size(), 2u);
        EXPECT_NE(Cp1251ToUtf8(Get(kExceptionLogName))
                      .find(": iec104.cfg не перезаписан: конфигурация загружена не полностью (" +
                            c.problem),
                  std::string::npos);
    }
}

// More tags than the signal registry holds stop the program with exit status 1
// before anything is written.
TEST_F(StartupTest, MoreThan20000TagsStopTheProgramWithoutWriting) {
    auto table = std::make_unique<TStationTable>();
    for (int n = 1; n <= 3; ++n) {
        T_KP& kp = table->KP_arr[++table->Kol_KP];
        kp.NameKP = "S" + std::to_string(n);
        kp.IP = "127.0.0.1";
        kp.ASDU_Adr = n;
        kp.Kol_TS = 7000;
        for (int k = 1; k <= 7000; ++k) kp.TS_arr[k].AdrIOA = k;
    }
    WriteConfigFile(kConfigFileName, *table);
    Put(kConfigFileName, Get(kConfigFileName) + "; kept by hand\r\n");
    const std::string before = Get(kConfigFileName);
    TAppContext ctx(clock_, notifier_);
    TManualMainLoop loop(clock_);
    TOPCForm form(ctx, loop, exe_);
    form.FormCreate();
    EXPECT_TRUE(form.Halted());
    EXPECT_TRUE(loop.Quitted());
    EXPECT_EQ(loop.ExitCode(), 1);
    ASSERT_EQ(notifier_.errors.size(), 1u);
    EXPECT_EQ(notifier_.errors[0], "мала константа MAX_ARM_LIST\rВыполняется Halt()!!!");
    EXPECT_FALSE(form.Polling()->Polling());
    form.CloseApplication();  // a close that still arrives writes nothing either
    EXPECT_EQ(loop.ExitCode(), 1);
    EXPECT_EQ(Get(kConfigFileName), before);
}

// What interrupted atomic writes left behind goes at start; nothing else does.
TEST_F(StartupTest, LeftoverTemporaryFilesAreRemovedAtStart) {
    WriteStations(1);
    const std::vector<std::string> leftovers = {"iec104.cfg.tmp.aB3dE9", "zzz.dat.tmp.XXXXXX",
                                                "iec104sr.bin.tmp.000000", "cnf.ini.tmp.Zz09aQ"};
    const std::vector<std::string> kept = {"iec104.cfg.tmp.aB3dE",    // five characters
                                           "iec104.cfg.tmp.aB3dE9x",  // seven
                                           "iec104.cfg.tmp.aB3-E9",   // not a letter or digit
                                           "other.cfg.tmp.aB3dE9",    // not our file
                                           "iec104.cfg.bak",         "xiec104.cfg.tmp.aB3dE9"};
    for (const auto& name : leftovers) Put(name, "half");
    for (const auto& name : kept) Put(name, "keep");
    fs::create_directory("zzz.dat.tmp.DIRECT");  // a folder of that name stays
    std::error_code linkError;                   // Wine cannot make symbolic links
    fs::create_symlink("iec104.cfg", "iec104.cfg.tmp.LINK01", linkError);
    fs::create_directory("sub");
    Put("sub/iec104.cfg.tmp.aB3dE9", "elsewhere");  // only the program folder is cleaned
    TAppContext ctx(clock_, notifier_);
    TManualMainLoop loop(clock_);
    TOPCForm form(ctx, loop, exe_);
    form.FormCreate();
    for (const auto& name : leftovers) EXPECT_FALSE(fs::exists(name)) << name;
    for (const auto& name : kept) EXPECT_EQ(Get(name), "keep") << name;
    EXPECT_TRUE(fs::is_directory("zzz.dat.tmp.DIRECT"));
    if (!linkError) {
        EXPECT_TRUE(fs::is_symlink("iec104.cfg.tmp.LINK01"));
    }
    EXPECT_TRUE(fs::exists("sub/iec104.cfg.tmp.aB3dE9"));
    EXPECT_EQ(ctx.Stations.Kol_KP, 1);
    std::string line;
    int removed = 0;
    while (ctx.MessBuff.Get(line))
        removed += line.rfind("Удалён временный файл прерванной записи: ", 0) == 0;
    EXPECT_EQ(removed, 4);
}

TEST_F(StartupTest, BinaryGarbageConfigurationStillStarts) {
    std::string junk;
    for (int i = 0; i < 20000; ++i) junk.push_back(static_cast<char>((i * 131 + 7) & 0xFF));
    Put(kConfigFileName, junk);
    TAppContext ctx(clock_, notifier_);
    TManualMainLoop loop(clock_);
    TOPCForm form(ctx, loop, exe_);
    EXPECT_NO_THROW(form.FormCreate());
    EXPECT_GE(ctx.Stations.Kol_KP, 0);
    EXPECT_LE(ctx.Stations.Kol_KP, kMaxKP);
}

TEST_F(StartupTest, CloseAlwaysRewritesTheConfiguration) {
    WriteStations(2);
    const std::string before = Get(kConfigFileName);
    Put(kConfigFileName, before + "; a comment the writer drops\r\n");
    TAppContext ctx(clock_, notifier_);
    TManualMainLoop loop(clock_);
    TOPCForm form(ctx, loop, exe_);
    form.FormCreate();
    form.CloseApplication();
    EXPECT_TRUE(form.SavedOnClose());
    EXPECT_EQ(Get(kConfigFileName), before);
    EXPECT_TRUE(loop.Quitted());
    EXPECT_EQ(loop.ExitCode(), 0);
}

// An operator's file in the writer's own form survives start, polling with its
// publication ticks and the rewrite on close: every record line comes back byte for
// byte (ranges with fractions, negatives, huge values and reversed ends, options,
// command addresses, a name with a comma). The ";PORT" lines are comments made from
// the table and are compared up to the port; the ports themselves live in
// iec104sr.bin, which must come through untouched.
TEST_F(StartupTest, OperatorConfigurationSurvivesPollingAndClose) {
    const std::vector<std::string> lines = {
        ";kol,2",
        "KP,7,1,ПС Северная,127.0.0.1",
        ";PORT,7,1,ПС Северная,127.0.0.1,9",
        "PER,1",
        "TIM,1",
        "POPR,-3",
        "OPROS,1",
        "TS,1001,7,,\"Выключатель Q1, ввод\",8272,7,1,7,101,0,0",
        "TS,1001,7,,\"Разъединитель\",8272,7,2,0,0,0,0",
        "TIT,1001,7,,\"Напряжение Uab\",8280,7,1001,0,110,0,110,0,110,0,4095",
        "TIT,1001,7,,\"Ток Ia\",8280,7,1002,-100,100,-100,100,-100,100,-32768,32767",
        "TIT,1001,7,,\"Частота\",8280,7,1003,49.5,50.25,49.5,50.25,49.5,50.25,0.5,1E20",
        "TIT,1001,7,,\"Уровень\",8280,7,1004,10,0,10,0,10,0,0,100",
        "KP,12,1,ПС Южная,127.0.0.1",
        ";PORT,12,1,ПС Южная,127.0.0.1,10",
        "PER,0",
        "TIM,0",
        "POPR,2",
        "OPROS,0",
        "TIT,1002,12,,\"Мощность P\",8280,12,2001,0,0.001,0,0.001,0,0.001,0,1000",
    };
    std::string text;
    for (const std::string& l : lines) text += l + "\r\n";
    Put(kConfigFileName, Utf8ToCp1251(text));
    TPrmnTable prmn{};
    SetDefaultPrmn(prmn[0], "127.0.0.1", 9);
    SetDefaultPrmn(prmn[1], "127.0.0.1", 10);
    ASSERT_TRUE(ReadWritePrmnFile(pfm_Write, kPrmnFileName, prmn, 2));
    const std::string prmnBefore = Get(kPrmnFileName);

    TAppContext ctx(clock_, notifier_);
    TManualMainLoop loop(clock_);
    TOPCForm form(ctx, loop, exe_);
    form.FormCreate();
    ASSERT_TRUE(ctx.OprosFlag);
    ASSERT_NE(form.Polling(), nullptr);
    for (int i = 0; i < 10; ++i) {  // publication ticks, connection attempts, retries
        loop.Advance(kTimerShowMs);
        loop.RunPending();
    }
    EXPECT_EQ(ctx.Stations.KP_arr[1].TI_arr[3].Max_TM_Diap, 1e20);
    form.CloseApplication();
    ASSERT_TRUE(form.SavedOnClose());
    EXPECT_TRUE(notifier_.errors.empty());

    const std::string after = Cp1251ToUtf8(Get(kConfigFileName));
    std::vector<std::string> got;
    for (size_t at = 0, eol; (eol = after.find("\r\n", at)) != std::string::npos; at = eol + 2)
        got.push_back(after.substr(at, eol - at));
    ASSERT_EQ(got.size(), lines.size()) << after;
    std::string joined;
    for (const std::string& l : got) joined += l + "\r\n";
    EXPECT_EQ(joined, after) << "the file holds nothing beyond its lines";
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind(";PORT,", 0) == 0)
            EXPECT_EQ(got[i].substr(0, got[i].rfind(',')), lines[i].substr(0, lines[i].rfind(',')));
        else
            EXPECT_EQ(got[i], lines[i]) << "line " << i + 1;
    }
    EXPECT_EQ(Get(kPrmnFileName), prmnBefore);
}

TEST_F(StartupTest, CloseWithNoStationsWritesAnEmptyConfiguration) {
    TAppContext ctx(clock_, notifier_);
    TManualMainLoop loop(clock_);
    TOPCForm form(ctx, loop, exe_);
    form.FormCreate();
    EXPECT_TRUE(form.FormCloseQuery());
    EXPECT_EQ(Get(kConfigFileName), Utf8ToCp1251(FormatConfigText(ctx.Stations)));
}

TEST_F(StartupTest, CloseThatCannotSaveIsLoggedAndStillCloses) {
    TAppContext ctx(clock_, notifier_);
    TManualMainLoop loop(clock_);
    TOPCForm form(ctx, loop, exe_);
    form.FormCreate();
    fs::create_directory(kConfigFileName);  // a directory where the file should go
    form.CloseApplication();
    EXPECT_FALSE(form.SavedOnClose());
    EXPECT_TRUE(loop.Quitted());
    EXPECT_EQ(loop.ExitCode(), 1);
    EXPECT_EQ(notifier_.errors.size(), 1u);
    std::string log = Get(kExceptionLogName);
    EXPECT_NE(log.find(" . Class Name = telegate::EInOutError\r\n"), std::string::npos) << log;
}

// A settings file that exists but cannot be read (here a folder in its place) is
// reported in the error log, the journal and a box; the program goes on with the
// defaults, and neither start nor close writes over it.
TEST_F(StartupTest, UnreadableSettingsFileIsReportedAndLeftAlone) {
    for (const char* name : {"telegate.ini", "cnf.ini"}) {
        SCOPED_TRACE(name);
        fs::create_directory(name);
        TRecordingNotifier notifier;
        {
            TAppContext ctx(clock_, notifier);
            TManualMainLoop loop(clock_);
            TOPCForm form(ctx, loop, exe_);
            ASSERT_NO_THROW(form.FormCreate());
            EXPECT_EQ(ctx.Settings.IndexReOutTs, 1);
            EXPECT_EQ(ctx.Settings.Port_WebServ, 80);
            EXPECT_FALSE(ctx.Settings.UseWebServer);
            ASSERT_EQ(notifier.errors.size(), 1u);
            const std::string& text = notifier.errors[0];
            EXPECT_EQ(text.rfind("Не читается файл настроек ", 0), 0u) << text;
            EXPECT_NE(text.find(name), std::string::npos) << text;
            std::string line, journal;
            while (ctx.MessBuff.Get(line)) journal += line + "\n";
            EXPECT_NE(journal.find(text), std::string::npos) << journal;
            const std::string log = Cp1251ToUtf8(Get(kExceptionLogName));
            EXPECT_NE(log.find(text + " . Class Name = telegate::ESettingsUnreadable"),
                      std::string::npos)
                << log;
            form.CloseApplication();
            EXPECT_TRUE(form.SavedOnClose());
        }
        EXPECT_TRUE(fs::is_directory(name));
        fs::remove(name);
        fs::remove(kExceptionLogName);
    }
}

TEST_F(StartupTest, ExceptionInTimerIsLoggedAndTimerKeepsFiring) {
    clock_.SetWall(46000.5);  // 09.12.2025 12:00:00
    TAppContext ctx(clock_, notifier_);
    TManualMainLoop loop(clock_);
    TOPCForm form(ctx, loop, exe_);
    form.FormCreate();
    int ticks = 0;
    auto id = loop.addTimer(200, [&] {
        ++ticks;
        if (ticks <= 2) throw std::runtime_error("Деление на ноль");
    });
    loop.startTimer(id);
    loop.Advance(600);
    EXPECT_EQ(ticks, 3);
    std::string log = Cp1251ToUtf8(Get(kExceptionLogName));
    EXPECT_EQ(log,
              "09.12.2025 12:00:00: Деление на ноль . Class Name = std::runtime_error\r\n"
              "09.12.2025 12:00:00: Деление на ноль . Class Name = std::runtime_error\r\n");
}

TEST_F(StartupTest, ExceptionLogKeepsOneLinePerException) {
    TAppContext ctx(clock_, notifier_);
    TManualMainLoop loop(clock_);
    TOPCForm form(ctx, loop, exe_);
    Put(kExceptionLogName, "old line\r\n");
    form.ApplicationEvents1Exception("two\nlines", "X");
    std::string log = Get(kExceptionLogName);
    EXPECT_EQ(log.substr(0, 10), "old line\r\n");
    EXPECT_NE(log.find(": two lines . Class Name = X\r\n"), std::string::npos);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2);
}

TEST_F(StartupTest, ExceptionLogFailureIsIgnored) {
    fs::create_directory(kExceptionLogName);
    TAppContext ctx(clock_, notifier_);
    TManualMainLoop loop(clock_);
    TOPCForm form(ctx, loop, exe_);
    form.ApplicationEvents1Exception("lost", "X");  // must not throw or crash
    EXPECT_TRUE(fs::is_directory(kExceptionLogName));
}

TEST_F(StartupTest, ContextsAreIndependent) {
    WriteStations(2);
    TManualClock clock2(45000.25, 5);
    TRecordingNotifier notifier2;
    TAppContext a(clock_, notifier_);
    TAppContext b(clock2, notifier2);
    TManualMainLoop loopA(clock_), loopB(clock2);
    TOPCForm formA(a, loopA, exe_);
    formA.FormCreate();
    EXPECT_EQ(a.Stations.Kol_KP, 2);
    EXPECT_EQ(b.Stations.Kol_KP, 0);
    EXPECT_EQ(b.Items.Indent_arr[1].Quality, 0);
    a.MessBuff.Put(0, "only in a");
    std::string line;
    EXPECT_FALSE(b.MessBuff.Get(line));
    EXPECT_TRUE(a.MessBuff.Get(line));
    EXPECT_EQ(&b.Clock, &clock2);
}

}  // namespace
}  // namespace telegate
