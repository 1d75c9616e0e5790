// The main window: the station list commands with their dialog and files, the
// captions of both languages, the tray, the close of the program, the grids.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app/PollingFixture.h"
#include "model/ConfigFile.h"
#include "ui/DevicePropsPresenter.h"
#include "ui/MainWindowPresenter.h"
#include "ui/WindowFakes.h"

namespace telegate {
namespace {

using namespace testing_polling;

struct TFakeApp : IMainWindowApp {
    TPolling* Polling() override { return nullptr; }
    void StartStop() override { ++startStops; }
    int OpcClientCount() override { return clients; }
    int OpcGroupCount() override { return groups; }
    TRegisterResult RegisterServer(bool reg) override {
        registrations.push_back(reg ? "here" : "here, un");
        return direct;
    }
    TRegisterResult RegisterServerElevated(bool reg) override {
        registrations.push_back(reg ? "elevated" : "elevated, un");
        return elevated;
    }
    void Close() override { ++closes; }
    int clients = 0, groups = 0, startStops = 0, closes = 0;
    TRegisterResult direct{TRegisterOutcome::Done, {}}, elevated{TRegisterOutcome::Done, {}};
    std::vector<std::string> registrations;
};

struct MainWindowFixture : ::testing::Test {
    TTempDir dir;
    TContextHolder h;
    TAppContext& ctx = *h.ctx;
    TDeviceList devices{ctx, dir.Str()};
    TFakeApp app;
    TWindowView view;
    TMainWindowPresenter win{ctx, devices, app, dir.Str()};

    void SetUp() override { win.Attach(&view); }
    std::string Cfg() const { return (dir.Path() / kConfigFileName).string(); }
    std::string Bin() const { return (dir.Path() / kPrmnFileName).string(); }
    // Stations "S1".."Sn" on ports 2405.. with their records, written to both files.
    void Stations(int n) {
        for (int k = 1; k <= n; ++k) {
            AddStation(ctx.Stations, "S" + std::to_string(k), 2404 + k, k, 1, k);
            SetDefaultPrmn(ctx.Prmn[static_cast<size_t>(k - 1)], "127.0.0.1", 2404 + k);
        }
        std::string error;
        ASSERT_TRUE(devices.WriteFiles(error)) << error;
        win.Refresh_ListBox({});
    }
    std::vector<std::string> NamesInFile() {
        TStationTable t;
        TRecordingNotifier n;
        ReadConfigFile(Cfg(), t, n);
        std::vector<std::string> names;
        for (int k = 1; k <= t.Kol_KP; ++k) names.push_back(t.KP_arr[k].NameKP);
        return names;
    }
    std::vector<int32_t> PortsInBin() {
        TPrmnTable t{};
        std::vector<int32_t> ports;
        if (!ReadWritePrmnFile(pfm_Read, Bin(), t, kPrmnCount)) return ports;
        for (int k = 0; k < ctx.Stations.Kol_KP; ++k)
            ports.push_back(t[static_cast<size_t>(k)].Port);
        return ports;
    }
};

// ---------------------------------------------------------------- station list commands

TEST_F(MainWindowFixture, AddStoresNamedRowsInOrderAndWritesBothFiles) {
    view.dialog = [](TDevicePropsPresenter& d) {
        EXPECT_EQ(d.Form().Name_dev_e, "IEC104_1");
        EXPECT_EQ(d.Form().IP_e, "127.0.0.1");
        EXPECT_EQ(d.Form().StringGrid_TS.RowCount(), kNewGridRows);
        EXPECT_EQ(d.Form().StringGrid_TS.Cell(1, 0), "Name");  // English at language 1
        d.SetPort(2410);
        d.SetAsduAddress(7);
        for (int r : {1, 3, 5}) {
            d.OnCellEdited(TGridKind::Signals, 1, r, "ТС" + std::to_string(r));
            d.OnCellEdited(TGridKind::Signals, 2, r, "7");
            d.OnCellEdited(TGridKind::Signals, 3, r, std::to_string(100 + r));
        }
        d.OnCellEdited(TGridKind::Signals, 2, 2, "9");  // no name: not stored
        d.OnCellEdited(TGridKind::Measurements, 1, 1, "ТИ");
        d.OnCellEdited(TGridKind::Measurements, 5, 1, "0");
        d.OnCellEdited(TGridKind::Measurements, 6, 1, "4095");
        d.OnCellEdited(TGridKind::Measurements, 8, 1, "100.5");
        ASSERT_TRUE(d.OnOk());
    };
    win.OnAdd();
    ASSERT_EQ(view.dialogs, 1);
    ASSERT_EQ(ctx.Stations.Kol_KP, 1);
    const T_KP& kp = ctx.Stations.KP_arr[1];
    ASSERT_EQ(kp.Kol_TS, 3);
    for (int k = 1; k <= 3; ++k) {
        EXPECT_EQ(kp.TS_arr[k].NameTS, "ТС" + std::to_string(2 * k - 1));
        EXPECT_EQ(kp.TS_arr[k].AdrIOA, 100 + 2 * k - 1);
        EXPECT_EQ(kp.TS_arr[k].NomerKP, 1);
    }
    ASSERT_EQ(kp.Kol_TI, 1);
    EXPECT_EQ(kp.TI_arr[1].Max_TM_Diap, 4095);
    EXPECT_EQ(kp.TI_arr[1].Max_Eng_Diap, 100.5);
    const TPrmn& rec = ctx.Prmn[0];
    EXPECT_EQ(rec.Port, 2410);
    EXPECT_EQ(rec.CommonAsduAddress, 7);
    EXPECT_EQ(rec.Host, "127.0.0.1");
    EXPECT_EQ(rec.prWork1, 1);
    EXPECT_EQ(rec.LinkAddress1, 0) << "Add leaves the link address at its default";
    EXPECT_EQ(rec.t1, 15000);
    EXPECT_EQ(NamesInFile(), std::vector<std::string>{"IEC104_1"});
    EXPECT_EQ(PortsInBin(), std::vector<int32_t>{2410});
    EXPECT_EQ(view.names, std::vector<std::string>{"IEC104_1"});
}

TEST_F(MainWindowFixture, CellsThatDoNotParseAreStoredAsZero) {
    const std::pair<const char*, int32_t> ints[] = {{"12a", 0}, {"12", 12}, {"-3", -3}, {"", 0}};
    for (const auto& [text, v] : ints) EXPECT_EQ(GridCellToInt(text), v) << text;
    const std::pair<const char*, double> reals[] = {
        {"0", 0}, {"4095", 4095}, {"0,0", 0}, {"100.5", 100.5}, {"x", 0}};
    for (const auto& [text, v] : reals) EXPECT_EQ(GridCellToReal(text), v) << text;
}

TEST_F(MainWindowFixture, CancelAndRefusalsChangeNothing) {
    Stations(2);
    const std::string cfg = ReadAll(Cfg()), bin = ReadAll(Bin());
    const TPrmnTable records = ctx.Prmn;
    // Cancel, also after changing the protocol parameters.
    view.dialog = [](TDevicePropsPresenter& d) {
        d.OnCellEdited(TGridKind::Signals, 1, 1, "x");
        d.OnCancel();
    };
    win.OnAdd();
    win.OnDeviceSelected(1);
    win.OnChange();
    EXPECT_EQ(view.dialogs, 2);
    EXPECT_EQ(ctx.Stations.Kol_KP, 2);
    EXPECT_EQ(ctx.Stations.KP_arr[2].Kol_TS, 2);
    EXPECT_EQ(ctx.Prmn, records);
    EXPECT_EQ(ReadAll(Cfg()), cfg);
    EXPECT_EQ(ReadAll(Bin()), bin);
    // Delete answered with No or Cancel.
    for (TAnswer a : {TAnswer::No, TAnswer::Cancel}) {
        view.answer = a;
        win.OnDelete();
    }
    EXPECT_EQ(ctx.Stations.Kol_KP, 2);
    EXPECT_EQ(ReadAll(Cfg()), cfg);
    // While polling runs the commands are refused (and disabled).
    ctx.OprosFlag = true;
    win.OnPollStateChanged(true);
    EXPECT_FALSE(view.editEnabled);
    view.answer = TAnswer::Yes;
    win.OnAdd();
    win.OnDelete();
    EXPECT_EQ(view.dialogs, 2);
    EXPECT_EQ(view.messages, (std::vector<std::string>{kPollingRunsText, kPollingRunsText}));
    EXPECT_EQ(ctx.Stations.Kol_KP, 2);
}

TEST_F(MainWindowFixture, The33rdStationIsRefusedBeforeTheDialog) {
    Stations(32);
    win.OnAdd();
    EXPECT_EQ(view.dialogs, 0);
    EXPECT_EQ(view.messages,
              std::vector<std::string>{"Эта программа работает только с 32 IP адресами."});
    EXPECT_EQ(ctx.Stations.Kol_KP, 32);
}

TEST_F(MainWindowFixture, DeleteMovesTheLastStationIntoThePlace) {
    Stations(5);
    win.OnDeviceSelected(1);
    win.OnDelete();
    ASSERT_EQ(view.questions, std::vector<std::string>{kDeleteQuestionText});
    const std::vector<std::string> order = {"S1", "S5", "S3", "S4"};
    EXPECT_EQ(view.names, order);
    EXPECT_EQ(NamesInFile(), order);
    EXPECT_EQ(PortsInBin(), (std::vector<int32_t>{2405, 2409, 2407, 2408}));
    EXPECT_EQ(ctx.Stations.KP_arr[2].Kol_TS, 5) << "the moved station keeps its tags";
    EXPECT_EQ(ctx.Stations.KP_arr[2].TS_arr[1].NomerKP, 2);
    // The last one: the list only gets shorter.
    win.OnDeviceSelected(3);
    win.OnDelete();
    EXPECT_EQ(NamesInFile(), (std::vector<std::string>{"S1", "S5", "S3"}));
    EXPECT_EQ(view.selected, 0) << "a selection beyond the list moves to the first entry";
}

TEST_F(MainWindowFixture, ChangeStoresTheFormAndSetsTheLinkAddress) {
    Stations(2);
    win.OnChange();  // no selection: nothing
    EXPECT_EQ(view.dialogs, 0);
    win.OnDeviceSelected(1);
    view.dialog = [](TDevicePropsPresenter& d) {
        EXPECT_EQ(d.Form().Name_dev_e, "S2");
        EXPECT_EQ(d.Form().Port_e, 2406);
        EXPECT_EQ(d.Form().StringGrid_TS.RowCount(), 3);
        EXPECT_EQ(d.Form().StringGrid_TS.Cell(3, 2), "2");
        d.SetName("Подстанция");
        d.SetAsduAddress(44);
        d.OnDeleteRow(TGridKind::Signals, 1);
        ASSERT_TRUE(d.OnOk());
    };
    win.OnChange();
    const T_KP& kp = ctx.Stations.KP_arr[2];
    EXPECT_EQ(kp.NameKP, "Подстанция");
    EXPECT_EQ(kp.Kol_TS, 1);
    EXPECT_EQ(kp.TS_arr[1].AdrIOA, 2);
    EXPECT_EQ(ctx.Prmn[1].LinkAddress1, 44);
    EXPECT_EQ(ctx.Prmn[1].CommonAsduAddress, 44);
    EXPECT_EQ(NamesInFile(), (std::vector<std::string>{"S1", "Подстанция"}));
    EXPECT_EQ(win.SignalGrid().Cell(1, 2), kp.TS_arr[1].NameTS) << "the station is shown again";
}

TEST_F(MainWindowFixture, AFailedWriteKeepsTheOldFilesAndTheStateEqualToThem) {
    Stations(2);
    const std::string cfg = ReadAll(Cfg());
    // The parameter file cannot be replaced: a directory stands in its place.
    std::filesystem::remove(Bin());
    std::filesystem::create_directory(Bin());
    const TPrmnTable records = ctx.Prmn;
    int tries = 0;
    view.dialog = [&tries](TDevicePropsPresenter& d) {
        d.SetName("N");
        ++tries;
        EXPECT_FALSE(d.OnOk());  // the error is shown, the dialog stays open
        d.OnCancel();
    };
    win.OnAdd();
    win.OnDeviceSelected(0);
    win.OnChange();
    view.answer = TAnswer::Yes;
    win.OnDelete();
    EXPECT_EQ(tries, 2);
    EXPECT_EQ(view.errors.size(), 1u) << "Delete's failure; the dialogs showed their own";
    EXPECT_EQ(ReadAll(Cfg()), cfg) << "the first file got its old bytes back";
    EXPECT_EQ(ctx.Stations.Kol_KP, 2);
    EXPECT_EQ(ctx.Stations.KP_arr[1].NameKP, "S1");
    EXPECT_EQ(ctx.Stations.KP_arr[2].NameKP, "S2");
    EXPECT_EQ(ctx.Stations.KP_arr[1].Kol_TS, 1);
    EXPECT_EQ(ctx.Prmn, records);
    EXPECT_EQ(view.names, (std::vector<std::string>{"S1", "S2"}));
    // Without a file before, a failed write leaves none.
    std::filesystem::remove(Cfg());
    std::string error;
    EXPECT_FALSE(devices.WriteFiles(error));
    EXPECT_FALSE(std::filesystem::exists(Cfg()));
}

// ---------------------------------------------------------------- window, tray, close

TEST_F(MainWindowFixture, CaptionsOfBothLanguages) {
    struct Case {
        int lang;
        bool polling;
        std::string TMainCaptions::*field;
        const char* text;
    };
    const Case cases[] = {
        {1, false, &TMainCaptions::BtnAdd, "Add New"},
        {1, false, &TMainCaptions::BtnPoll, "Start Poll"},
        {1, true, &TMainCaptions::BtnPoll, "Stop Poll"},
        {0, true, &TMainCaptions::BtnPoll, "Остановить опрос"},
        {1, false, &TMainCaptions::MenuTrace, "Temporalily enable logging"},
        {1, false, &TMainCaptions::MenuUnregister, "UnRegister server"},
        {0, false, &TMainCaptions::TrayRestore, "&Восстановить"},
        {1, false, &TMainCaptions::TrayExit, "Exit"},
        {1, false, &TMainCaptions::LabelClients, "Кол-во клиентов:"},  // stays Russian
    };
    for (const Case& c : cases)
        EXPECT_EQ(MainCaptions(c.lang, c.polling).*c.field, c.text) << c.lang << " " << c.text;
    win.SetLang(0);
    EXPECT_EQ(view.captions.BtnDelete, "Удалить");
    EXPECT_EQ(view.trace, "Временно включить запись лог файлов");
    win.OnPollStateChanged(true);
    EXPECT_EQ(view.captions.BtnPoll, "Остановить опрос");
    EXPECT_FALSE(view.editEnabled);
    win.OnPollStateChanged(false);
    EXPECT_TRUE(view.editEnabled);
    win.OnStartStop();
    EXPECT_EQ(app.startStops, 1);
}

TEST_F(MainWindowFixture, TrayRestoreAndHideAlternate) {
    win.ShowTrayIcon("Telegate");
    EXPECT_TRUE(view.trayIcon);
    EXPECT_TRUE(view.restoreEnabled);
    EXPECT_FALSE(view.hideEnabled);
    win.OnTrayLeftDown();
    EXPECT_EQ(view.popups, 1);
    EXPECT_EQ(view.foreground, 1);
    win.OnTrayDoubleClick();
    EXPECT_FALSE(view.trayIcon);
    EXPECT_FALSE(view.restoreEnabled);
    EXPECT_TRUE(view.hideEnabled);
    win.OnTaskbarCreated();  // the icon is not shown while the window is
    EXPECT_FALSE(view.trayIcon);
    win.OnMinimize();
    EXPECT_EQ(view.hidden, 1);
    EXPECT_TRUE(view.trayIcon);
    const int calls = view.trayCalls;
    win.OnTaskbarCreated();
    EXPECT_EQ(view.trayCalls, calls + 1);
    win.OnRestore();
    EXPECT_EQ(view.shown, (std::vector<bool>{true, false})) << "controls shown the first time only";
}

TEST_F(MainWindowFixture, CloseAsksOnlyWhileOpcClientsAreConnected) {
    EXPECT_TRUE(win.OnCloseRequest());
    EXPECT_TRUE(view.questions.empty());
    app.clients = 2;
    for (TAnswer a : {TAnswer::No, TAnswer::Cancel}) {
        view.answer = a;
        EXPECT_FALSE(win.OnCloseRequest());
    }
    EXPECT_EQ(app.closes, 1);
    view.answer = TAnswer::Yes;
    EXPECT_TRUE(win.OnCloseRequest());
    EXPECT_EQ(app.closes, 2);
    EXPECT_EQ(view.questions.size(), 3u);
    EXPECT_EQ(view.questions[0], kCloseWithClientsText);
}

TEST(GridTexts, QualityInDecimalAndLetters) {
    const struct {
        uint8_t q;
        bool measurement;
        const char* text;
        bool bad;
    } cases[] = {
        {0x00, true, "0", false},
        {0x80, false, "128 IV", true},
        {0x10, false, "16 BL", false},
        {0x40, true, "64 NT", true},
        {0xC0, true, "192 IV NT", true},
        {0x20, false, "32 SB", false},
        {0x01, true, "1 OV", false},
        {0x01, false, "1", false},
        {0xF1, true, "241 IV NT SB BL OV", true},
        {0x0E, true, "14", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(QualityText(c.q, c.measurement), c.text) << int(c.q);
        EXPECT_EQ(QualityIsBad(c.q), c.bad) << int(c.q);
    }
}

TEST_F(MainWindowFixture, DeviceListAndLedsShowLostStations) {
    Stations(2);
    EXPECT_EQ(view.names, (std::vector<std::string>{"S1", "S2"})) << "no mark while stopped";
    EXPECT_EQ(win.LedTip(2), "2: S2");
    ctx.OprosFlag = true;
    ctx.Stations.KP_arr[1].Connected = true;
    win.TimerTick();
    EXPECT_EQ(view.names, (std::vector<std::string>{"S1", std::string(kLostStationMark) + "S2"}));
    EXPECT_EQ(win.LedTip(1), "1: S1 — есть связь");
    EXPECT_EQ(win.LedTip(2), "2: S2 — нет связи");
    ctx.Stations.KP_arr[2].Connected = true;
    ctx.Stations.KP_arr[1].Connected = false;
    win.TimerTick();
    EXPECT_EQ(view.names, (std::vector<std::string>{std::string(kLostStationMark) + "S1", "S2"}));
    ctx.OprosFlag = false;
    win.OnPollStateChanged(false);
    EXPECT_EQ(view.names, (std::vector<std::string>{"S1", "S2"}));
}

TEST_F(MainWindowFixture, AddShowsTheWebPortOfTheSettings) {
    ctx.Settings.Port_WebServ = 8081;
    win.Form().SE_Port_WebServ = 80;
    int shown = 0;
    view.dialog = [&shown](TDevicePropsPresenter& d) {
        shown = d.Form().SE_Port_WebServ;
        d.OnCancel();
    };
    win.OnAdd();
    EXPECT_EQ(shown, 8081);
}

TEST_F(MainWindowFixture, GridRowsCountersAndTrace) {
    win.ShowFirstStation();  // no station: empty grids
    EXPECT_EQ(win.SignalGrid().RowCount(), 1);
    EXPECT_EQ(win.SignalGrid().Cell(3, 0), "Значение");
    AddStation(ctx.Stations, "A", 2405, 3, 2, 1);
    win.Refresh_ListBox({});
    win.OnDeviceSelected(0);
    EXPECT_EQ(win.SignalGrid().RowCount(), 6);
    EXPECT_EQ(win.MeasurementGrid().RowCount(), 4);
    EXPECT_EQ(win.SignalGrid().Cell(1, 1), "Соединение:");
    EXPECT_EQ(win.SignalGrid().Cell(2, 3), "1,2");
    EXPECT_EQ(win.MeasurementGrid().Cell(1, 2), "TI2");
    EXPECT_EQ(win.MeasurementGrid().Cell(5, 0), "Значение (инж.)");
    EXPECT_EQ(win.MeasurementGrid().Cell(6, 0), "Время (местное)");
    // Polling stopped: the link row says so and every row is greyed.
    win.OutStingGrigTsTit();
    EXPECT_EQ(win.SignalGrid().Cell(3, 1), kNotPolled);
    for (int row = 1; row < 6; ++row) EXPECT_EQ(win.RowLook(false, row), TRowLook::Stopped);
    EXPECT_EQ(win.RowLook(true, 2), TRowLook::Stopped);
    ctx.OprosFlag = true;
    win.OutStingGrigTsTit();
    EXPECT_EQ(win.SignalGrid().Cell(3, 1), "Нет");
    EXPECT_EQ(win.RowLook(false, 1), TRowLook::Bad);
    ctx.Stations.KP_arr[1].Connected = true;
    win.OutStingGrigTsTit();
    EXPECT_EQ(win.SignalGrid().Cell(3, 1), "Есть");
    EXPECT_EQ(win.RowLook(false, 1), TRowLook::Normal);
    ctx.OprosFlag = false;
    win.OnPollStateChanged(false);
    EXPECT_EQ(win.SignalGrid().Cell(3, 1), kNotPolled) << "Stop Poll greys what was shown";
    EXPECT_EQ(win.RowLook(false, 1), TRowLook::Stopped);

    win.TimerTick();
    win.TimerTick();
    app.clients = 1;
    app.groups = 3;
    win.TimerTick();
    EXPECT_EQ(view.counters, (std::vector<std::pair<int, int>>{{0, 0}, {1, 3}}));

    win.OnTraceSwitch();
    EXPECT_TRUE(ctx.Settings.Save_Obmen_v_File);
    EXPECT_EQ(view.trace, "Выключить запись лог файлов");
    EXPECT_EQ(view.messages, std::vector<std::string>{kTraceOnAdvice});
    win.OnTraceSwitch();
    EXPECT_FALSE(ctx.Settings.Save_Obmen_v_File);
    EXPECT_EQ(view.trace, "Временно включить запись лог файлов");

    win.OnHelp();
    EXPECT_EQ(view.opened, "") << "no help document anywhere";
    ASSERT_EQ(view.errors.size(), 1u);
    EXPECT_NE(view.errors[0].find("Telegate.doc"), std::string::npos);
    { std::ofstream((dir.Path() / "Telegate.doc").string()) << "doc"; }
    win.OnHelp();
    EXPECT_EQ(view.opened, (dir.Path() / "Telegate.doc").string());
    win.CreateComboBoxes(ctx.Settings);
    EXPECT_EQ(view.options, (std::vector<int>{1, 1, 1}));
}

// ---------------------------------------------------------------- status bar and journal

TEST_F(MainWindowFixture, FailuresLeadTheStatusBarUntilResolved) {
    const struct {
        const char* failures;
        const char* status;
    } steps[] = {
        {"", "C:\\ProgramData\\Telegate"},
        {"Опрос не запущен: x", "Ошибка: Опрос не запущен: x  |  C:\\ProgramData\\Telegate"},
        {"a; b", "Ошибка: a; b  |  C:\\ProgramData\\Telegate"},
        {"", "C:\\ProgramData\\Telegate"},
    };
    win.ShowCurrentDir("C:\\ProgramData\\Telegate");
    for (const auto& step : steps) {
        win.ShowFailures(step.failures);
        EXPECT_EQ(view.status, step.status) << step.failures;
        EXPECT_EQ(win.StatusText(), step.status);
    }
    // The folder shown later keeps a failure in front of it.
    win.ShowFailures("f");
    win.ShowCurrentDir("/data");
    EXPECT_EQ(view.status, "Ошибка: f  |  /data");
}

TEST_F(MainWindowFixture, JournalWindowGetsTheLastLinesAndThenEveryNewOne) {
    const size_t n = TMainWindowPresenter::kJournalWindowLines + 5;
    for (size_t i = 0; i < n; ++i) win.AddJournalLine("line " + std::to_string(i));
    view.journal.clear();
    win.OnJournal();
    ASSERT_EQ(view.journal.size(), TMainWindowPresenter::kJournalWindowLines);
    EXPECT_EQ(view.journal.front(), "line 5");  // the oldest ones went
    EXPECT_EQ(view.journal.back(), "line " + std::to_string(n - 1));
    win.AddJournalLine("new");
    EXPECT_EQ(view.journal.back(), "new");
    EXPECT_EQ(win.JournalLines().size(), TMainWindowPresenter::kJournalWindowLines);
    EXPECT_EQ(win.JournalLines().back(), "new");
}

// The tray follows the stations' links every 500 ms: its tip counts the connected
// stations, its icon warns while one is not, and a station lost or restored gets a
// balloon, at most one per station a minute.
TEST_F(MainWindowFixture, TrayShowsLostStations) {
    Stations(3);
    win.OnMinimize();  // hidden in the tray
    win.OnRestore();
    win.OnMinimize();
    ctx.OprosFlag = true;
    auto& kp = ctx.Stations.KP_arr;
    const struct {
        int64_t advanceMs;
        bool s1, s2, s3;
        const char* tip;
        bool alert;
        const char* balloon;  // the newest balloon after the step, "" for none yet
        size_t balloons;
    } steps[] = {
        {0, false, false, false, "Telegate — 0 of 3 stations connected", true, "", 0},
        {500, true, true, false, "Telegate — 2 of 3 stations connected", true, "", 0},
        {500, true, true, true, "Telegate — 3 of 3 stations connected", false, "", 0},
        {500, true, false, true, "Telegate — 2 of 3 stations connected", true,
         "Связь с КП \"S2\" потеряна", 1},
        // Back within the minute: no balloon, the tip and icon follow at once.
        {500, true, true, true, "Telegate — 3 of 3 stations connected", false,
         "Связь с КП \"S2\" потеряна", 1},
        {500, false, true, true, "Telegate — 2 of 3 stations connected", true,
         "Связь с КП \"S1\" потеряна", 2},
        {61000, false, false, true, "Telegate — 1 of 3 stations connected", true,
         "Связь с КП \"S2\" потеряна", 3},
        {500, true, false, true, "Telegate — 2 of 3 stations connected", true,
         "Связь с КП \"S1\" восстановлена", 4},
    };
    for (const auto& step : steps) {
        h.clock.Advance(step.advanceMs);
        kp[1].Connected = step.s1;
        kp[2].Connected = step.s2;
        kp[3].Connected = step.s3;
        win.TimerTick();
        EXPECT_EQ(win.TrayTip(), step.tip);
        EXPECT_EQ(view.trayTip, step.tip);  // the icon in the tray got it
        EXPECT_EQ(view.alert, step.alert) << step.tip;
        EXPECT_EQ(view.balloons.size(), step.balloons) << step.tip;
        if (!view.balloons.empty()) {
            EXPECT_EQ(view.balloons.back(), step.balloon);
        }
    }
    // Polling stopped: no count, no warning.
    ctx.OprosFlag = false;
    win.TimerTick();
    EXPECT_EQ(win.TrayTip(), "Telegate");
    EXPECT_FALSE(view.alert);
}

}  // namespace
}  // namespace telegate

// ---------------------------------------------------------------- registration, session end

namespace telegate {
namespace {

TEST_F(MainWindowFixture, RegistrationSaysWhatHappenedAndOffersElevation) {
    using O = TRegisterOutcome;
    const struct {
        bool reg;
        O direct;
        TAnswer answer;
        O elevated;
        std::vector<std::string> calls;
        int questions;
        const char* message;  // the information box, or null
        const char* error;    // the error box, or null
    } cases[] = {
        {true, O::Done, TAnswer::Yes, O::Done, {"here"}, 0, "OPC server is registered", nullptr},
        {false, O::Done, TAnswer::Yes, O::Done, {"here, un"}, 0, "is unregistered", nullptr},
        {true,
         O::NeedsAdmin,
         TAnswer::Yes,
         O::Done,
         {"here", "elevated"},
         1,
         "registered; OPC clients can find it as Telegate.OPCServer. (with administrator rights)",
         nullptr},
        {false,
         O::NeedsAdmin,
         TAnswer::Yes,
         O::Failed,
         {"here, un", "elevated, un"},
         1,
         nullptr,
         "could not be unregistered: exit status 1"},
        {true,
         O::NeedsAdmin,
         TAnswer::Yes,
         O::Declined,
         {"here", "elevated"},
         1,
         nullptr,
         "administrator rights were not granted"},
        {true, O::NeedsAdmin, TAnswer::No, O::Done, {"here"}, 1, nullptr, "needs administrator"},
        {true,
         O::Failed,
         TAnswer::Yes,
         O::Done,
         {"here"},
         0,
         nullptr,
         "could not be registered: exit status 1"},
    };
    ctx.LangCode = kLangEnglish;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.message != nullptr ? c.message : c.error));
        app.registrations.clear();
        view.messages.clear();
        view.errors.clear();
        view.questions.clear();
        app.direct = {c.direct, c.direct == O::Done ? "" : "exit status 1"};
        app.elevated = {c.elevated, c.elevated == O::Failed ? "exit status 1" : ""};
        view.answer = c.answer;
        win.OnRegister(c.reg);
        EXPECT_EQ(app.registrations, c.calls);
        EXPECT_EQ(static_cast<int>(view.questions.size()), c.questions);
        if (c.questions > 0) {
            EXPECT_NE(view.questions[0].find("administrator rights"), std::string::npos);
        }
        ASSERT_EQ(view.messages.size() + view.errors.size(), 1u) << "one box, always";
        if (c.message != nullptr) {
            ASSERT_EQ(view.messages.size(), 1u);
            EXPECT_NE(view.messages[0].find(c.message), std::string::npos) << view.messages[0];
        } else {
            ASSERT_EQ(view.errors.size(), 1u);
            EXPECT_NE(view.errors[0].find(c.error), std::string::npos) << view.errors[0];
        }
    }
}

TEST_F(MainWindowFixture, SessionEndClosesWithoutAskingEvenWithClients) {
    app.clients = 2;
    view.answer = TAnswer::No;
    EXPECT_FALSE(win.OnCloseRequest()) << "the operator's close asks first";
    EXPECT_EQ(app.closes, 0);
    win.OnEndSession();
    EXPECT_EQ(app.closes, 1);
    EXPECT_EQ(view.questions.size(), 1u) << "the session's end asked nothing";
}

}  // namespace
}  // namespace telegate
