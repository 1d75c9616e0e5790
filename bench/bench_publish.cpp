// One publication pass (OutOPCTsTit) over 32 stations with 20000 tags in all: the
// time per pass, and the allocations made during the passes (none expected).
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "app/AppContext.h"
#include "app/Publish.h"
#include "support/Clock.h"
#include "support/Notifier.h"

namespace {
std::atomic<long> gAllocs{0};
}  // namespace

void* operator new(std::size_t n) {
    gAllocs.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

int main() {
    using namespace telegate;
    namespace fs = std::filesystem;
    std::string tmpl = (fs::temp_directory_path() / "tg-bench-publish-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) return 1;
    TManualClock clock;
    TRecordingNotifier notifier;
    auto ctx = std::make_unique<TAppContext>(clock, notifier, tmpl);
    TStationTable& st = ctx->Stations;
    // 32 stations, 625 tags each: 313 TS and 312 TI.
    for (int n = 1; n <= 32; ++n) {
        T_KP& kp = st.KP_arr[n];
        kp.NameKP = "Station " + std::to_string(n);
        kp.IP = "127.0.0.1";
        kp.Port = 30000 + n;
        kp.Kol_TS = 313;
        kp.Kol_TI = 312;
        kp.PereschetTI = (n % 2) == 0;
        kp.Time_To_OPC = (n % 3) == 0;
        for (int k = 1; k <= kp.Kol_TS; ++k) {
            kp.TS_arr[k].NameTS = "TS" + std::to_string(k);
            kp.TS_arr[k].AdrASDU = n;
            kp.TS_arr[k].AdrIOA = k;
        }
        for (int k = 1; k <= kp.Kol_TI; ++k) {
            kp.TI_arr[k].NameTI = "TI" + std::to_string(k);
            kp.TI_arr[k].AdrASDU = n;
            kp.TI_arr[k].AdrIOA = 1000 + k;
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
    ctx->BuildOpcAddressSpace();
    TTagSignalList& tags = *pub.Tags();
    for (int i = 0; i < tags.GetCount(); ++i) {
        TTagSignal& t = *tags.GetTag(i);
        if (i % 2 == 0) {
            const uint8_t v = 1;
            t.Value.SetParam1(QTS1, dcn_SingleTS1, &v, true, 0, clock.Now());
        } else {
            const float f = static_cast<float>(i);
            uint8_t b[4];
            std::memcpy(b, &f, 4);
            t.Value.SetParam1(Q8F, dcn_TITfloat, b, true, 0, clock.Now());
        }
    }
    pub.OutOPCTsTit(false);  // warm up
    const int passes = 500;
    std::vector<double> us;
    us.reserve(passes);
    const long before = gAllocs.load();
    for (int p = 0; p < passes; ++p) {
        const auto t0 = std::chrono::steady_clock::now();
        pub.OutOPCTsTit(false);
        us.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0)
                .count());
    }
    const long allocs = gAllocs.load() - before;
    std::sort(us.begin(), us.end());
    double sum = 0;
    for (double v : us) sum += v;
    std::printf("bench_publish: %d stations, %d tags, %d passes\n", st.Kol_KP, tags.GetCount(),
                passes);
    std::printf("  pass time: mean %.1f us, median %.1f us, p99 %.1f us, max %.1f us\n",
                sum / passes, us[passes / 2], us[passes * 99 / 100], us.back());
    std::printf("  allocations during the passes: %ld\n", allocs);
    fs::remove_all(tmpl);
    return 0;
}
