// Bad input at every entry point: each call answers an error code (or the code the
// server documents), clears its [out] pointers and never crashes or leaks. Runs
// under ASan in CI.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "OpcFixture.h"
#include "support/CodePage.h"

namespace telegate::opc::test {
namespace {

constexpr DWORD kHuge = 0x7FFFFFFFu;

TEST_F(OpcFixture, BadInputAnswersAnErrorAndClearsOutputs) {
    IOPCItemMgt* g = AddGroup("G");
    auto h = Add(g, {"A.T1", "A.M1", "A.RO"});
    auto* io = Query<IOPCSyncIO>(g);
    auto* aio = Query<IOPCAsyncIO2>(g);
    auto* gs = Query<IOPCGroupStateMgt>(g);
    auto* srv = static_cast<IOPCServer*>(server);
    auto* props = static_cast<IOPCItemProperties*>(server);
    TSink sink;
    Advise(g, sink);

    // Poison for [out] pointers: every failing call must reset them to null.
    auto* const kPoison = reinterpret_cast<HRESULT*>(0x1);
    OPCHANDLE one[] = {h[0]};
    VARIANT val[] = {com::MakeR8(1.0)};
    const std::string longId(64 * 1024, 'x');
    const com::WString wLong = com::Utf8ToWide(longId);
    const com::WString wEmpty;
    OPCITEMDEF longDef{};
    longDef.szItemID = const_cast<WCHAR*>(wLong.c_str());
    OPCITEMDEF emptyDef{};
    emptyDef.szItemID = const_cast<WCHAR*>(wEmpty.c_str());
    OPCITEMDEF nullDef{};  // null item ID
    OPCITEMDEF badType{};
    com::WString wM1 = W("A.M1");
    badType.szItemID = wM1.data();
    badType.vtRequestedDataType = 0x7FFF;

    struct TCase {
        const char* what;
        std::function<HRESULT(HRESULT** errs)> call;
        HRESULT expected;
    };
    const std::vector<TCase> cases = {
        {"AddItems count 0",
         [&](HRESULT** e) {
             OPCITEMRESULT* r = nullptr;
             return g->AddItems(0, &longDef, &r, e);
         },
         E_INVALIDARG},
        {"AddItems null array",
         [&](HRESULT** e) {
             OPCITEMRESULT* r = nullptr;
             return g->AddItems(3, nullptr, &r, e);
         },
         E_INVALIDARG},
        {"AddItems 2^31-1",
         [&](HRESULT** e) {
             OPCITEMRESULT* r = nullptr;
             return g->AddItems(kHuge, &longDef, &r, e);
         },
         E_INVALIDARG},
        {"AddItems null results", [&](HRESULT** e) { return g->AddItems(1, &longDef, nullptr, e); },
         E_INVALIDARG},
        {"AddItems 64 KiB ID",
         [&](HRESULT** e) {
             OPCITEMRESULT* r = nullptr;
             const HRESULT hr = g->AddItems(1, &longDef, &r, e);
             EXPECT_EQ(OPC_E_UNKNOWNITEMID, (*e)[0]);
             CoTaskMemFree(r);
             CoTaskMemFree(*e);
             *e = nullptr;
             return hr;
         },
         S_FALSE},
        {"AddItems empty and null IDs",
         [&](HRESULT** e) {
             OPCITEMDEF defs[] = {emptyDef, nullDef};
             OPCITEMRESULT* r = nullptr;
             const HRESULT hr = g->AddItems(2, defs, &r, e);
             EXPECT_EQ(OPC_E_UNKNOWNITEMID, (*e)[1]);
             CoTaskMemFree(r);
             CoTaskMemFree(*e);
             *e = nullptr;
             return hr;
         },
         S_FALSE},
        {"AddItems unsupported requested type accepted",
         [&](HRESULT** e) {
             OPCITEMRESULT* r = nullptr;
             const HRESULT hr = g->AddItems(1, &badType, &r, e);
             OPCHANDLE added = r[0].hServer;
             CoTaskMemFree(r);
             CoTaskMemFree(*e);
             *e = nullptr;
             HRESULT* re = nullptr;
             g->RemoveItems(1, &added, &re);
             CoTaskMemFree(re);
             return hr;
         },
         S_OK},
        {"ValidateItems 2^31-1",
         [&](HRESULT** e) {
             OPCITEMRESULT* r = nullptr;
             return g->ValidateItems(kHuge, &longDef, FALSE, &r, e);
         },
         E_INVALIDARG},
        {"RemoveItems null handles", [&](HRESULT** e) { return g->RemoveItems(1, nullptr, e); },
         E_INVALIDARG},
        {"RemoveItems count 0", [&](HRESULT** e) { return g->RemoveItems(0, one, e); },
         E_INVALIDARG},
        {"SetActiveState 2^31-1",
         [&](HRESULT** e) { return g->SetActiveState(kHuge, one, TRUE, e); }, E_INVALIDARG},
        {"SetClientHandles null clients",
         [&](HRESULT** e) { return g->SetClientHandles(1, one, nullptr, e); }, E_INVALIDARG},
        {"SetDatatypes unknown handle",
         [&](HRESULT** e) {
             OPCHANDLE bad = 0xFFFFFFFFu;
             VARTYPE t = VT_BSTR;
             const HRESULT hr = g->SetDatatypes(1, &bad, &t, e);
             EXPECT_EQ(OPC_E_INVALIDHANDLE, (*e)[0]);
             CoTaskMemFree(*e);
             *e = nullptr;
             return hr;
         },
         S_FALSE},
        {"Sync Read bad source",
         [&](HRESULT** e) {
             OPCITEMSTATE* s = nullptr;
             return io->Read(static_cast<OPCDATASOURCE>(7), 1, one, &s, e);
         },
         E_INVALIDARG},
        {"Sync Read 2^31-1",
         [&](HRESULT** e) {
             OPCITEMSTATE* s = nullptr;
             return io->Read(OPC_DS_CACHE, kHuge, one, &s, e);
         },
         E_INVALIDARG},
        {"Sync Write null values", [&](HRESULT** e) { return io->Write(1, one, nullptr, e); },
         E_INVALIDARG},
        {"Async Read count 0",
         [&](HRESULT** e) {
             DWORD c = 5;
             return aio->Read(0, one, 1, &c, e);
         },
         E_INVALIDARG},
        {"Async Read null cancel id", [&](HRESULT** e) { return aio->Read(1, one, 1, nullptr, e); },
         E_INVALIDARG},
        {"Async Write 2^31-1",
         [&](HRESULT** e) {
             DWORD c = 5;
             return aio->Write(kHuge, one, val, 1, &c, e);
         },
         E_INVALIDARG},
        {"Async Write transaction 0",
         [&](HRESULT** e) {
             DWORD c = 5;
             return aio->Write(1, one, val, 0, &c, e);
         },
         E_INVALIDARG},
        {"Refresh2 bad source",
         [&](HRESULT**) {
             DWORD c = 5;
             return aio->Refresh2(static_cast<OPCDATASOURCE>(0), 1, &c);
         },
         E_INVALIDARG},
        {"Cancel2 unknown", [&](HRESULT**) { return aio->Cancel2(0x12345678u); }, E_FAIL},
        {"GetEnable null", [&](HRESULT**) { return aio->GetEnable(nullptr); }, E_INVALIDARG},
        {"SetState deadband -1",
         [&](HRESULT**) {
             FLOAT d = -1.0f;
             return gs->SetState(nullptr, nullptr, nullptr, nullptr, &d, nullptr, nullptr);
         },
         E_INVALIDARG},
        {"SetState deadband 101",
         [&](HRESULT**) {
             FLOAT d = 101.0f;
             return gs->SetState(nullptr, nullptr, nullptr, nullptr, &d, nullptr, nullptr);
         },
         E_INVALIDARG},
        {"SetState rate 2^32-1",
         [&](HRESULT**) {
             DWORD r = 0xFFFFFFFFu, rev = 0;
             const HRESULT hr = gs->SetState(&r, &rev, nullptr, nullptr, nullptr, nullptr, nullptr);
             EXPECT_EQ(0xFFFFFFFFu, rev);
             return hr;
         },
         S_OK},
        {"GetState null name",
         [&](HRESULT**) {
             DWORD r;
             BOOL a;
             LONG b;
             FLOAT d;
             DWORD l;
             OPCHANDLE c, s;
             return gs->GetState(&r, &a, nullptr, &b, &d, &l, &c, &s);
         },
         E_INVALIDARG},
        {"SetName null", [&](HRESULT**) { return gs->SetName(nullptr); }, E_INVALIDARG},
        {"CloneGroup wrong riid",
         [&](HRESULT**) {
             IUnknown* u = nullptr;
             return gs->CloneGroup(W("c").c_str(), com::IidOf<IOPCSyncIO>(), &u);
         },
         E_NOINTERFACE},
        {"AddGroup deadband 200",
         [&](HRESULT**) {
             FLOAT d = 200.0f;
             OPCHANDLE hs = 1;
             DWORD rev = 1;
             IUnknown* u = reinterpret_cast<IUnknown*>(0x1);
             const HRESULT hr = srv->AddGroup(W("x").c_str(), TRUE, 100, 0, nullptr, &d, 0, &hs,
                                              &rev, com::IidOf<IOPCItemMgt>(), &u);
             EXPECT_EQ(nullptr, u);
             EXPECT_EQ(0u, hs);
             return hr;
         },
         E_INVALIDARG},
        {"AddGroup null outputs",
         [&](HRESULT**) {
             IUnknown* u = nullptr;
             return srv->AddGroup(W("x").c_str(), TRUE, 100, 0, nullptr, nullptr, 0, nullptr,
                                  nullptr, com::IidOf<IOPCItemMgt>(), &u);
         },
         E_INVALIDARG},
        {"GetGroupByName null name",
         [&](HRESULT**) {
             IUnknown* u = nullptr;
             return srv->GetGroupByName(nullptr, com::IidOf<IUnknown>(), &u);
         },
         E_INVALIDARG},
        {"GetStatus null", [&](HRESULT**) { return srv->GetStatus(nullptr); }, E_INVALIDARG},
        {"RemoveGroup unknown handle", [&](HRESULT**) { return srv->RemoveGroup(0xABCDEFu, TRUE); },
         S_OK},
        {"SetClientName null",
         [&](HRESULT**) { return static_cast<IOPCCommon*>(server)->SetClientName(nullptr); },
         E_INVALIDARG},
        {"GetItemProperties 2^31-1",
         [&](HRESULT** e) {
             VARIANT* v = nullptr;
             DWORD pid = 1;
             return props->GetItemProperties(wM1.data(), kHuge, &pid, &v, e);
         },
         E_INVALIDARG},
        {"LookupItemIDs unknown item",
         [&](HRESULT** e) {
             LPWSTR* ids = nullptr;
             DWORD pid = 1;
             com::WString nope = W("ПС.нет");
             return props->LookupItemIDs(nope.data(), 1, &pid, &ids, e);
         },
         OPC_E_INVALIDITEMID},
    };
    for (const TCase& c : cases) {
        HRESULT* errs = kPoison;
        const HRESULT hr = c.call(&errs);
        EXPECT_EQ(c.expected, hr) << c.what;
        if (FAILED(hr) && errs != kPoison) {
            EXPECT_EQ(nullptr, errs) << c.what;
        }
        if (errs != kPoison && errs) CoTaskMemFree(errs);
    }

    // No ticks run here, so the queue fills up: its limit answers E_OUTOFMEMORY.
    HRESULT last = S_OK;
    int queued = 0;
    for (; queued < 20000 && last == S_OK; ++queued) {
        DWORD c = 0;
        HRESULT* e = nullptr;
        last = aio->Read(1, one, 1, &c, &e);
        CoTaskMemFree(e);
        if (last != S_OK) {
            EXPECT_EQ(nullptr, e);
        }
    }
    EXPECT_EQ(E_OUTOFMEMORY, last);
    EXPECT_EQ(10001, queued);

    // The group still works after all of that.
    OPCITEMSTATE* st = nullptr;
    HRESULT* err = nullptr;
    ASSERT_EQ(S_OK, io->Read(OPC_DS_DEVICE, 1, one, &st, &err));
    VariantClear(&st[0].vDataValue);
    CoTaskMemFree(st);
    CoTaskMemFree(err);
    gs->Release();
    aio->Release();
    io->Release();
    g->Release();
}

TEST(OpcWide, Utf8RoundTripAndInvalidInput) {
    const std::string names[] = {"", "lifebit", "ПС-12.Выключатель", "\xF0\x9F\x98\x80"};
    for (const auto& s : names) EXPECT_EQ(s, com::WideToUtf8(com::Utf8ToWide(s)));
    EXPECT_EQ(std::string(kCp1251UnassignedUtf8) + "a", com::WideToUtf8(com::Utf8ToWide("\xC3"
                                                                                        "a")));
    const WCHAR lone[] = {0xD800, 'x', 0};
    EXPECT_EQ("\xEF\xBF\xBDx", com::WideToUtf8(lone));
    // A name octet Windows-1251 leaves unassigned: the client sees U+FFFD, and the
    // identifier it sends back names the same tag.
    const std::string odd = "ПС." + std::string(kCp1251UnassignedUtf8) + "Q";
    const com::WString shown = com::Utf8ToWide(odd);
    EXPECT_EQ(shown[3], static_cast<WCHAR>(0xFFFD));
    EXPECT_EQ(com::WideToUtf8(shown), odd);
    // FILETIME: 100 ns ticks since 1601; local time shifted by the offset, 1601 at the least.
    auto ticks = [](FILETIME f) { return (uint64_t(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
    EXPECT_EQ(116444736000000000ull, ticks(com::DateTimeToUtcFileTime(25569.0, 0)));
    EXPECT_EQ(116444736000000000ull - 36000000000ull,
              ticks(com::DateTimeToUtcFileTime(25569.0, 3600000)));
    EXPECT_EQ(0ull, ticks(com::DateTimeToUtcFileTime(-1e9, 0)));
    BSTR b = SysAllocString(com::W("abc").c_str());
    EXPECT_EQ(3u, SysStringLen(b));
    SysFreeString(b);
}

}  // namespace
}  // namespace telegate::opc::test
