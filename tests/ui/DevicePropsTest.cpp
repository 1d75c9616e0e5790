// The device properties dialog: cell checks while typing, row add and delete,
// "Дополнительно", and OK that stores through the station list or stays open.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/PollingFixture.h"
#include "model/StationTable.h"
#include "platform/IniFile.h"
#include "ui/DevicePropsPresenter.h"
#include "ui/ProtocolParamsPresenter.h"

namespace telegate {
namespace {

using testing_polling::TTempDir;

TEST(DeviceProps, CellCheckWhileTyping) {
    struct Case {
        TGridKind grid;
        int col;
        const char* typed;
        const char* kept;
    };
    const TGridKind TS = TGridKind::Signals, TI = TGridKind::Measurements;
    const Case cases[] = {
        {TS, 2, "12a", "12"},     {TS, 3, "12", "12"},       {TS, 5, "-", "-"},
        {TS, 6, "-x", "-x"},      {TS, 2, "1.5", "1."},      {TS, 2, "", ""},
        {TS, 1, "abc", "abc"},    {TS, 4, "x,y", "x,y"},     {TS, 7, "q", "q"},
        {TI, 5, "1.5", "1.5"},    {TI, 6, "1,5", "1,"},      {TI, 8, "2e3", "2e3"},
        {TI, 7, "4095x", "4095"}, {TI, 2, "7", "7"},         {TI, 3, "Щ", ""},
        {TI, 1, "ТИ 1", "ТИ 1"},  {TI, 4, "любой", "любой"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CheckGridCell(c.grid, c.col, c.typed), c.kept)
            << (c.grid == TS ? "TS" : "TIT") << " col " << c.col << " '" << c.typed << "'";
}

struct TPropsView : IDevicePropsView {
    void SetCaptions(const std::vector<std::pair<std::string, std::string>>& c) override {
        captions = c;
    }
    void ShowForm(const TDeviceForm&) override { ++formShown; }
    void SetCell(TGridKind, int col, int row, const std::string& text) override {
        cells.push_back(std::to_string(col) + ":" + std::to_string(row) + "=" + text);
    }
    void ShowGrid(TGridKind, const TStringGrid&) override { ++gridShown; }
    void RunProtocolDialog(TProtocolParamsPresenter& d) override {
        if (protocolEdits) protocolEdits(d);
    }
    void ShowError(const std::string& t) override { errors.push_back(t); }
    void EndDialog(bool ok) override { ended.push_back(ok); }

    std::vector<std::pair<std::string, std::string>> captions;
    int formShown = 0, gridShown = 0;
    std::vector<std::string> cells, errors;
    std::vector<bool> ended;
    std::function<void(TProtocolParamsPresenter&)> protocolEdits;
};

struct DevicePropsFixture : ::testing::Test {
    TTempDir dir;
    TDeviceForm form;
    TSettings settings;
    TPropsView view;
    bool commitResult = true;
    int commits = 0;
    std::string Cnf() const { return (dir.Path() / "cnf.ini").string(); }
    TDevicePropsPresenter Make(int lang = 1) {
        return TDevicePropsPresenter(
            form, settings, lang,
            [this](const TDeviceForm&, std::string& e) {
                ++commits;
                if (!commitResult) e = "iec104sr.bin: cannot write";
                return commitResult;
            },
            Cnf());
    }
};

TEST_F(DevicePropsFixture, RowsAddAndDelete) {
    auto p = Make();
    p.Attach(&view);
    TStringGrid& g = form.StringGrid_TS;
    g.SetRowCount(5);
    for (int r = 1; r <= 4; ++r) g.SetCell(1, r, "s" + std::to_string(r));
    g.SetCell(6, 4, "77");
    p.OnDeleteRow(TGridKind::Signals, 2);
    ASSERT_EQ(g.RowCount(), 4);
    EXPECT_EQ(g.Cell(1, 1), "s1");
    EXPECT_EQ(g.Cell(1, 2), "s3");
    EXPECT_EQ(g.Cell(1, 3), "s4");
    EXPECT_EQ(g.Cell(6, 3), "77");
    // The title row is never deleted: the first tag would become titles.
    g.SetCell(1, 0, "Name");
    p.OnDeleteRow(TGridKind::Signals, 0);
    p.OnDeleteRow(TGridKind::Signals, 9);
    EXPECT_EQ(g.RowCount(), 4);
    EXPECT_EQ(g.Cell(1, 0), "Name");
    p.OnAddRow(TGridKind::Measurements);
    EXPECT_EQ(form.StringGrid_TIT.RowCount(), kNewGridRows + 1);
    EXPECT_EQ(form.StringGrid_TIT.Cell(1, kNewGridRows), "");
    EXPECT_EQ(view.gridShown, 2);
    // Edits go through the check; only a changed text is sent back to the view.
    p.OnCellEdited(TGridKind::Signals, 2, 1, "12a");
    p.OnCellEdited(TGridKind::Signals, 3, 1, "13");
    EXPECT_EQ(g.Cell(2, 1), "12");
    EXPECT_EQ(g.Cell(3, 1), "13");
    EXPECT_EQ(view.cells, std::vector<std::string>{"2:1=12"});
}

TEST_F(DevicePropsFixture, AdvancedOkTakesPortAndAddressCancelKeepsTheRecord) {
    form.Port_e = 2410;
    form.ASDU_Adr = 5;
    form.IP_e = "127.0.0.2";
    form.Name_dev_e = "КП";
    SetDefaultPrmn(form.Record, "127.0.0.1", 2404);
    auto p = Make();
    p.Attach(&view);
    // Cancel: the record gets the form's fields (as the dialog was shown) and nothing else.
    view.protocolEdits = [](TProtocolParamsPresenter& d) {
        d.OnFieldEdited(pf_t1, "99");
        d.OnCancel();
    };
    p.OnAdvanced();
    EXPECT_EQ(form.Record.t1, 15000);
    EXPECT_EQ(form.Record.Port, 2410);
    EXPECT_EQ(form.Record.CommonAsduAddress, 5);
    EXPECT_EQ(form.Record.prWork1, 1);
    // OK: the form shows the record's port, address, host and name.
    view.protocolEdits = [](TProtocolParamsPresenter& d) {
        d.OnFieldEdited(pf_Port, "2411");
        d.OnFieldEdited(pf_CommonAsduAddress, "9");
        d.OnFieldEdited(pf_t1, "20");
        ASSERT_TRUE(d.OnOk());
    };
    p.OnAdvanced();
    EXPECT_EQ(form.Port_e, 2411);
    EXPECT_EQ(form.ASDU_Adr, 9);
    EXPECT_EQ(form.IP_e, "127.0.0.2");
    EXPECT_EQ(form.Record.t1, 20000);
    EXPECT_EQ(commits, 0) << "nothing is stored before OK of the whole dialog";
}

TEST_F(DevicePropsFixture, OkWritesSettingsOnlyAfterTheStationWasStored) {
    form.IP_e = "127.0.0.1";
    form.CB_UseWebServer = true;
    form.SE_Port_WebServ = 8080;
    form.CB_Save_Obmen_v_File = true;
    auto p = Make();
    p.Attach(&view);
    commitResult = false;
    EXPECT_FALSE(p.OnOk());
    EXPECT_TRUE(view.ended.empty()) << "the dialog stays open with the operator's input";
    ASSERT_EQ(view.errors.size(), 1u);
    EXPECT_FALSE(settings.UseWebServer);
    EXPECT_FALSE(std::filesystem::exists(Cnf()));

    commitResult = true;
    EXPECT_TRUE(p.OnOk());
    EXPECT_EQ(view.ended, std::vector<bool>{true});
    EXPECT_TRUE(settings.UseWebServer);
    EXPECT_EQ(settings.Port_WebServ, 8080);
    EXPECT_TRUE(settings.Save_Obmen_v_File);
    TSettings reread;
    reread.ReadCnf(Cnf());
    EXPECT_TRUE(reread.UseWebServer);
    EXPECT_EQ(reread.Port_WebServ, 8080);
    EXPECT_TRUE(reread.Save_Obmen_v_File);
}

}  // namespace
}  // namespace telegate

namespace telegate {
namespace {

TEST(DeviceChecks, AddressesAndPorts) {
    const struct {
        const char* text;
        bool dotted, host;
    } hosts[] = {
        {"127.0.0.1", true, false}, {"255.255.255.255", true, false},
        {"0.0.0.0", true, false},   {"256.1.1.1", false, false},
        {"1.2.3", false, false},    {"1.2.3.4.5", false, false},
        {"01.2.3.4", false, false}, {"1.2.3.4 ", false, false},
        {"1..3.4", false, false},   {"+1.2.3.4", false, false},
        {"1.2.3.4.", false, false}, {"1234.1.1.1", false, false},
        {"", false, false},         {"rtu-7.station.local", false, true},
        {"localhost", false, true}, {"-bad.host", false, false},
        {"bad_host", false, false}, {"подстанция", false, false},
    };
    for (const auto& h : hosts) {
        EXPECT_EQ(IsIPv4Dotted(h.text), h.dotted) << "'" << h.text << "'";
        EXPECT_EQ(IsHostName(h.text), h.host) << "'" << h.text << "'";
    }
    const std::pair<const char*, int32_t> ports[] = {
        {"2404", 2404}, {"1", 1},    {"65535", 65535}, {"0", -1},  {"65536", -1},
        {"abc", -1},    {"12a", -1}, {"", -1},         {"-5", -1}, {"999999", -1},
    };
    for (const auto& [text, v] : ports) EXPECT_EQ(ParsePortText(text), v) << text;
}

TEST(DeviceChecks, OkRefusesWhatWouldBreakTheGateway) {
    // Another station already holds 19,990 tags.
    TStationTable stations;
    stations.Kol_KP = 1;
    stations.KP_arr[1].Kol_TS = 6995;
    stations.KP_arr[1].Kol_TI = 6995;
    stations.Kol_KP = 2;
    stations.KP_arr[2].Kol_TS = 6000;
    auto resolves = [](const std::string& host) { return host == "rtu.local"; };
    auto base = [] {
        TDeviceForm f;
        f.IP_e = "10.0.0.7";
        f.StringGrid_TS.SetRowCount(4);
        for (int r = 1; r <= 3; ++r) {
            f.StringGrid_TS.SetCell(1, r, "ТС" + std::to_string(r));
            f.StringGrid_TS.SetCell(2, r, "1");
            f.StringGrid_TS.SetCell(3, r, std::to_string(r));
        }
        // A measurement at a two-state tag's address is another kind: allowed.
        f.StringGrid_TIT.SetCell(1, 1, "ТИ1");
        f.StringGrid_TIT.SetCell(2, 1, "1");
        f.StringGrid_TIT.SetCell(3, 1, "1");
        return f;
    };
    struct Case {
        const char* what;
        std::function<void(TDeviceForm&)> change;
        const char* port;
        const char* bind;
        int station;
        const char* expect;  // a part of the message; "" for accepted
    };
    const Case cases[] = {
        {"good", [](TDeviceForm&) {}, "2404", "", 2, ""},
        {"host name that resolves", [](TDeviceForm& f) { f.IP_e = "rtu.local"; }, "2404", "", 2,
         ""},
        {"host name that does not", [](TDeviceForm& f) { f.IP_e = "nowhere.local"; }, "2404", "", 2,
         "\"IP адрес\": имя узла \"nowhere.local\" не находится"},
        {"address with a 256", [](TDeviceForm& f) { f.IP_e = "10.0.0.256"; }, "2404", "", 2,
         "\"IP адрес\": нужен адрес IPv4"},
        {"port abc", [](TDeviceForm&) {}, "abc", "", 2, "\"Порт\": нужно число от 1 до 65535"},
        {"port 0", [](TDeviceForm&) {}, "0", "", 2, "\"Порт\""},
        {"port 65536", [](TDeviceForm&) {}, "65536", "", 2, "\"Порт\""},
        {"bind to loopback", [](TDeviceForm&) {}, "2404", "127.0.0.1", 2, ""},
        {"bind to a name", [](TDeviceForm&) {}, "2404", "localhost", 2, "\"Адрес WEB-сервера"},
        {"two signals at 1,2", [](TDeviceForm& f) { f.StringGrid_TS.SetCell(3, 3, "2"); }, "2404",
         "", 2, "строки 2 и 3 с одним адресом 1,2"},
        {"an unnamed row is not stored, so not a duplicate",
         [](TDeviceForm& f) {
             f.StringGrid_TS.SetCell(1, 3, "");
             f.StringGrid_TS.SetCell(3, 3, "2");
         },
         "2404", "", 2, ""},
        {"7001 measurements",
         [](TDeviceForm& f) {
             f.StringGrid_TIT.SetRowCount(7002);
             for (int r = 1; r <= 7001; ++r) {
                 f.StringGrid_TIT.SetCell(1, r, "ТИ");
                 f.StringGrid_TIT.SetCell(3, r, std::to_string(r));
             }
         },
         "2404", "", 2, "7001 тегов"},
        {"over 20,000 over all stations (the edited station's old tags not counted)",
         [](TDeviceForm& f) {
             f.StringGrid_TIT.SetRowCount(7002);
             for (int r = 1; r <= 7000; ++r) {
                 f.StringGrid_TIT.SetCell(1, r, "ТИ");
                 f.StringGrid_TIT.SetCell(3, r, std::to_string(r));
             }
         },
         "2404", "", 2, "Всего тегов во всех КП было бы 20993"},
        {"a new station within 20,000 (13990 + 6000 + 4)", [](TDeviceForm&) {}, "2404", "", 0, ""},
        {"a new station over 20,000 (13990 + 6000 + 11)",
         [](TDeviceForm& f) {
             f.StringGrid_TS.SetRowCount(11);
             for (int r = 4; r <= 10; ++r) {
                 f.StringGrid_TS.SetCell(1, r, "ТС");
                 f.StringGrid_TS.SetCell(3, r, std::to_string(r));
             }
         },
         "2404", "", 0, "было бы 20001"},
    };
    for (const Case& c : cases) {
        TDeviceForm f = base();
        c.change(f);
        const std::string port = c.port;
        const std::string error = CheckDeviceForm(f, &port, nullptr, c.bind,
                                                  TDeviceChecks{&stations, c.station, resolves}, 0);
        if (std::string(c.expect).empty())
            EXPECT_EQ(error, "") << c.what;
        else
            EXPECT_NE(error.find(c.expect), std::string::npos) << c.what << ": " << error;
    }
}

}  // namespace
}  // namespace telegate
