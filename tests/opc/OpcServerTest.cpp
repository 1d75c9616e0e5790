#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "OpcFixture.h"
#include "opc/ErrorText.h"

namespace telegate::opc::test {
namespace {

std::vector<std::string> Drain(IEnumString* e) {
    std::vector<std::string> out;
    LPOLESTR s[4] = {};
    ULONG n = 0;
    for (;;) {
        const HRESULT hr = e->Next(4, s, &n);
        for (ULONG i = 0; i < n; ++i) {
            out.push_back(com::WideToUtf8(s[i]));
            CoTaskMemFree(s[i]);
        }
        if (hr != S_OK) break;
    }
    return out;
}

TEST(OpcCore, AddressSpaceWithoutCallbackAndItemIds) {
    TManualClock clock;
    sOPC core(clock);
    core.InitAddressSpace();
    core.InitAddressSpace();  // a second call adds nothing
    ASSERT_EQ(1u, core.Nodes().size());
    EXPECT_EQ("No address space defined!", core.Nodes()[0]->stItemID);
    EXPECT_EQ(VT_I4, core.Nodes()[0]->vtCanonicalDataType);

    sOPC c2(clock);
    c2.OnInitAddressSpace = [](sOPC& c) {
        c.AddBranch(0, 1, "S");
        c.AddLeaf(1, 2, "L", VT_R8, 3);
        c.AddLeaf(1, 3, "L", VT_R8, 1);  // duplicate name: the first wins lookups
        c.AddLeaf(99, 4, "orphan", VT_R8, 3);
        c.AddProperty(2, 5000, "p", "desc", VT_I4, com::MakeI4(7));
        throw std::runtime_error("broken configuration");
    };
    c2.InitAddressSpace();
    EXPECT_EQ("S.L", c2.GetOPCNode("S.L", -1)->stItemID);
    EXPECT_EQ(2, c2.GetOPCNode("S.L", -1)->Ident);
    EXPECT_EQ("orphan", c2.GetOPCNode("", 4)->stItemID);
    EXPECT_EQ(ntProperty, c2.GetOPCNode("S.L.p", -1)->NodeType);
    EXPECT_EQ(-1, c2.GetIndexOfstItemID("S.L.p"));  // never a property
    EXPECT_NE(nullptr, c2.GetOPCNode("No address space defined (Exception)!", -1));
}

TEST_F(OpcFixture, ServerStatusErrorTextsAndGroupNames) {
    DWORD rev = 0;
    IOPCItemMgt* g1 = AddGroup("G", true, 0, &rev);
    EXPECT_EQ(100u, rev);
    // A name the client already uses is refused.
    {
        OPCHANDLE h = 0;
        DWORD r = 0;
        IUnknown* dup = nullptr;
        EXPECT_EQ(OPC_E_DUPLICATENAME,
                  server->AddGroup(W("G").c_str(), TRUE, 100, 1, nullptr, nullptr, 0, &h, &r,
                                   com::IidOf<IOPCItemMgt>(), &dup));
        EXPECT_EQ(nullptr, dup);
        EXPECT_EQ(E_INVALIDARG, server->RemoveGroup(0xABCDEFu, FALSE));
    }
    IOPCItemMgt* g2 = AddGroup("G_1", true, 50, &rev);
    EXPECT_EQ(100u, rev);
    IOPCItemMgt* g3 = AddGroup("Грп", true, 0xFFFFFFFFu, &rev);
    EXPECT_EQ(0xFFFFFFFFu, rev);

    auto* gs = Query<IOPCGroupStateMgt>(g2);
    DWORD rate;
    BOOL active;
    LPWSTR name = nullptr;
    LONG bias;
    FLOAT db;
    DWORD lcid;
    OPCHANDLE hc, hs;
    ASSERT_EQ(S_OK, gs->GetState(&rate, &active, &name, &bias, &db, &lcid, &hc, &hs));
    EXPECT_EQ("G_1", com::WideToUtf8(name));
    EXPECT_EQ(-1, active);
    EXPECT_EQ(77u, hc);
    CoTaskMemFree(name);
    gs->Release();

    OPCSERVERSTATUS* st = nullptr;
    ASSERT_EQ(S_OK, server->GetStatus(&st));
    EXPECT_EQ(3u, st->dwGroupCount);
    EXPECT_EQ(OPC_STATUS_RUNNING, st->dwServerState);
    // Nothing was sent to this client yet.
    EXPECT_EQ(0u, st->ftLastUpdateTime.dwLowDateTime | st->ftLastUpdateTime.dwHighDateTime);
    CoTaskMemFree(st->szVendorInfo);
    CoTaskMemFree(st);
    core.SetPollingRunning(false);
    ASSERT_EQ(S_OK, server->GetStatus(&st));
    EXPECT_EQ(OPC_STATUS_SUSPENDED, st->dwServerState);
    core.SetPollingRunning(true);
    EXPECT_EQ(0xFFFFFFFFu, st->dwBandWidth);
    EXPECT_EQ(1, st->wMajorVersion);
    CoTaskMemFree(st->szVendorInfo);
    CoTaskMemFree(st);

    // Error texts: every code the server answers has one, in English and Russian.
    const HRESULT answered[] = {S_OK,
                                S_FALSE,
                                E_FAIL,
                                E_INVALIDARG,
                                E_NOINTERFACE,
                                E_OUTOFMEMORY,
                                E_UNEXPECTED,
                                E_NOTIMPL,
                                E_POINTER,
                                CONNECT_E_NOCONNECTION,
                                CONNECT_E_ADVISELIMIT,
                                OPC_E_INVALIDHANDLE,
                                OPC_E_BADTYPE,
                                OPC_E_BADRIGHTS,
                                OPC_E_UNKNOWNITEMID,
                                OPC_E_INVALIDITEMID,
                                OPC_E_DUPLICATENAME,
                                OPC_E_INVALID_PID,
                                OPC_S_UNSUPPORTEDRATE,
                                TG_E_CMD_REJECTED,
                                TG_E_CMD_TIMEOUT,
                                TG_E_CMD_LINKLOST,
                                TG_E_CMD_FAILED,
                                TG_E_NOT_POLLING,
                                TG_E_NOT_CONNECTED,
                                TG_E_CMD_BUSY};
    for (HRESULT code : answered) {
        std::string last;
        for (LCID lcid : {LCID{0}, LCID{0x409}, LCID{0x419}}) {
            LPWSTR text = nullptr;
            ASSERT_EQ(S_OK, static_cast<IOPCServer*>(server)->GetErrorString(code, lcid, &text))
                << std::hex << code;
            ASSERT_NE(nullptr, text);
            const std::string t = com::WideToUtf8(text);
            EXPECT_GT(t.size(), 5u) << std::hex << code;
            if (lcid == 0x419) {
                EXPECT_NE(last, t) << std::hex << code;  // a text of its own
            }
            last = t;
            CoTaskMemFree(text);
        }
    }
    LPWSTR text = nullptr;
    EXPECT_EQ(E_INVALIDARG, static_cast<IOPCServer*>(server)->GetErrorString(0x8123ABCD, 0, &text));
    EXPECT_EQ(nullptr, text);
    EXPECT_EQ(E_INVALIDARG,
              static_cast<IOPCServer*>(server)->GetErrorString(OPC_E_BADTYPE, 0x407, &text));
    auto* common = static_cast<IOPCCommon*>(server);
    EXPECT_EQ(E_INVALIDARG, common->SetLocaleID(0x407));
    ASSERT_EQ(S_OK, common->SetLocaleID(0x419));
    ASSERT_EQ(S_OK, common->GetErrorString(TG_E_CMD_REJECTED, &text));
    EXPECT_EQ("КП отклонил команду ТУ (отрицательное подтверждение).", com::WideToUtf8(text));
    CoTaskMemFree(text);
    DWORD nLocales = 0;
    LCID* locales = nullptr;
    ASSERT_EQ(S_OK, common->QueryAvailableLocaleIDs(&nLocales, &locales));
    ASSERT_EQ(2u, nLocales);
    EXPECT_EQ(0x409u, locales[0]);
    EXPECT_EQ(0x419u, locales[1]);
    CoTaskMemFree(locales);

    // A group the client releases without RemoveGroup leaves the list.
    g1->Release();
    IUnknown* unk = nullptr;
    EXPECT_EQ(E_INVALIDARG,
              server->GetGroupByName(W("G").c_str(), com::IidOf<IOPCItemMgt>(), &unk));
    EXPECT_EQ(nullptr, unk);
    ASSERT_EQ(S_OK, server->GetGroupByName(W("G_1").c_str(), com::IidOf<IOPCSyncIO>(), &unk));
    unk->Release();
    EXPECT_EQ(2, core.GetGroupCount());

    // Public groups: MoveToPublic once, enumerate, RemovePublicGroup by handle.
    auto* pub = Query<IOPCPublicGroupStateMgt>(g3);
    EXPECT_EQ(S_OK, pub->MoveToPublic());
    EXPECT_EQ(E_FAIL, pub->MoveToPublic());
    IUnknown* en = nullptr;
    ASSERT_EQ(S_OK, server->CreateGroupEnumerator(OPC_ENUM_PUBLIC, com::IidOf<IEnumString>(), &en));
    EXPECT_EQ(std::vector<std::string>{"Грп"}, Drain(static_cast<IEnumString*>(en)));
    en->Release();
    auto* spg = static_cast<IOPCServerPublicGroups*>(server);
    EXPECT_EQ(E_INVALIDARG, spg->RemovePublicGroup(12345, FALSE));
    auto* st3 = Query<IOPCGroupStateMgt>(g3);
    ASSERT_EQ(S_OK, st3->GetState(&rate, &active, &name, &bias, &db, &lcid, &hc, &hs));
    CoTaskMemFree(name);
    EXPECT_EQ(E_INVALIDARG, spg->RemovePublicGroup(static_cast<OPCHANDLE>(-1), FALSE));
    EXPECT_EQ(S_OK, spg->RemovePublicGroup(hs, FALSE));
    EXPECT_EQ(E_INVALIDARG, spg->RemovePublicGroup(hs, FALSE));
    st3->Release();
    pub->Release();
    g2->Release();
    g3->Release();
    EXPECT_EQ(0, core.GetGroupCount());
}

TEST_F(OpcFixture, SyncReadWriteRightsAndStatusOfItems) {
    Set(2, 1.0);
    Set(3, 42.5, 0x14);
    Set(4, 7.0);
    IOPCItemMgt* g = AddGroup("G");
    HRESULT hr = 0;
    auto h = Add(g, {"A.T1", "A.M1", "A.RO", "nope", "A"}, &hr);
    EXPECT_EQ(S_FALSE, hr);
    EXPECT_EQ(0u, h[3]);
    ASSERT_NE(0u, h[4]);  // a branch can be added; it has no rights

    auto* io = Query<IOPCSyncIO>(g);
    OPCHANDLE hs[] = {h[0], h[1], h[2], h[4], 999999};
    OPCITEMSTATE* st = nullptr;
    HRESULT* err = nullptr;
    ASSERT_EQ(S_FALSE, io->Read(OPC_DS_DEVICE, 5, hs, &st, &err));
    EXPECT_EQ(S_OK, err[0]);
    EXPECT_EQ(VT_BOOL, st[0].vDataValue.vt);  // the canonical type of T1
    EXPECT_EQ(VARIANT_TRUE, st[0].vDataValue.boolVal);
    EXPECT_EQ(100u, st[0].hClient);
    EXPECT_EQ(0x14, st[1].wQuality);
    EXPECT_EQ(42.5, st[1].vDataValue.dblVal);
    EXPECT_EQ(S_OK, err[2]);
    EXPECT_EQ(OPC_E_BADRIGHTS, err[3]);
    EXPECT_EQ(OPC_E_INVALIDHANDLE, err[4]);
    for (int i = 0; i < 5; ++i) VariantClear(&st[i].vDataValue);
    CoTaskMemFree(st);
    CoTaskMemFree(err);

    // Cache read of an inactive group: quality out of service, S_OK.
    auto* gs = Query<IOPCGroupStateMgt>(g);
    BOOL off = FALSE;
    DWORD rev = 0;
    ASSERT_EQ(S_OK, gs->SetState(nullptr, &rev, &off, nullptr, nullptr, nullptr, nullptr));
    ASSERT_EQ(S_OK, io->Read(OPC_DS_CACHE, 1, hs, &st, &err));
    EXPECT_EQ(0x1C, st[0].wQuality);
    EXPECT_EQ(VT_EMPTY, st[0].vDataValue.vt);
    CoTaskMemFree(st);
    CoTaskMemFree(err);

    VARIANT v[3] = {com::MakeBool(true), com::MakeR8(3.0), com::MakeBstr("not a number")};
    OPCHANDLE wh[] = {h[0], h[2], h[1]};
    ASSERT_EQ(S_FALSE, io->Write(3, wh, v, &err));
    EXPECT_EQ(S_OK, err[0]);
    EXPECT_EQ(OPC_E_BADRIGHTS, err[1]);
    EXPECT_EQ(OPC_E_BADTYPE, err[2]);  // refused per item by the write callback
    CoTaskMemFree(err);
    VariantClear(&v[2]);
    ASSERT_EQ(1u, writes.size());
    EXPECT_EQ(2, writes[0].first);
    EXPECT_EQ(-1.0, writes[0].second);
    gs->Release();
    io->Release();
    g->Release();
}

TEST_F(OpcFixture, SubscriptionReportsChangesOnceAndAsyncRequests) {
    Set(2, 0.0);
    Set(3, 1.0);
    IOPCItemMgt* g = AddGroup("G");
    TSink sink;
    Advise(g, sink);
    auto h = Add(g, {"A.T1", "A.M1"});
    Cycle();
    auto got = sink.Take();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ("data", got[0].kind);
    EXPECT_EQ(0u, got[0].transid);
    EXPECT_EQ(77u, got[0].group);
    EXPECT_EQ((std::vector<OPCHANDLE>{100, 101}), got[0].clients);
    Cycle();
    EXPECT_TRUE(sink.Take().empty());  // nothing changed
    Set(3, 2.0);
    Cycle(40);  // rate not reached yet
    EXPECT_TRUE(sink.Take().empty());
    Cycle(80);
    got = sink.Take();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ((std::vector<OPCHANDLE>{101}), got[0].clients);
    EXPECT_EQ(2.0, got[0].values[0]);
    Set(3, 2.0, 0x14);  // a quality change alone is reported
    Cycle();
    got = sink.Take();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(S_FALSE, got[0].masterQuality);

    // Disabled callbacks: nothing is sent and nothing counts as sent; the change
    // arrives once they are enabled again.
    auto* aio = Query<IOPCAsyncIO2>(g);
    ASSERT_EQ(S_OK, aio->SetEnable(FALSE));
    Set(3, 9.0);
    Cycle();
    EXPECT_TRUE(sink.Take().empty());
    ASSERT_EQ(S_OK, aio->SetEnable(TRUE));
    Cycle();
    got = sink.Take();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(9.0, got[0].values[0]);

    // Asynchronous read: transaction 0 is valid; an unknown handle is answered
    // at the call, the valid item in the completion.
    OPCHANDLE rh[] = {h[0], 4242};
    DWORD cancel = 0;
    HRESULT* err = nullptr;
    ASSERT_EQ(S_FALSE, aio->Read(2, rh, 11, &cancel, &err));
    EXPECT_EQ(S_OK, err[0]);
    EXPECT_EQ(OPC_E_INVALIDHANDLE, err[1]);
    EXPECT_NE(0u, cancel);
    CoTaskMemFree(err);
    // Cancelled before the tick: OnCancelComplete in place of the completion;
    // cancelling again: E_FAIL.
    ASSERT_EQ(S_OK, aio->Read(1, rh, 0, &cancel, &err));
    CoTaskMemFree(err);
    EXPECT_EQ(S_OK, aio->Cancel2(cancel));
    Cycle(10);
    EXPECT_EQ(E_FAIL, aio->Cancel2(cancel));
    EXPECT_EQ(E_FAIL, aio->Cancel2(0xDEADBEEF));
    got = sink.Take();
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ("cancel", got[1].kind);
    EXPECT_EQ(0u, got[1].transid);
    EXPECT_EQ(77u, got[1].group);
    EXPECT_EQ("read", got[0].kind);
    EXPECT_EQ(11u, got[0].transid);
    EXPECT_EQ(S_OK, got[0].masterError);
    EXPECT_EQ((std::vector<OPCHANDLE>{100}), got[0].clients);

    // Only invalid handles: no transaction, no completion. Write completes.
    OPCHANDLE bad[] = {4242};
    cancel = 99;
    ASSERT_EQ(S_FALSE, aio->Read(1, bad, 13, &cancel, &err));
    EXPECT_EQ(OPC_E_INVALIDHANDLE, err[0]);
    EXPECT_EQ(0u, cancel);
    CoTaskMemFree(err);
    VARIANT wv[] = {com::MakeI4(1)};
    ASSERT_EQ(S_OK, aio->Write(1, rh, wv, 14, &cancel, &err));
    CoTaskMemFree(err);
    Cycle(10);
    got = sink.Take();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ("write", got[0].kind);
    EXPECT_EQ(14u, got[0].transid);

    // Refresh2 reports every active readable item; an inactive group refuses.
    ASSERT_EQ(S_OK, aio->Refresh2(OPC_DS_CACHE, 15, &cancel));
    Cycle(10);
    got = sink.Take();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(15u, got[0].transid);
    EXPECT_EQ(2u, got[0].clients.size());
    auto* gs = Query<IOPCGroupStateMgt>(g);
    BOOL off = FALSE;
    ASSERT_EQ(S_OK, gs->SetState(nullptr, nullptr, &off, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(E_FAIL, aio->Refresh2(OPC_DS_CACHE, 16, &cancel));
    gs->Release();
    aio->Release();
    g->Release();
    EXPECT_EQ(0, sink.refs.load());  // the group let the sink go
}

TEST_F(OpcFixture, ClientThatDoesNotReturnDelaysOnlyItsOwnGroups) {
    struct TBlockingSink : TSink {
        std::atomic<bool> release{false};
        std::atomic<int> calls{0};
        HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD,
                                               OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                                               HRESULT*) override {
            ++calls;
            while (!release) std::this_thread::yield();
            return S_OK;
        }
    } slow;
    TSink fast;
    sOPCDataAccess* other = sOPCDataAccess::Create(core);
    IOPCItemMgt* gs = AddGroup("slow");
    Advise(gs, slow);
    Add(gs, {"A.M1"});
    IUnknown* unk = nullptr;
    OPCHANDLE h;
    DWORD rev;
    ASSERT_EQ(S_OK, other->AddGroup(W("fast").c_str(), TRUE, 100, 1, nullptr, nullptr, 0, &h, &rev,
                                    com::IidOf<IOPCItemMgt>(), &unk));
    auto* gf = static_cast<IOPCItemMgt*>(unk);
    Advise(gf, fast);
    Add(gf, {"A.M1"});
    for (int i = 0; i < 5; ++i) {
        Set(3, i + 1.0);
        clock.Advance(150);
        core.Tick();  // never waits for the slow client
        other->FlushCallbacks();
    }
    EXPECT_EQ(5u, fast.Take().size());
    // The slow client got its first callback (on its own thread) and nothing since.
    for (int i = 0; i < 500 && slow.calls.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(1, slow.calls.load());
    slow.release = true;
    core.FlushCallbacks();
    gs->Release();
    gf->Release();
    other->Release();
}

TEST_F(OpcFixture, BrowsingPropertiesAndEnumerators) {
    auto* b = static_cast<IOPCBrowseServerAddressSpace*>(server);
    IEnumString* e = nullptr;
    ASSERT_EQ(S_OK, b->BrowseOPCItemIDs(OPC_BRANCH, nullptr, VT_EMPTY, 0, &e));
    EXPECT_EQ(std::vector<std::string>{"A"}, Drain(e));
    e->Release();
    EXPECT_EQ(E_FAIL, b->ChangeBrowsePosition(OPC_BROWSE_DOWN, W("top").c_str()));
    EXPECT_EQ(E_FAIL, b->ChangeBrowsePosition(OPC_BROWSE_UP, nullptr));
    ASSERT_EQ(S_OK, b->ChangeBrowsePosition(OPC_BROWSE_DOWN, W("A").c_str()));
    ASSERT_EQ(S_OK, b->BrowseOPCItemIDs(OPC_LEAF, nullptr, VT_EMPTY, 0, &e));
    EXPECT_EQ((std::vector<std::string>{"T1", "M1", "RO"}), Drain(e));

    // Next(5) over three remaining: three and S_FALSE; Skip past the end.
    e->Reset();
    LPOLESTR s[5] = {};
    ULONG n = 9;
    EXPECT_EQ(1781, e->Next(0, s, &n));
    EXPECT_EQ(0u, n);
    EXPECT_EQ(E_INVALIDARG, e->Next(1, s, nullptr));
    EXPECT_EQ(S_OK, e->Skip(1));
    IEnumString* clone = nullptr;
    ASSERT_EQ(S_OK, e->Clone(&clone));
    e->Release();  // the clone keeps the list
    EXPECT_EQ(S_FALSE, clone->Next(5, s, &n));
    EXPECT_EQ(2u, n);
    EXPECT_EQ("RO", com::WideToUtf8(s[1]));
    CoTaskMemFree(s[0]);
    CoTaskMemFree(s[1]);
    EXPECT_EQ(S_FALSE, clone->Skip(10));
    clone->Release();

    LPWSTR id = nullptr;
    wchar_t dummy = 0;
    (void)dummy;
    com::WString m1 = W("M1");
    ASSERT_EQ(S_OK, b->GetItemID(m1.data(), &id));
    EXPECT_EQ("A.M1", com::WideToUtf8(id));
    CoTaskMemFree(id);
    com::WString none = W("none");
    EXPECT_EQ(E_INVALIDARG, b->GetItemID(none.data(), &id));
    EXPECT_EQ(nullptr, id);
    // "" names the browse position itself.
    com::WString empty = W("");
    ASSERT_EQ(S_OK, b->GetItemID(empty.data(), &id));
    EXPECT_EQ("A", com::WideToUtf8(id));
    CoTaskMemFree(id);
    ASSERT_EQ(S_OK, b->ChangeBrowsePosition(OPC_BROWSE_UP, W("").c_str()));
    ASSERT_EQ(S_OK, b->GetItemID(empty.data(), &id));
    EXPECT_EQ("", com::WideToUtf8(id));
    CoTaskMemFree(id);
    ASSERT_EQ(S_OK, b->ChangeBrowsePosition(OPC_BROWSE_DOWN, W("A").c_str()));
    EXPECT_EQ(E_INVALIDARG, b->ChangeBrowsePosition(OPC_BROWSE_TO, W("A.M1").c_str()));
    EXPECT_EQ(S_OK, b->ChangeBrowsePosition(OPC_BROWSE_TO, W("").c_str()));
    EXPECT_EQ(S_FALSE, b->BrowseAccessPaths(W("A.M1").c_str(), &e));
    EXPECT_EQ(E_UNEXPECTED, b->BrowseAccessPaths(W("missing").c_str(), &e));
    EXPECT_EQ(nullptr, e);

    auto* p = static_cast<IOPCItemProperties*>(server);
    DWORD count = 5, *ids = nullptr;
    LPWSTR* descs = nullptr;
    VARTYPE* types = nullptr;
    com::WString am1 = W("A.M1"), missing = W("missing");
    // Every leaf has the standard properties 1-6 and 101.
    ASSERT_EQ(S_OK, p->QueryAvailableProperties(am1.data(), &count, &ids, &descs, &types));
    ASSERT_EQ(7u, count);
    const DWORD expectIds[] = {1, 2, 3, 4, 5, 6, 101};
    const VARTYPE expectTypes[] = {VT_I2, VT_VARIANT, VT_I2, VT_DATE, VT_I4, VT_R4, VT_BSTR};
    for (DWORD i = 0; i < count; ++i) {
        EXPECT_EQ(expectIds[i], ids[i]);
        EXPECT_EQ(expectTypes[i], types[i]);
        EXPECT_NE(nullptr, descs[i]);
        CoTaskMemFree(descs[i]);
    }
    CoTaskMemFree(ids);
    CoTaskMemFree(descs);
    CoTaskMemFree(types);
    EXPECT_EQ(OPC_E_INVALIDITEMID,
              p->QueryAvailableProperties(missing.data(), &count, &ids, &descs, &types));
    Set(3, 6.5, 0x14);
    DWORD want[] = {1, 2, 3, 5, 6, 101, 7};
    VARIANT* pv = nullptr;
    HRESULT* perr = nullptr;
    ASSERT_EQ(S_FALSE, p->GetItemProperties(am1.data(), 7, want, &pv, &perr));
    EXPECT_EQ(VT_R8, pv[0].iVal);
    EXPECT_EQ(0x14, pv[2].iVal);
    EXPECT_EQ(3, pv[3].lVal);
    EXPECT_EQ(VT_R4, pv[4].vt);
    EXPECT_EQ("A M1", com::WideToUtf8(pv[5].bstrVal));
    EXPECT_EQ(OPC_E_INVALID_PID, perr[6]);
    for (int i = 0; i < 7; ++i) VariantClear(&pv[i]);
    CoTaskMemFree(pv);
    CoTaskMemFree(perr);
    LPWSTR* newIds = nullptr;
    HRESULT* errs = nullptr;
    DWORD pid = 1;
    EXPECT_EQ(E_INVALIDARG, p->LookupItemIDs(am1.data(), 0, &pid, &newIds, &errs));
    // No property of a leaf has an item ID of its own: never S_OK with a null string.
    DWORD pids[] = {1, 101};
    ASSERT_EQ(S_FALSE, p->LookupItemIDs(am1.data(), 2, pids, &newIds, &errs));
    EXPECT_EQ(OPC_E_INVALID_PID, errs[0]);
    EXPECT_EQ(OPC_E_INVALID_PID, errs[1]);
    CoTaskMemFree(newIds);
    CoTaskMemFree(errs);

    // Item enumerator over the group's live list.
    IOPCItemMgt* g = AddGroup("G");
    IUnknown* unk = nullptr;
    EXPECT_EQ(S_FALSE, g->CreateEnumerator(com::IidOf<IEnumOPCItemAttributes>(), &unk));
    EXPECT_EQ(nullptr, unk);
    Add(g, {"A.T1", "A.M1"});
    ASSERT_EQ(S_OK, g->CreateEnumerator(com::IidOf<IEnumOPCItemAttributes>(), &unk));
    auto* ie = static_cast<IEnumOPCItemAttributes*>(unk);
    OPCITEMATTRIBUTES* attrs = nullptr;
    ASSERT_EQ(S_FALSE, ie->Next(3, &attrs, &n));
    ASSERT_EQ(2u, n);
    EXPECT_EQ("A.M1", com::WideToUtf8(attrs[1].szItemID));
    EXPECT_EQ(VT_R8, attrs[1].vtCanonicalDataType);
    EXPECT_EQ(-1, attrs[1].bActive);
    for (ULONG i = 0; i < n; ++i) {
        CoTaskMemFree(attrs[i].szItemID);
        CoTaskMemFree(attrs[i].szAccessPath);
        VariantClear(&attrs[i].vEUInfo);
    }
    CoTaskMemFree(attrs);
    ie->Release();
    g->Release();
}

TEST_F(OpcFixture, ShutdownRequestReachesAdvisedClient) {
    TSink sink;
    auto* cpc = Query<IConnectionPointContainer>(static_cast<IOPCServer*>(server));
    IConnectionPoint* cp = nullptr;
    EXPECT_EQ(E_NOINTERFACE, cpc->FindConnectionPoint(com::IidOf<IOPCDataCallback>(), &cp));
    ASSERT_EQ(S_OK, cpc->FindConnectionPoint(com::IidOf<IOPCShutdown>(), &cp));
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, cp->Advise(static_cast<IOPCDataCallback*>(&sink), &cookie));
    DWORD second = 0;
    EXPECT_EQ(CONNECT_E_ADVISELIMIT, cp->Advise(static_cast<IOPCDataCallback*>(&sink), &second));
    core.ShutDown();
    EXPECT_EQ("Terminated by User.", sink.shutdown);
    EXPECT_EQ(S_OK, cp->Unadvise(cookie));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, cp->Unadvise(cookie));
    cp->Release();
    cpc->Release();
    EXPECT_EQ(0, sink.refs.load());
}

// Flat browsing and the three filters against a space with two levels, non-ASCII
// names and a name with brackets.
TEST(OpcBrowse, FlatBrowsingAndFilters) {
    TManualClock clock;
    sOPC core(clock);
    core.OnInitAddressSpace = [](sOPC& c) {
        c.AddBranch(0, 1, "Süd");
        c.AddLeaf(1, 2, "Connected", VT_BOOL, OPC_READABLE);
        c.AddLeaf(1, 3, "T1", VT_BOOL, OPC_READABLE | OPC_WRITEABLE);
        c.AddLeaf(1, 4, "Ü-Spannung", VT_R8, OPC_READABLE);
        c.AddBranch(1, 5, "Feld2");
        c.AddLeaf(5, 6, "M7", VT_R4, OPC_READABLE | OPC_WRITEABLE);
        c.AddLeaf(5, 7, "x[1]", VT_I4, OPC_READABLE);
        c.AddBranch(0, 10, "Север");
        c.AddLeaf(10, 11, "Connected", VT_BOOL, OPC_READABLE);
        c.AddLeaf(10, 12, "t2", VT_BOOL, OPC_WRITEABLE);
        c.AddLeaf(0, 20, "lifebit", VT_I4, OPC_READABLE);
        c.AddProperty(2, 5000, "prop", "d", VT_I4, com::MakeI4(1));  // never browsed
    };
    core.Start();
    sOPCDataAccess* server = sOPCDataAccess::Create(core);
    auto* b = static_cast<IOPCBrowseServerAddressSpace*>(server);
    using V = std::vector<std::string>;
    const V all = {"Süd.Connected",  "Süd.T1",          "Süd.Ü-Spannung", "Süd.Feld2.M7",
                   "Süd.Feld2.x[1]", "Север.Connected", "Север.t2",       "lifebit"};
    const std::string big(65536, '*'), bigA(65536, 'a');
    std::string bigQ;
    for (int i = 0; i < 32768; ++i) bigQ += "*?";
    const struct {
        const char* where;  // item ID to browse to first
        OPCBROWSETYPE type;
        const char* criteria;  // nullptr: none
        VARTYPE vt;
        DWORD rights;
        HRESULT hr;
        V expected;
    } cases[] = {
        {"", OPC_FLAT, nullptr, VT_EMPTY, 0, S_OK, all},
        {"", OPC_FLAT, "", VT_EMPTY, 0, S_OK, all},
        {"Süd", OPC_FLAT, nullptr, VT_EMPTY, 0, S_OK, V(all.begin(), all.begin() + 5)},
        {"Süd.Feld2", OPC_FLAT, nullptr, VT_EMPTY, 0, S_OK, {"Süd.Feld2.M7", "Süd.Feld2.x[1]"}},
        {"", OPC_FLAT, "*.connected", VT_EMPTY, 0, S_OK, {"Süd.Connected", "Север.Connected"}},
        {"", OPC_FLAT, "s?D.*", VT_EMPTY, 0, S_OK, V(all.begin(), all.begin() + 5)},
        {"",
         OPC_FLAT,
         nullptr,
         VT_BOOL,
         0,
         S_OK,
         {"Süd.Connected", "Süd.T1", "Север.Connected", "Север.t2"}},
        {"",
         OPC_FLAT,
         nullptr,
         VT_EMPTY,
         OPC_WRITEABLE,
         S_OK,
         {"Süd.T1", "Süd.Feld2.M7", "Север.t2"}},
        {"", OPC_FLAT, "S*", VT_BOOL, OPC_READABLE | OPC_WRITEABLE, S_OK, {"Süd.T1"}},
        {"Süd", OPC_LEAF, "?1", VT_EMPTY, 0, S_OK, {"T1"}},
        {"Süd", OPC_LEAF, "ü*", VT_EMPTY, 0, S_OK, {"Ü-Spannung"}},
        {"Süd", OPC_LEAF, "[!c]*", VT_EMPTY, 0, S_OK, {"T1", "Ü-Spannung"}},
        {"Süd", OPC_LEAF, "[a-d]*", VT_EMPTY, 0, S_OK, {"Connected"}},
        {"Süd", OPC_LEAF, "[ü-]*", VT_EMPTY, 0, S_OK, {"Ü-Spannung"}},
        {"Süd.Feld2", OPC_LEAF, "x[[]#]", VT_EMPTY, 0, S_OK, {"x[1]"}},
        {"Süd.Feld2", OPC_LEAF, "x[1]", VT_EMPTY, 0, S_OK, {}},
        {"Север", OPC_LEAF, "t#", VT_EMPTY, 0, S_OK, {"t2"}},
        {"", OPC_BRANCH, "с*", VT_EMPTY, 0, S_OK, {"Север"}},
        {"", OPC_BRANCH, "S?d", VT_R8, OPC_WRITEABLE, S_OK, {"Süd"}},  // ? is one character
        {"", OPC_BRANCH, "S??d", VT_EMPTY, 0, S_OK, {}},
        {"", OPC_LEAF, big.c_str(), VT_EMPTY, 0, S_OK, {"lifebit"}},
        {"", OPC_FLAT, bigA.c_str(), VT_EMPTY, 0, S_OK, {}},
        {"", OPC_FLAT, bigQ.c_str(), VT_EMPTY, 0, S_OK, {}},
        {"", OPC_FLAT, "abc[", VT_EMPTY, 0, OPC_E_INVALIDFILTER, {}},
        {"", OPC_LEAF, "[]", VT_EMPTY, 0, OPC_E_INVALIDFILTER, {}},
        {"", OPC_BRANCH, "[z-a]*", VT_EMPTY, 0, OPC_E_INVALIDFILTER, {}},
    };
    for (const auto& c : cases) {
        const std::string crit = c.criteria ? std::string(c.criteria).substr(0, 12) : "(null)";
        SCOPED_TRACE(std::string(c.where) + " type " + std::to_string(c.type) + " " + crit);
        ASSERT_EQ(S_OK, b->ChangeBrowsePosition(OPC_BROWSE_TO, W(c.where).c_str()));
        const com::WString wc = c.criteria ? com::Utf8ToWide(c.criteria) : com::WString();
        IEnumString* e = reinterpret_cast<IEnumString*>(1);
        EXPECT_EQ(c.hr, b->BrowseOPCItemIDs(c.type, c.criteria ? wc.c_str() : nullptr, c.vt,
                                            c.rights, &e));
        if (FAILED(c.hr)) {
            EXPECT_EQ(nullptr, e);
            continue;
        }
        ASSERT_NE(nullptr, e);
        EXPECT_EQ(c.expected, Drain(e));
        e->Release();
    }
    server->Release();
}

}  // namespace
}  // namespace telegate::opc::test
