// The main window's grids for the largest station: preparing them when the
// operator selects the station, and refreshing their value columns at the
// display timer. 32 stations, one of them with 7000 signals and 7000
// measurements, 190 tags in each of the others (the signal table holds 20000). Prints the time per
// call.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/AppContext.h"
#include "app/DeviceList.h"
#include "app/Publish.h"
#include "support/Clock.h"
#include "support/Notifier.h"
#include "ui/MainWindowPresenter.h"

namespace {

using namespace telegate;

struct TBenchApp : IMainWindowApp {
    TPolling* Polling() override { return nullptr; }
    const TPublisher* Publisher() override { return publisher; }
    void StartStop() override {}
    int OpcClientCount() override { return 0; }
    int OpcGroupCount() override { return 0; }
    TRegisterResult RegisterServer(bool) override { return {}; }
    void Close() override {}
    const TPublisher* publisher = nullptr;
};

template <typename Fn>
void Measure(const char* what, int passes, Fn fn) {
    fn();  // warm up
    std::vector<double> ms;
    for (int p = 0; p < passes; ++p) {
        const auto t0 = std::chrono::steady_clock::now();
        fn();
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                .count());
    }
    std::sort(ms.begin(), ms.end());
    double sum = 0;
    for (double v : ms) sum += v;
    std::printf("  %s: mean %.2f ms, median %.2f ms, max %.2f ms (%d calls)\n", what, sum / passes,
                ms[ms.size() / 2], ms.back(), passes);
}

}  // namespace

int main() {
    namespace fs = std::filesystem;
    std::string tmpl = (fs::temp_directory_path() / "tg-bench-ui-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) return 1;
    TManualClock clock;
    TRecordingNotifier notifier;
    auto ctx = std::make_unique<TAppContext>(clock, notifier);
    TStationTable& st = ctx->Stations;
    for (int n = 1; n <= 32; ++n) {
        T_KP& kp = st.KP_arr[n];
        kp.NameKP = "Station " + std::to_string(n);
        kp.IP = "127.0.0.1";
        kp.Port = 30000 + n;
        kp.PereschetTI = true;
        kp.Connected = true;
        kp.Kol_TS = n == 1 ? kMaxTagsOfKind : 95;
        kp.Kol_TI = n == 1 ? kMaxTagsOfKind : 95;
        for (int k = 1; k <= kp.Kol_TS; ++k) {
            kp.TS_arr[k].NameTS = "TS" + std::to_string(k);
            kp.TS_arr[k].AdrASDU = n;
            kp.TS_arr[k].AdrIOA = k;
        }
        for (int k = 1; k <= kp.Kol_TI; ++k) {
            kp.TI_arr[k].NameTI = "TI" + std::to_string(k);
            kp.TI_arr[k].AdrASDU = n;
            kp.TI_arr[k].AdrIOA = 10000 + k;
            kp.TI_arr[k].Max_TM_Diap = 1000;
            kp.TI_arr[k].Max_Eng_Diap = 100;
        }
    }
    st.Kol_KP = 32;
    CreateStationListFile(tmpl + "/zzz.dat", st, [&](int n) { return st.KP_arr[n].Port; });
    TPublisher pub(*ctx);
    pub.NewTagList();
    const std::string err = pub.LoadData(tmpl);
    if (!err.empty()) {
        std::fprintf(stderr, "build refused: %s\n", err.c_str());
        return 1;
    }
    TTagSignalList& tags = *pub.Tags();
    for (int i = 0; i < tags.GetCount(); ++i) {
        TTagSignal& t = *tags.GetTag(i);
        const float f = static_cast<float>(i % 1000);
        uint8_t b[4];
        std::memcpy(b, &f, 4);
        if (t.FName.rfind("TS", 0) == 0)
            t.Value.SetParam1(QTS1, dcn_SingleTS1, b, true, 0, clock.Now());
        else
            t.Value.SetParam1(Q8F, dcn_TITfloat, b, true, 0, clock.Now());
    }

    TBenchApp app;
    app.publisher = &pub;
    TDeviceList devices(*ctx, tmpl);
    TMainWindowPresenter win(*ctx, devices, app, tmpl);
    std::printf(
        "bench_ui_grids: 32 stations, %d tags; station 1 has %d signals and %d "
        "measurements\n",
        tags.GetCount(), st.KP_arr[1].Kol_TS, st.KP_arr[1].Kol_TI);
    Measure("select station 1 (grids prepared)", 50, [&] { win.OnDeviceSelected(0); });
    win.OnDeviceSelected(0);
    Measure("refresh of station 1's values (display timer)", 200, [&] { win.OutStingGrigTsTit(); });
    if (win.MeasurementGrid().Cell(3, 7000).empty()) {
        std::fprintf(stderr, "grid not filled\n");
        return 1;
    }
    win.OnDeviceSelected(5);
    Measure("refresh of a station with 190 tags", 200, [&] { win.OutStingGrigTsTit(); });
    fs::remove_all(tmpl);
    return 0;
}
