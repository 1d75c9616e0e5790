// What reaches the client: initial values after each way of subscribing, every
// change of value or quality, reads of inactive items, and writes that answer
// only when the device has.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "OpcFixture.h"
#include "opc/Group.h"

namespace telegate::opc::test {
namespace {

TEST_F(OpcFixture, EveryWayOfSubscribingSendsTheCurrentValues) {
    struct TCase {
        const char* what;
        bool groupActive;
        bool itemsActive;
        bool adviseFirst;
        // Makes the items' values due; the items were already in the group.
        std::function<void(IOPCItemMgt*, std::vector<OPCHANDLE>&, TSink&)> trigger;
    };
    const TCase cases[] = {
        {"Advise after AddItems", true, true, false,
         [&](IOPCItemMgt* g, std::vector<OPCHANDLE>&, TSink& s) { Advise(g, s); }},
        {"AddItems into an active group", true, true, true,
         [&](IOPCItemMgt* g, std::vector<OPCHANDLE>& h, TSink&) {
             h = Add(g, {"A.T1", "A.M1"});
         }},
        {"SetActiveState(TRUE)", true, false, true,
         [&](IOPCItemMgt* g, std::vector<OPCHANDLE>& h, TSink&) {
             HRESULT* e = nullptr;
             ASSERT_EQ(S_OK, g->SetActiveState(static_cast<DWORD>(h.size()), h.data(), TRUE, &e));
             CoTaskMemFree(e);
         }},
        {"group activated by SetState", false, true, true,
         [&](IOPCItemMgt* g, std::vector<OPCHANDLE>&, TSink&) {
             auto* gs = Query<IOPCGroupStateMgt>(g);
             BOOL on = TRUE;
             ASSERT_EQ(S_OK,
                       gs->SetState(nullptr, nullptr, &on, nullptr, nullptr, nullptr, nullptr));
             gs->Release();
         }},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        Set(2, 1.0);
        Set(3, 5.0, 0x14);
        IOPCItemMgt* g = AddGroup(c.what, c.groupActive);
        TSink sink;
        std::vector<OPCHANDLE> h;
        if (c.adviseFirst) Advise(g, sink);
        if (std::string(c.what).rfind("AddItems", 0) != 0) {
            h = Add(g, {"A.T1", "A.M1"});
            if (!c.itemsActive) {
                HRESULT* e = nullptr;
                ASSERT_EQ(S_OK, g->SetActiveState(2, h.data(), FALSE, &e));
                CoTaskMemFree(e);
            }
        }
        // Cycles before the trigger: the values are read but cannot be sent yet
        // (no subscriber, inactive items or group), so nothing counts as sent.
        Cycle();
        Cycle();
        sink.Take();
        c.trigger(g, h, sink);
        Cycle();
        auto got = sink.Take();
        ASSERT_EQ(1u, got.size());
        EXPECT_EQ("data", got[0].kind);
        EXPECT_EQ(0u, got[0].transid);
        EXPECT_EQ((std::vector<OPCHANDLE>{100, 101}), got[0].clients);
        EXPECT_EQ((std::vector<double>{-1.0, 5.0}), got[0].values);  // T1 is VT_BOOL
        EXPECT_EQ((std::vector<WORD>{0xC0, 0x14}), got[0].qualities);
        Cycle();
        EXPECT_TRUE(sink.Take().empty());  // then only changes
        g->Release();
    }
}

TEST_F(OpcFixture, ChangesOfValueOrQualityAreSentWhateverTheTimeStamp) {
    // A device read that keeps its time stamp (a station's own time tag) while the
    // quality or the value changes.
    core.OnRead = [this](sOPCNode& n, const std::string&, VARTYPE) {
        std::lock_guard lock(valueMu);
        const auto [v, q] = values[n.Ident];
        n.CurrentValue = com::MakeR8(v);
        n.Quality = q;
        n.LastUpdate = 45000.0;
    };
    Set(3, 1.0);
    IOPCItemMgt* g = AddGroup("G");
    TSink sink;
    Advise(g, sink);
    Add(g, {"A.M1"});
    Cycle();
    ASSERT_EQ(1u, sink.Take().size());
    const std::pair<double, WORD> steps[] = {{1.0, 0x14}, {1.0, 0x14}, {2.0, 0x14}, {2.0, 0xC0}};
    const size_t expected[] = {1, 0, 1, 1};
    for (size_t i = 0; i < std::size(steps); ++i) {
        Set(3, steps[i].first, steps[i].second);
        Cycle();
        auto got = sink.Take();
        ASSERT_EQ(expected[i], got.size()) << "step " << i;
        if (!got.empty()) {
            EXPECT_EQ(steps[i].first, got[0].values[0]);
            EXPECT_EQ(steps[i].second, got[0].qualities[0]);
        }
    }
    // A Refresh2 answer is what later changes are measured against.
    auto* aio = Query<IOPCAsyncIO2>(g);
    Set(3, 3.0);
    DWORD cancel = 0;
    ASSERT_EQ(S_OK, aio->Refresh2(OPC_DS_DEVICE, 7, &cancel));
    Cycle(10);
    auto got = sink.Take();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(7u, got[0].transid);
    Cycle();
    EXPECT_TRUE(sink.Take().empty());
    aio->Release();
    g->Release();
}

TEST_F(OpcFixture, AsyncReadsServeInactiveItemsAndDisabledCallbacksStopOnlyDataChange) {
    Set(3, 4.0);
    IOPCItemMgt* g = AddGroup("G", /*active=*/false);
    TSink sink;
    Advise(g, sink);
    auto h = Add(g, {"A.M1"});
    HRESULT* e = nullptr;
    ASSERT_EQ(S_OK, g->SetActiveState(1, h.data(), FALSE, &e));
    CoTaskMemFree(e);
    auto* aio = Query<IOPCAsyncIO2>(g);
    ASSERT_EQ(S_OK, aio->SetEnable(FALSE));
    DWORD cancel = 0;
    ASSERT_EQ(S_OK, aio->Read(1, h.data(), 21, &cancel, &e));
    CoTaskMemFree(e);
    VARIANT v[] = {com::MakeR8(1.0)};
    ASSERT_EQ(S_OK, aio->Write(1, h.data(), v, 22, &cancel, &e));
    CoTaskMemFree(e);
    Cycle(10);
    auto got = sink.Take();
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ("read", got[0].kind);
    EXPECT_EQ(4.0, got[0].values[0]);
    EXPECT_EQ(0xC0, got[0].qualities[0]);
    EXPECT_EQ(S_OK, got[0].errors[0]);
    EXPECT_EQ("write", got[1].kind);
    EXPECT_EQ(S_OK, got[1].errors[0]);
    // A read-only item is refused when the write is made.
    auto ro = Add(g, {"A.RO"});
    cancel = 5;
    ASSERT_EQ(S_FALSE, aio->Write(1, ro.data(), v, 23, &cancel, &e));
    EXPECT_EQ(OPC_E_BADRIGHTS, e[0]);
    EXPECT_EQ(0u, cancel);
    CoTaskMemFree(e);
    aio->Release();
    g->Release();
}

TEST_F(OpcFixture, WritesAnswerWhenTheDeviceHasWithoutHoldingTheGroup) {
    deferWrites = true;
    Set(3, 1.0);
    IOPCItemMgt* g = AddGroup("G");
    TSink sink;
    Advise(g, sink);
    auto h = Add(g, {"A.M1", "A.T1"});
    auto* io = Query<IOPCSyncIO>(g);
    auto* aio = Query<IOPCAsyncIO2>(g);

    double next = 2.0;
    for (HRESULT answer : {S_OK, static_cast<HRESULT>(0xC0040401u)}) {
        HRESULT callResult = E_UNEXPECTED;
        HRESULT itemError = E_UNEXPECTED;
        std::thread writer([&] {
            VARIANT v[] = {com::MakeR8(0.0)};
            HRESULT* e = nullptr;
            callResult = io->Write(1, h.data(), v, &e);
            if (e) itemError = e[0];
            CoTaskMemFree(e);
        });
        ASSERT_TRUE(WaitPendingWrites(1));
        // While the write waits: the same group reads, adds items and runs its
        // cycles; the value is untouched by the write.
        Set(3, next);
        OPCITEMSTATE* st = nullptr;
        HRESULT* e = nullptr;
        ASSERT_EQ(S_OK, io->Read(OPC_DS_DEVICE, 1, h.data(), &st, &e));
        EXPECT_EQ(next, st[0].vDataValue.dblVal);
        next += 1.0;
        CoTaskMemFree(st);
        CoTaskMemFree(e);
        Cycle();
        EXPECT_FALSE(sink.Take().empty());
        AnswerWrite(answer);
        writer.join();
        EXPECT_EQ(answer, itemError);
        EXPECT_EQ(answer == S_OK ? S_OK : S_FALSE, callResult);
    }

    // Asynchronous: the completion comes with the device's answer, and the
    // update cycles go on meanwhile.
    VARIANT v[] = {com::MakeR8(1.0), com::MakeBool(true)};
    DWORD cancel = 0;
    HRESULT* e = nullptr;
    ASSERT_EQ(S_OK, aio->Write(2, h.data(), v, 31, &cancel, &e));
    CoTaskMemFree(e);
    Cycle(10);
    ASSERT_TRUE(WaitPendingWrites(2));
    Set(3, next);
    Cycle();
    auto got = sink.Take();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ("data", got[0].kind);
    AnswerWrite(S_OK);
    Cycle(10);
    EXPECT_TRUE(sink.Take().empty());  // one answer still missing
    AnswerWrite(static_cast<HRESULT>(0xC0040402u));
    core.FlushCallbacks();
    got = sink.Take();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ("write", got[0].kind);
    EXPECT_EQ(31u, got[0].transid);
    EXPECT_EQ(S_FALSE, got[0].masterError);
    EXPECT_EQ((std::vector<HRESULT>{S_OK, static_cast<HRESULT>(0xC0040402u)}), got[0].errors);
    io->Release();
    aio->Release();
    g->Release();
}

}  // namespace
}  // namespace telegate::opc::test
