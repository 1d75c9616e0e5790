// The OPC core in-process: AddItems of 20,000 items into one group, the update
// cycle of 20,000 active items at 100 ms with 1 % of the values changing per
// cycle (server CPU and the delay from the item image to OnDataChange), and
// browsing a branch of 20,000 leaves.
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "model/StationTable.h"
#include "opc/Core.h"
#include "opc/Server.h"
#include "opc/StationBridge.h"
#include "platform/SystemClock.h"

using namespace telegate;
using namespace telegate::opc;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kItems = 20000;

double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Records, per item, the delay from its publication to its OnDataChange.
class TLatencySink final : public IOPCDataCallback {
  public:
    explicit TLatencySink(std::vector<std::atomic<int64_t>>& published) : published_(published) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (!(riid == com::IidOf<IUnknown>()) && !(riid == com::IidOf<IOPCDataCallback>()))
            return E_NOINTERFACE;
        *ppv = static_cast<IOPCDataCallback*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD n,
                                           OPCHANDLE* h, VARIANT*, WORD*, FILETIME*,
                                           HRESULT*) override {
        const int64_t now = Clock::now().time_since_epoch().count();
        std::lock_guard lock(mu);
        ++callbacks;
        items += n;
        for (DWORD i = 0; i < n; ++i) {
            const int64_t t = published_[h[i]].exchange(0);
            if (t > 0) delays.push_back(Ms(Clock::duration(now - t)));
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*,
                                             VARIANT*, WORD*, FILETIME*, HRESULT*) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*,
                                              HRESULT*) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

    std::mutex mu;
    std::vector<double> delays;
    long callbacks = 0;
    long items = 0;

  private:
    std::vector<std::atomic<int64_t>>& published_;
};

}  // namespace

int main() {
    TSystemClock clock;
    TStationTable stations;
    TItemImage items;
    // Three stations of measured values: 7000 + 7000 + 6000 = 20,000 leaves.
    stations.Kol_KP = 3;
    for (int s = 1; s <= 3; ++s) {
        T_KP& kp = stations.KP_arr[s];
        kp.NameKP = "PS" + std::to_string(s);
        kp.Kol_TI = s == 3 ? 6000 : 7000;
        for (int k = 1; k <= kp.Kol_TI; ++k) kp.TI_arr[k].NameTI = "TI" + std::to_string(k);
    }
    const auto tmp = std::filesystem::temp_directory_path().string();
    TStationBridge bridge(stations, items, clock, tmp, {});
    sOPC core(clock);
    bridge.Install(core);
    core.Start();
    core.InitAddressSpace();
    sOPCDataAccess* server = sOPCDataAccess::Create(core);

    std::vector<std::string> ids;
    std::vector<int32_t> idents;
    for (int s = 1; s <= 3; ++s)
        for (int k = 1; k <= stations.KP_arr[s].Kol_TI; ++k) {
            ids.push_back(stations.KP_arr[s].NameKP + ".TI" + std::to_string(k));
            idents.push_back(stations.KP_arr[s].Nom_OPC_TI + k - 1);
        }
    std::vector<com::WString> wids;
    for (auto& s : ids) wids.push_back(com::Utf8ToWide(s));
    std::vector<OPCITEMDEF> defs(kItems);
    for (int i = 0; i < kItems; ++i) {
        defs[i].szItemID = wids[i].data();
        defs[i].bActive = TRUE;
        defs[i].hClient = static_cast<OPCHANDLE>(i);
    }
    {
        const TDateTime now = clock.Now();
        auto lock = items.Lock();
        for (int32_t id : idents) {
            items.Indent_arr[id].Quality = 0xC0;
            items.Indent_arr[id].Stamp_DateTime = now;
        }
    }

    // 1. AddItems.
    OPCHANDLE hGroup;
    DWORD rev;
    IUnknown* unk = nullptr;
    server->AddGroup(com::W("bench").c_str(), TRUE, 100, 1, nullptr, nullptr, 0, &hGroup, &rev,
                     com::IidOf<IOPCItemMgt>(), &unk);
    auto* group = static_cast<IOPCItemMgt*>(unk);
    OPCITEMRESULT* res = nullptr;
    HRESULT* err = nullptr;
    const auto t0 = Clock::now();
    const HRESULT hr = group->AddItems(kItems, defs.data(), &res, &err);
    const double addMs = Ms(Clock::now() - t0);
    CoTaskMemFree(res);
    CoTaskMemFree(err);
    std::printf("AddItems of %d items into one group: %.1f ms (hr 0x%08X, target <= 100 ms)\n",
                kItems, addMs, static_cast<unsigned>(hr));

    // 2. Update cycle: 20,000 active items at 100 ms, 1 % changing per 100 ms.
    std::vector<std::atomic<int64_t>> published(kItems);
    TLatencySink sink(published);
    IConnectionPointContainer* cpc = nullptr;
    group->QueryInterface(com::IidOf<IConnectionPointContainer>(), reinterpret_cast<void**>(&cpc));
    IConnectionPoint* cp = nullptr;
    cpc->FindConnectionPoint(com::IidOf<IOPCDataCallback>(), &cp);
    DWORD cookie;
    cp->Advise(static_cast<IOPCDataCallback*>(&sink), &cookie);
    core.StartUpdateLoop();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // first full report
    {
        std::lock_guard lock(sink.mu);
        sink.delays.clear();
        sink.callbacks = 0;
        sink.items = 0;
    }
    constexpr int kSeconds = 5;
    constexpr int kChanging = kItems / 100;
    const double cpu0 = CpuSeconds();
    const auto w0 = Clock::now();
    double value = 1.0;
    size_t next = 0;
    for (int cycle = 0; cycle < kSeconds * 10; ++cycle) {
        const TDateTime now = clock.Now();
        const int64_t mono = Clock::now().time_since_epoch().count();
        for (int k = 0; k < kChanging; ++k) {
            const int i = static_cast<int>(next++ % kItems);
            published[i] = mono;
            items.Publish(idents[i], value, 0xC0, now);
        }
        value += 1.0;
        std::this_thread::sleep_until(w0 + std::chrono::milliseconds(100 * (cycle + 1)));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double cpu = CpuSeconds() - cpu0;
    const double wall = Ms(Clock::now() - w0) / 1000.0;
    core.StopUpdateLoop();
    {
        std::lock_guard lock(sink.mu);
        std::vector<double> d = sink.delays;
        std::sort(d.begin(), d.end());
        auto pct = [&](double p) {
            return d.empty() ? 0.0 : d[std::min(d.size() - 1, size_t(p * d.size()))];
        };
        std::printf(
            "Update cycle, %d active items at 100 ms, %d changing per cycle: process CPU %.2f %% "
            "of one core "
            "(target <= 3 %%), %ld callbacks with %ld items\n",
            kItems, kChanging, 100.0 * cpu / wall, sink.callbacks, sink.items);
        std::printf(
            "Item image to OnDataChange: median %.1f ms, p99 %.1f ms, max %.1f ms over %zu changes "
            "(target p99 <= 160 ms)\n",
            pct(0.5), pct(0.99), d.empty() ? 0.0 : d.back(), d.size());
    }
    cp->Unadvise(cookie);
    cp->Release();
    cpc->Release();

    // 3. Browsing a branch of 20,000 leaves (this address space is hierarchical:
    // a flat browse lists nothing, so the leaves of one branch stand in for it).
    sOPC bigCore(clock);
    bigCore.OnInitAddressSpace = [](sOPC& c) {
        c.AddBranch(0, 1, "B");
        for (int i = 0; i < kItems; ++i) c.AddLeaf(1, 2 + i, "Leaf" + std::to_string(i), VT_R8, 3);
    };
    bigCore.Start();
    sOPCDataAccess* browser = sOPCDataAccess::Create(bigCore);
    browser->ChangeBrowsePosition(OPC_BROWSE_DOWN, com::W("B").c_str());
    const auto b0 = Clock::now();
    IEnumString* e = nullptr;
    browser->BrowseOPCItemIDs(OPC_LEAF, nullptr, VT_EMPTY, 0, &e);
    std::vector<LPOLESTR> names(kItems);
    ULONG fetched = 0;
    e->Next(kItems, names.data(), &fetched);
    const double browseMs = Ms(Clock::now() - b0);
    for (ULONG i = 0; i < fetched; ++i) CoTaskMemFree(names[i]);
    e->Release();
    std::printf("Browsing %lu leaves (BrowseOPCItemIDs and Next): %.1f ms (target <= 50 ms)\n",
                static_cast<unsigned long>(fetched), browseMs);
    browser->Release();

    group->Release();
    server->Release();
    return 0;
}
