// The window on the real application controller: start-up shown through the
// presenter, the start/stop button, and the close that rewrites the configuration.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "app/PollingFixture.h"
#include "model/ConfigFile.h"
#include "platform/ManualMainLoop.h"
#include "support/CodePage.h"
#include "ui/FormApplication.h"
#include "ui/WindowFakes.h"

namespace telegate {
namespace {

using namespace testing_polling;
namespace fs = std::filesystem;

class FormApplicationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        old_ = fs::current_path();
        fs::current_path(dir.Path());
        auto table = std::make_unique<TStationTable>();
        AddStation(*table, "Станция", 9, 1, 1, 1);  // nothing listens on port 9
        WriteConfigFile(kConfigFileName, *table);
        TPrmnTable recs{};
        SetDefaultPrmn(recs[0], "127.0.0.1", 9);
        ASSERT_TRUE(ReadWritePrmnFile(pfm_Write, kPrmnFileName, recs, 1));
    }
    void TearDown() override { fs::current_path(old_); }

    TTempDir dir;
    fs::path old_;
    TContextHolder h;
    TAppContext& ctx = *h.ctx;
    TManualMainLoop loop{h.clock};
    TDeviceList devices{ctx};
    TWindowView view;
};

TEST_F(FormApplicationTest, StartUpStartStopAndClose) {
    TFormApplication app;
    TMainWindowPresenter win(ctx, devices, app);
    win.Attach(&view);
    TOPCForm form(ctx, loop, (dir.Path() / "Telegate.exe").string(), &win);
    app.Bind(form, win);
    form.FormCreate();
    app.AfterFormCreate();
    EXPECT_EQ(view.captions.BtnAdd, "Add New");
    EXPECT_EQ(view.status, fs::current_path().string());
    EXPECT_TRUE(view.trayIcon);
    // Polling runs and the station is not connected yet: the list marks it.
    EXPECT_EQ(view.names, std::vector<std::string>{std::string(kLostStationMark) + "Станция"});
    ASSERT_NE(form.Polling(), nullptr);
    EXPECT_TRUE(form.Polling()->Polling()) << "one station: polling starts by itself";
    EXPECT_EQ(view.captions.BtnPoll, "Stop Poll");
    EXPECT_FALSE(view.editEnabled);
    EXPECT_EQ(win.SignalGrid().RowCount(), 4);

    win.OnStartStop();
    EXPECT_FALSE(form.Polling()->Polling());
    EXPECT_EQ(view.captions.BtnPoll, "Start Poll");
    EXPECT_TRUE(view.editEnabled);
    EXPECT_EQ(app.OpcClientCount(), 0);
    EXPECT_EQ(app.RegisterServer(true).Outcome, TRegisterOutcome::Failed)
        << "no registration in this build";

    // The configuration is rewritten on close, in the writer's own form.
    WriteAll(kConfigFileName, "garbage");
    EXPECT_TRUE(win.OnCloseRequest());
    EXPECT_TRUE(form.SavedOnClose());
    EXPECT_EQ(ReadAll(kConfigFileName), Utf8ToCp1251(FormatConfigText(ctx.Stations)));
}

}  // namespace
}  // namespace telegate
