// Several clients at once against the update loop while the values change: run
// under TSan in CI. Bounded: about a second and a half.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <thread>

#include "OpcFixture.h"

namespace telegate::opc::test {
namespace {

constexpr int kClients = 4;
constexpr int kGroups = 8;
constexpr int kItems = 1000;

// Remembers the last value reported per (group, item).
class TLastValueSink : public TSink {
  public:
    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE g, HRESULT, HRESULT, DWORD n,
                                           OPCHANDLE* h, VARIANT* v, WORD*, FILETIME*,
                                           HRESULT*) override {
        std::lock_guard lock(mu);
        for (DWORD i = 0; i < n; ++i) {
            double d = -1;
            com::VariantToDouble(v[i], d);
            last[g * kItems + h[i]] = d;
        }
        ++changes;
        return S_OK;
    }
    std::map<uint32_t, double> last;
    int changes = 0;
};

TEST(OpcConcurrency, ClientsGroupsAndChangingValues) {
    TManualClock clock;
    sOPC core(clock);
    std::atomic<int> generation{0};
    core.OnInitAddressSpace = [](sOPC& c) {
        c.AddBranch(0, 1, "S");
        for (int i = 0; i < kItems; ++i) c.AddLeaf(1, 10 + i, "I" + std::to_string(i), VT_R8, 3);
    };
    core.OnRead = [&](sOPCNode& n, const std::string&, VARTYPE) {
        const double v = generation.load() * 10000.0 + n.Ident;
        double cur = 0;
        if (n.CurrentValue.vt() == VT_R8 && com::VariantToDouble(n.CurrentValue.get(), cur) &&
            cur == v)
            return;
        n.CurrentValue = com::MakeR8(v);
        n.Quality = 0xC0;
        n.LastUpdate = clock.Now();
    };
    core.Start();
    core.StartUpdateLoop();

    std::atomic<bool> stop{false};
    std::atomic<bool> changesDone{false};
    std::thread ticker([&] {
        while (!stop) {
            clock.Advance(50);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    // The values change once every client has its groups (a slow machine, or a
    // sanitizer, may take longer to set them up than the changes last).
    std::atomic<int> ready{0};
    std::thread changer([&] {
        for (int i = 0; i < 3000 && ready.load() < kClients; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        for (int i = 0; i < 10 && !stop; ++i) {
            ++generation;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        changesDone = true;
    });

    std::vector<TLastValueSink> sinks(kClients);
    std::vector<std::thread> clients;
    std::vector<com::WString> ids;
    for (int i = 0; i < kItems; ++i) ids.push_back(com::Utf8ToWide("S.I" + std::to_string(i)));
    for (int c = 0; c < kClients; ++c)
        clients.emplace_back([&, c] {
            sOPCDataAccess* server = sOPCDataAccess::Create(core);
            std::vector<IOPCItemMgt*> groups;
            for (int g = 0; g < kGroups; ++g) {
                OPCHANDLE h;
                DWORD rev;
                IUnknown* unk = nullptr;
                ASSERT_EQ(S_OK, server->AddGroup(W(("G" + std::to_string(g)).c_str()).c_str(), TRUE,
                                                 100, g, nullptr, nullptr, 0, &h, &rev,
                                                 com::IidOf<IOPCItemMgt>(), &unk));
                auto* group = static_cast<IOPCItemMgt*>(unk);
                IConnectionPointContainer* cpc = nullptr;
                group->QueryInterface(com::IidOf<IConnectionPointContainer>(),
                                      reinterpret_cast<void**>(&cpc));
                IConnectionPoint* cp = nullptr;
                cpc->FindConnectionPoint(com::IidOf<IOPCDataCallback>(), &cp);
                DWORD cookie;
                EXPECT_EQ(S_OK, cp->Advise(static_cast<IOPCDataCallback*>(&sinks[c]), &cookie));
                cp->Release();
                cpc->Release();
                std::vector<OPCITEMDEF> defs(kItems);
                for (int i = 0; i < kItems; ++i) {
                    defs[i].szItemID = ids[i].data();
                    defs[i].bActive = TRUE;
                    defs[i].hClient = i;
                }
                OPCITEMRESULT* res = nullptr;
                HRESULT* err = nullptr;
                EXPECT_EQ(S_OK, group->AddItems(kItems, defs.data(), &res, &err));
                // Churn: remove and re-add the first ten items, read synchronously.
                std::vector<OPCHANDLE> first(10);
                for (int i = 0; i < 10; ++i) first[i] = res[i].hServer;
                CoTaskMemFree(res);
                CoTaskMemFree(err);
                EXPECT_EQ(S_OK, group->RemoveItems(10, first.data(), &err));
                CoTaskMemFree(err);
                EXPECT_EQ(S_OK, group->AddItems(10, defs.data(), &res, &err));
                OPCHANDLE readH[] = {res[0].hServer};
                CoTaskMemFree(res);
                CoTaskMemFree(err);
                IOPCSyncIO* io = nullptr;
                group->QueryInterface(com::IidOf<IOPCSyncIO>(), reinterpret_cast<void**>(&io));
                OPCITEMSTATE* st = nullptr;
                EXPECT_EQ(S_OK, io->Read(OPC_DS_DEVICE, 1, readH, &st, &err));
                VariantClear(&st[0].vDataValue);
                CoTaskMemFree(st);
                CoTaskMemFree(err);
                io->Release();
                groups.push_back(group);
            }
            ++ready;
            // The groups run while the values change, and a while after the last change.
            while (!changesDone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            std::this_thread::sleep_for(std::chrono::milliseconds(600));
            for (IOPCItemMgt* g : groups) g->Release();
            server->Release();
        });
    for (auto& t : clients) t.join();
    changer.join();
    stop = true;
    ticker.join();
    core.StopUpdateLoop();
    core.FlushCallbacks();

    // Every group of every client saw its items at the last generation.
    const int lastGen = generation.load();
    for (auto& s : sinks) {
        std::lock_guard lock(s.mu);
        EXPECT_GT(s.changes, kGroups);
        int atLast = 0;
        for (const auto& [key, v] : s.last)
            if (v == lastGen * 10000.0 + 10 + static_cast<int>(key % kItems)) ++atLast;
        EXPECT_EQ(kGroups * kItems, atLast);
    }
    EXPECT_EQ(0, core.GetServerCount());
}

// Cancel2 racing the update loop: every transaction is answered exactly once and in
// the order it was queued, with OnCancelComplete exactly when Cancel2 said S_OK.
TEST_F(OpcFixture, Cancel2RacingTheUpdateLoopAnswersEveryTransactionOnce) {
    Set(3, 1.0);
    IOPCItemMgt* g = AddGroup("G");
    TSink sink;
    Advise(g, sink);
    auto h = Add(g, {"A.M1"});
    auto* aio = Query<IOPCAsyncIO2>(g);
    core.StartUpdateLoop();
    constexpr DWORD kRequests = 300;
    std::map<DWORD, HRESULT> cancelled;
    for (DWORD t = 1; t <= kRequests; ++t) {
        DWORD cancel = 0;
        HRESULT* err = nullptr;
        const HRESULT hr = t % 3 == 0 ? aio->Refresh2(OPC_DS_CACHE, t, &cancel)
                                      : aio->Read(1, h.data(), t, &cancel, &err);
        ASSERT_EQ(S_OK, hr);
        CoTaskMemFree(err);
        if (t % 2 == 0) cancelled[t] = aio->Cancel2(cancel);
        if (t % 40 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(60));
    }
    for (int i = 0; i < 500; ++i) {
        {
            std::lock_guard lock(sink.mu);
            if (sink.got.size() >= kRequests) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    core.StopUpdateLoop();
    core.FlushCallbacks();
    const auto got = sink.Take();
    ASSERT_EQ(kRequests, got.size());
    int cancels = 0;
    for (DWORD k = 0; k < kRequests; ++k) {
        const DWORD t = k + 1;
        const bool c = cancelled.count(t) && cancelled[t] == S_OK;
        cancels += c;
        EXPECT_EQ(t, got[k].transid);
        EXPECT_EQ(77u, got[k].group);
        EXPECT_EQ(c ? "cancel" : (t % 3 == 0 ? "data" : "read"), got[k].kind) << t;
        if (cancelled.count(t)) {
            EXPECT_TRUE(cancelled[t] == S_OK || cancelled[t] == E_FAIL);
        }
    }
    EXPECT_GT(cancels, 0);
    aio->Release();
    g->Release();
}

}  // namespace
}  // namespace telegate::opc::test
