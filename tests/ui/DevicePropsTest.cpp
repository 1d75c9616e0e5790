// The device properties dialog: cell checks while typing, row add and delete,
// "Дополнительно", and OK that stores through the station list or stays open.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/PollingFixture.h"
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
