// The main window and the channel panels over real polling (stations on ports
// nothing listens on, a manual loop): grid values at the display timer, LEDs
// following the connection state, nothing left bound after a stop.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/PollingFixture.h"
#include "model/ConfigFile.h"
#include "model/Tags.h"
#include "platform/ManualMainLoop.h"
#include "ui/ChannelPanelPresenter.h"
#include "ui/MainWindowPresenter.h"
#include "ui/WindowFakes.h"

namespace telegate {
namespace {

using namespace testing_polling;

constexpr int kDeadPort = 9;

struct TLedRecorder : IChannelPanelView {
    void PaintLed(const TLedView& led) override { painted.push_back(led); }
    void SetChannelCount(int count) override { counts.push_back(count); }
    std::vector<TLedView> painted;
    std::vector<int> counts;
};

struct TPollingApp : IMainWindowApp {
    TPolling* Polling() override { return polling; }
    void StartStop() override { polling->ButtonStartStop(); }
    int OpcClientCount() override { return 0; }
    int OpcGroupCount() override { return 0; }
    TRegisterResult RegisterServer(bool) override { return {}; }
    void Close() override {}
    TPolling* polling = nullptr;
};

class LiveViewTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto table = std::make_unique<TStationTable>();
        AddStation(*table, "Первая", kDeadPort, 2, 2, 1);
        AddStation(*table, "Вторая", kDeadPort + 1, 1, 1, 2);
        table->KP_arr[1].PereschetTI = true;
        table->KP_arr[1].Popravka_Time = 2;
        WriteConfigFile((dir.Path() / kConfigFileName).string(), *table);
        TPrmnTable recs{};
        SetDefaultPrmn(recs[0], "127.0.0.1", kDeadPort);
        SetDefaultPrmn(recs[1], "127.0.0.1", kDeadPort + 1);
        ASSERT_TRUE(ReadWritePrmnFile(pfm_Write, (dir.Path() / kPrmnFileName).string(), recs, 2));
        ctx.Settings.UseWebServer = false;
        win.Attach(&view);
        win.SetChannelPanel(&channels);
        TPollingOptions o;
        o.Dir = dir.Str();
        o.WorkerTimings.StartDelayMs = 600000;  // the workers stay quiet
        polling = std::make_unique<TPolling>(ctx, loop, o, win.PollingView());
        app.polling = polling.get();
    }
    void TearDown() override {
        if (!polling) return;
        polling->Stop_IEC104();
        for (int i = 0; i < 2000 && !polling->WorkersFinished(); ++i) {
            loop.WaitForPending(5);
            loop.RunPending();
        }
        polling.reset();
    }

    TContextHolder h;
    TAppContext& ctx = *h.ctx;
    TTempDir dir;
    TManualMainLoop loop{h.clock};
    TDeviceList devices{ctx, dir.Str()};
    TPollingApp app;
    TWindowView view;
    TLedRecorder leds;
    TChannelPanelPresenter channels{&leds};
    TMainWindowPresenter win{ctx, devices, app, dir.Str()};
    std::unique_ptr<TPolling> polling;
};

TEST_F(LiveViewTest, GridsShowTheSelectedStationsValuesAtTheDisplayTimer) {
    win.OnStartStop();
    ASSERT_TRUE(polling->Polling()) << polling->LastError();
    EXPECT_EQ(view.captions.BtnPoll, "Stop Poll");
    EXPECT_FALSE(view.editEnabled);
    EXPECT_EQ(win.Selected(), 0);
    ASSERT_EQ(win.SignalGrid().RowCount(), 5);
    ASSERT_EQ(win.MeasurementGrid().RowCount(), 4);

    // 2026-12-09 10:00:00.250 local, shown two hours later (the station's correction).
    TDateTime stamp = 0;
    ASSERT_TRUE(TryEncodeDate(2026, 12, 9, stamp));
    stamp += (10.0 * 3600000.0 + 250.0) / kMsPerDay;
    TTagSignalList& tags = *polling->Publisher().Tags();
    const uint8_t on = 1;
    const float raw = 500.75f;  // range 0..1000 -> 0..100
    uint8_t octets[4];
    std::memcpy(octets, &raw, 4);
    for (int i = 0; i < tags.GetCount(); ++i) {
        TTagSignal& t = *tags.GetTag(i);
        if (t.FName.rfind("TS", 0) == 0)
            t.Value.SetParam1(QTS1, dcn_SingleTS1, &on, true, 0, stamp);
        else
            t.Value.SetParam1(QTS1, dcn_TITfloat, octets, true, 0, 0);
    }
    polling->On_Connect_Main(1);
    const int before = view.gridChanges;
    loop.Advance(1000);
    EXPECT_GT(view.gridChanges, before);
    const TStringGrid& ts = win.SignalGrid();
    EXPECT_EQ(ts.Cell(3, 1), "Есть");
    EXPECT_EQ(ts.Cell(1, 3), "TS2");
    EXPECT_EQ(ts.Cell(2, 3), "1,2");
    EXPECT_EQ(ts.Cell(3, 3), "1");
    EXPECT_EQ(ts.Cell(5, 3), "09.12.2026 12:00:00.250");
    const TStringGrid& ti = win.MeasurementGrid();
    EXPECT_EQ(ti.Cell(1, 2), "TI2");
    EXPECT_EQ(ti.Cell(3, 2), "500.75");
    EXPECT_EQ(ti.Cell(5, 2), "50.000");  // truncated to 500 before scaling, no padding
    EXPECT_EQ(ti.Cell(6, 2), "") << "no time stamp yet";

    // The other station: its own rows only.
    win.OnDeviceSelected(1);
    loop.Advance(1000);
    EXPECT_EQ(win.SignalGrid().RowCount(), 4);
    EXPECT_EQ(win.SignalGrid().Cell(3, 1), "Нет");
    EXPECT_EQ(win.MeasurementGrid().Cell(3, 1), "500.75");
    EXPECT_EQ(win.MeasurementGrid().Cell(5, 1), "500.750");  // no conversion asked
}

TEST_F(LiveViewTest, RowsMapToTheirRecordsAndStopGreysThem) {
    // Station 1's first measurement shares its address with the first two-state tag:
    // the tag list refuses it, and the other rows stay with their own records.
    auto table = std::make_unique<TStationTable>();
    AddStation(*table, "Первая", kDeadPort, 2, 3, 1);
    table->KP_arr[1].TI_arr[1].AdrIOA = table->KP_arr[1].TS_arr[1].AdrIOA;
    AddStation(*table, "Вторая", kDeadPort + 1, 1, 1, 2);
    WriteConfigFile((dir.Path() / kConfigFileName).string(), *table);
    win.OnStartStop();
    ASSERT_TRUE(polling->Polling()) << polling->LastError();
    TTagSignalList& tags = *polling->Publisher().Tags();
    const TDateTime arrived = h.clock.Now() - 1.0 / 24;
    for (int i = 0; i < tags.GetCount(); ++i) {
        TTagSignal& t = *tags.GetTag(i);
        const float raw = t.FName == "TI2" ? 20.0f : 30.0f;
        uint8_t octets[4];
        std::memcpy(octets, &raw, 4);
        const uint8_t on = 1;
        if (t.FName.rfind("TS", 0) == 0)
            t.Value.SetParam1(QTS1, dcn_SingleTS1, &on, true, 0x80, 0, arrived);
        else
            t.Value.SetParam1(QTS1, dcn_TITfloat, octets, true, t.FName == "TI3" ? 0xC1 : 0, 0,
                              arrived);
    }
    loop.Advance(1000);
    const TStringGrid& ti = win.MeasurementGrid();
    ASSERT_EQ(ti.RowCount(), 5);
    const struct {
        int row;
        const char *name, *value, *quality;
        TRowLook look;
    } rows[] = {{1, "TI1", kTagNotPolled, "", TRowLook::Bad},
                {2, "TI2", "20", "0", TRowLook::Normal},
                {3, "TI3", "30", "193 IV NT OV", TRowLook::Bad}};
    for (const auto& r : rows) {
        EXPECT_EQ(ti.Cell(1, r.row), r.name) << r.row;
        EXPECT_EQ(ti.Cell(3, r.row), r.value) << r.row;
        EXPECT_EQ(ti.Cell(4, r.row), r.quality) << r.row;
        EXPECT_EQ(win.RowLook(true, r.row), r.look) << r.row;
    }
    // No time tag: the time the value arrived, with no station correction.
    const TDateTimeParts p = DecodeDateTime(arrived);
    char when[32];
    std::snprintf(when, sizeof when, "%02d.%02d.%04d %02d:%02d:%02d.%03d", p.day, p.month, p.year,
                  p.hour, p.minute, p.second, p.msec);
    EXPECT_EQ(ti.Cell(6, 2), when);
    const TStringGrid& ts = win.SignalGrid();
    EXPECT_EQ(ts.Cell(4, 2), "128 IV");
    EXPECT_EQ(win.RowLook(false, 2), TRowLook::Bad);

    polling->On_Connect_Main(1);
    loop.Advance(1000);
    EXPECT_EQ(ts.Cell(3, 1), kConnectedYes);
    win.OnStartStop();  // stop
    EXPECT_EQ(ts.Cell(3, 1), kNotPolled);
    EXPECT_EQ(ti.Cell(3, 2), "20") << "the last values stay, greyed";
    for (int row = 1; row < ti.RowCount(); ++row)
        EXPECT_EQ(win.RowLook(true, row), TRowLook::Stopped) << row;
    loop.Advance(1000);
    EXPECT_EQ(ts.Cell(3, 1), kNotPolled);
}

TEST_F(LiveViewTest, LedsFollowTheConnectionAndAreReleasedAtStop) {
    win.OnStartStop();
    ASSERT_TRUE(polling->Polling());
    // Unbound when the start is announced, bound to both channels once running.
    ASSERT_GE(leds.counts.size(), 2u);
    EXPECT_EQ(leds.counts.front(), 0);
    EXPECT_EQ(leds.counts.back(), 2);
    ASSERT_GE(leds.painted.size(), 2u);
    const TLedView& second = leds.painted.back();
    EXPECT_EQ(second.Channel, 2);
    EXPECT_EQ(second.Fill, kLedOff);
    EXPECT_EQ(second.Size, kLedSize);
    EXPECT_EQ(second.Top, 25);  // channel areas 20 pixels apart, LED 5 in
    leds.painted.clear();
    // The channels connect by themselves: the connection step asks the workers, and
    // the display pass paints the pending attempts bright red, each LED once.
    loop.Advance(200);
    const std::vector<TLedView> now = channels.Leds();
    ASSERT_EQ(now.size(), 2u);
    for (const TLedView& led : now) {
        EXPECT_EQ(led.Fill, kLedOffBright) << led.Channel;
        int paints = 0;
        for (const TLedView& p : leds.painted)
            if (p.Channel == led.Channel) {
                ++paints;
                EXPECT_EQ(p.Fill, kLedOffBright);
            }
        EXPECT_EQ(paints, 1) << "only a change is painted";
    }

    win.OnStartStop();  // stop
    EXPECT_FALSE(polling->Polling());
    EXPECT_TRUE(view.editEnabled);
    EXPECT_TRUE(channels.Leds().empty());
    const size_t painted = leds.painted.size();
    polling->On_DisConnect_Main(1, TDisconnectReason::StationClosed);
    loop.Advance(400);
    EXPECT_EQ(leds.painted.size(), painted) << "a stopped run paints nothing";
}

}  // namespace
}  // namespace telegate
