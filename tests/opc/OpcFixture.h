// An in-process OPC client for the tests: a core with a small address space whose
// values the test sets, and a data-callback sink that records what it receives.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "opc/Core.h"
#include "opc/Server.h"
#include "support/Clock.h"

namespace telegate::opc::test {

using com::W;

// One received callback.
struct TReceived {
    std::string kind;  // "data", "read", "write", "cancel"
    DWORD transid = 0;
    OPCHANDLE group = 0;
    HRESULT masterQuality = 0, masterError = 0;
    std::vector<OPCHANDLE> clients;
    std::vector<double> values;
    std::vector<WORD> qualities;
    std::vector<HRESULT> errors;
};

class TSink : public IOPCDataCallback, public IOPCShutdown {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (riid == com::IidOf<IUnknown>() || riid == com::IidOf<IOPCDataCallback>())
            *ppv = static_cast<IOPCDataCallback*>(this);
        else if (riid == com::IidOf<IOPCShutdown>())
            *ppv = static_cast<IOPCShutdown*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }

    virtual ~TSink() = default;
    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD tid, OPCHANDLE g, HRESULT mq, HRESULT me, DWORD n,
                                           OPCHANDLE* h, VARIANT* v, WORD* q, FILETIME*,
                                           HRESULT* e) override {
        Record("data", tid, g, mq, me, n, h, v, q, e);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD tid, OPCHANDLE g, HRESULT mq, HRESULT me,
                                             DWORD n, OPCHANDLE* h, VARIANT* v, WORD* q, FILETIME*,
                                             HRESULT* e) override {
        Record("read", tid, g, mq, me, n, h, v, q, e);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD tid, OPCHANDLE g, HRESULT me, DWORD n,
                                              OPCHANDLE* h, HRESULT* e) override {
        Record("write", tid, g, S_OK, me, n, h, nullptr, nullptr, e);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD tid, OPCHANDLE g) override {
        Record("cancel", tid, g, S_OK, S_OK, 0, nullptr, nullptr, nullptr, nullptr);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR reason) override {
        std::lock_guard lock(mu);
        shutdown = com::WideToUtf8(reason);
        return S_OK;
    }

    std::vector<TReceived> Take() {
        std::lock_guard lock(mu);
        return std::exchange(got, {});
    }

    std::atomic<int> refs{0};
    std::mutex mu;
    std::vector<TReceived> got;
    std::string shutdown;

  private:
    void Record(const char* kind, DWORD tid, OPCHANDLE g, HRESULT mq, HRESULT me, DWORD n,
                OPCHANDLE* h, VARIANT* v, WORD* q, HRESULT* e) {
        TReceived r{kind, tid, g, mq, me, {}, {}, {}, {}};
        for (DWORD i = 0; i < n; ++i) {
            r.clients.push_back(h[i]);
            double d = 0;
            if (v) com::VariantToDouble(v[i], d);
            r.values.push_back(d);
            r.qualities.push_back(q ? q[i] : 0);
            r.errors.push_back(e[i]);
        }
        std::lock_guard lock(mu);
        got.push_back(std::move(r));
    }
};

// Address space: branch "A" (1) with leaves "T1" (2, VT_BOOL, rw), "M1" (3, VT_R8,
// rw), "RO" (4, VT_R8, read only), and the root leaf "top" (5, VT_I4, rw). Reads
// take value and quality from the test's table and move LastUpdate only on change.
class OpcFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        core.OnInitAddressSpace = [](sOPC& c) {
            c.AddBranch(0, 1, "A");
            c.AddLeaf(1, 2, "T1", VT_BOOL, 3);
            c.AddLeaf(1, 3, "M1", VT_R8, 3);
            c.AddLeaf(1, 4, "RO", VT_R8, 1);
            c.AddLeaf(0, 5, "top", VT_I4, 3);
        };
        core.OnRead = [this](sOPCNode& n, const std::string&, VARTYPE) {
            std::lock_guard lock(valueMu);
            const auto [v, q] = values[n.Ident];
            double cur = 0;
            if (n.CurrentValue.vt() != VT_EMPTY &&
                com::VariantToDouble(n.CurrentValue.get(), cur) && cur == v && n.Quality == q)
                return;
            n.CurrentValue = com::MakeR8(v);
            n.Quality = q;
            n.LastUpdate = clock.Now();
        };
        core.OnWrite = [this](sOPCNode& n, const VARIANT& v, const std::string&, VARTYPE,
                              sWriteDone done) {
            double d = 0;
            if (!com::VariantToDouble(v, d)) return done(OPC_E_BADTYPE);
            {
                std::lock_guard lock(valueMu);
                writes.push_back({n.Ident, d});
                // The device answers later, when the test says so.
                if (deferWrites) {
                    pendingWrites.push_back(std::move(done));
                    pendingCv.notify_all();
                    return;
                }
            }
            done(S_OK);
        };
        core.Start();
        server = sOPCDataAccess::Create(core);
    }
    void TearDown() override {
        if (server) server->Release();
    }
    void Set(int ident, double v, WORD q = 0xC0) {
        std::lock_guard lock(valueMu);
        values[ident] = {v, q};
    }
    // Adds a group (reference held by the caller).
    IOPCItemMgt* AddGroup(const char* name, bool active = true, DWORD rate = 100,
                          DWORD* rev = nullptr) {
        OPCHANDLE h = 0;
        DWORD revised = 0;
        IUnknown* unk = nullptr;
        EXPECT_EQ(S_OK, server->AddGroup(W(name).c_str(), active, rate, 77, nullptr, nullptr, 0, &h,
                                         &revised, com::IidOf<IOPCItemMgt>(), &unk));
        if (rev) *rev = revised;
        return static_cast<IOPCItemMgt*>(unk);
    }
    // Adds items by item ID; returns the server handles (0 for refused ones).
    std::vector<OPCHANDLE> Add(IOPCItemMgt* g, const std::vector<std::string>& ids,
                               HRESULT* result = nullptr) {
        std::vector<com::WString> w;
        for (auto& s : ids) w.push_back(com::Utf8ToWide(s));
        std::vector<OPCITEMDEF> defs(ids.size());
        for (size_t i = 0; i < ids.size(); ++i) {
            defs[i].szItemID = w[i].data();
            defs[i].bActive = TRUE;
            defs[i].hClient = static_cast<OPCHANDLE>(100 + i);
        }
        OPCITEMRESULT* res = nullptr;
        HRESULT* err = nullptr;
        const HRESULT hr = g->AddItems(static_cast<DWORD>(ids.size()), defs.data(), &res, &err);
        if (result) *result = hr;
        std::vector<OPCHANDLE> out;
        for (size_t i = 0; res && i < ids.size(); ++i)
            out.push_back(err[i] == S_OK ? res[i].hServer : 0);
        CoTaskMemFree(res);
        CoTaskMemFree(err);
        return out;
    }
    template <typename I>
    I* Query(IUnknown* u) {
        I* p = nullptr;
        EXPECT_EQ(S_OK, u->QueryInterface(com::IidOf<I>(), reinterpret_cast<void**>(&p)));
        return p;
    }
    DWORD Advise(IUnknown* group, TSink& sink) {
        auto* cpc = Query<IConnectionPointContainer>(group);
        IConnectionPoint* cp = nullptr;
        EXPECT_EQ(S_OK, cpc->FindConnectionPoint(com::IidOf<IOPCDataCallback>(), &cp));
        DWORD cookie = 0;
        EXPECT_EQ(S_OK, cp->Advise(static_cast<IOPCDataCallback*>(&sink), &cookie));
        cp->Release();
        cpc->Release();
        return cookie;
    }
    // One tick after the clock moved by ms, then waits for the callbacks.
    void Cycle(int64_t ms = 150) {
        clock.Advance(ms);
        core.Tick();
        core.FlushCallbacks();
    }

    TManualClock clock;
    sOPC core{clock};
    sOPCDataAccess* server = nullptr;
    std::mutex valueMu;
    std::map<int, std::pair<double, WORD>> values;
    std::vector<std::pair<int, double>> writes;
    bool deferWrites = false;
    std::vector<sWriteDone> pendingWrites;
    std::condition_variable pendingCv;

    // Waits until n writes wait for the device's answer.
    bool WaitPendingWrites(size_t n) {
        std::unique_lock lock(valueMu);
        return pendingCv.wait_for(lock, std::chrono::seconds(10),
                                  [&] { return pendingWrites.size() >= n; });
    }
    // The device answers the oldest pending write.
    void AnswerWrite(HRESULT hr) {
        sWriteDone done;
        {
            std::lock_guard lock(valueMu);
            ASSERT_FALSE(pendingWrites.empty());
            done = std::move(pendingWrites.front());
            pendingWrites.erase(pendingWrites.begin());
        }
        done(hr);
    }
};

}  // namespace telegate::opc::test
