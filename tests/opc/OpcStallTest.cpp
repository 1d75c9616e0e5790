// Clients that stall: one that never returns from a callback, a command the
// application does not take, a write waiting for the station, and clients that call
// back into the server from inside their callbacks. Thread tests: run under TSan.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "OpcFixture.h"

namespace telegate::opc::test {
namespace {

using namespace std::chrono_literals;
using TSteady = std::chrono::steady_clock;

// A sink that stops in one kind of callback ("data", "read", "write", "shutdown")
// until the test lets it go.
class THangingSink : public TSink {
  public:
    explicit THangingSink(std::string where) : FWhere(std::move(where)) {}
    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD tid, OPCHANDLE g, HRESULT mq, HRESULT me, DWORD n,
                                           OPCHANDLE* h, VARIANT* v, WORD* q, FILETIME* t,
                                           HRESULT* e) override {
        Hang("data");
        return TSink::OnDataChange(tid, g, mq, me, n, h, v, q, t, e);
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD tid, OPCHANDLE g, HRESULT mq, HRESULT me,
                                             DWORD n, OPCHANDLE* h, VARIANT* v, WORD* q,
                                             FILETIME* t, HRESULT* e) override {
        Hang("read");
        return TSink::OnReadComplete(tid, g, mq, me, n, h, v, q, t, e);
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD tid, OPCHANDLE g, HRESULT me, DWORD n,
                                              OPCHANDLE* h, HRESULT* e) override {
        Hang("write");
        return TSink::OnWriteComplete(tid, g, me, n, h, e);
    }
    HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR reason) override {
        Hang("shutdown");
        return TSink::ShutdownRequest(reason);
    }
    bool WaitEntered() {
        std::unique_lock lock(FMu);
        return FCv.wait_for(lock, 10s, [&] { return FEntered; });
    }
    void Let() {
        {
            std::lock_guard lock(FMu);
            FReleased = true;
        }
        FCv.notify_all();
    }

  private:
    void Hang(const char* kind) {
        if (FWhere != kind) return;
        std::unique_lock lock(FMu);
        FEntered = true;
        FCv.notify_all();
        FCv.wait(lock, [&] { return FReleased; });
    }
    const std::string FWhere;
    std::mutex FMu;
    std::condition_variable FCv;
    bool FEntered = false;
    bool FReleased = false;
};

// A shutdown connection of a server object.
struct TShutdownLink {
    IConnectionPoint* Cp = nullptr;
    DWORD Cookie = 0;
    TShutdownLink(sOPCDataAccess* server, TSink& sink) {
        IConnectionPointContainer* cpc = nullptr;
        static_cast<IOPCServer*>(server)->QueryInterface(com::IidOf<IConnectionPointContainer>(),
                                                         reinterpret_cast<void**>(&cpc));
        EXPECT_EQ(S_OK, cpc->FindConnectionPoint(com::IidOf<IOPCShutdown>(), &Cp));
        EXPECT_EQ(S_OK, Cp->Advise(static_cast<IOPCShutdown*>(&sink), &Cookie));
        cpc->Release();
    }
    ~TShutdownLink() {
        Cp->Unadvise(Cookie);
        Cp->Release();
    }
};

// Waits until the sink's references are back to 0: every thread that called it
// has let it go.
bool WaitUnreferenced(TSink& sink) {
    const auto end = TSteady::now() + 10s;
    while (sink.refs.load() != 0 && TSteady::now() < end) std::this_thread::sleep_for(5ms);
    return sink.refs.load() == 0;
}

class OpcStall : public OpcFixture, public ::testing::WithParamInterface<const char*> {};

// One client stops in a callback ("start": the application never takes an
// asynchronous write, as when its main thread is busy): the close finishes within
// its limit and another client's group keeps getting its updates.
TEST_P(OpcStall, ClientThatNeverReturnsHoldsUpNeitherOthersNorTheClose) {
    const std::string where = GetParam();
    THangingSink hung(where);
    std::mutex startMu;
    std::condition_variable startCv;
    bool startFree = where != "start";
    bool startEntered = false;
    const sOnWrite write = core.OnWrite;
    core.OnWrite = [&, write](sOPCNode& n, const VARIANT& v, const std::string& p, VARTYPE t,
                              sWriteDone done) {
        {
            std::unique_lock lock(startMu);
            startEntered = true;
            startCv.notify_all();
            startCv.wait(lock, [&] { return startFree; });
        }
        write(n, v, p, t, std::move(done));
    };
    Set(3, 1.0);
    IOPCItemMgt* g = AddGroup("hung");
    Advise(g, hung);
    auto h = Add(g, {"A.M1"});
    auto* aio = Query<IOPCAsyncIO2>(g);
    sOPCDataAccess* other = sOPCDataAccess::Create(core);
    TSink fast;
    IUnknown* unk = nullptr;
    OPCHANDLE hg = 0;
    DWORD rev = 0;
    ASSERT_EQ(S_OK, other->AddGroup(W("fast").c_str(), TRUE, 100, 1, nullptr, nullptr, 0, &hg,
                                    &rev, com::IidOf<IOPCItemMgt>(), &unk));
    auto* gf = static_cast<IOPCItemMgt*>(unk);
    Advise(gf, fast);
    Add(gf, {"A.M1"});
    {
        TShutdownLink hungLink(server, hung);
        TShutdownLink fastLink(other, fast);

        DWORD cancel = 0;
        HRESULT* e = nullptr;
        VARIANT v[] = {com::MakeR8(5.0)};
        if (where == "read") {
            ASSERT_EQ(S_OK, aio->Read(1, h.data(), 7, &cancel, &e));
        }
        if (where == "write" || where == "start") {
            ASSERT_EQ(S_OK, aio->Write(1, h.data(), v, 8, &cancel, &e));
        }
        CoTaskMemFree(e);
        // A step that does not return within its bound fails the test, and the
        // client and the application are let go so that the test ends.
        auto unstick = [&] {
            hung.Let();
            std::lock_guard lock(startMu);
            startFree = true;
            startCv.notify_all();
        };
        auto bounded = [&](const char* what, auto step) {
            auto run = std::async(std::launch::async, step);
            const bool returned = run.wait_for(5s) == std::future_status::ready;
            EXPECT_TRUE(returned) << what << " held up";
            if (!returned) unstick();
            return run.get();
        };
        if (where != "shutdown") {
            clock.Advance(150);
            bounded("the tick", [&] {
                core.Tick();
                return 0;
            });
            if (where == "start") {
                std::unique_lock lock(startMu);
                ASSERT_TRUE(startCv.wait_for(lock, 10s, [&] { return startEntered; }));
            } else {
                ASSERT_TRUE(hung.WaitEntered());
            }
        }

        // The close: every client is asked at once, and the wait ends at the limit.
        const auto t0 = TSteady::now();
        const size_t late = bounded("the close", [&] { return core.ShutDown(300ms); });
        const auto took = TSteady::now() - t0;
        EXPECT_EQ(where == "shutdown" ? 1u : 0u, late);
        EXPECT_LT(took, 3s);
        if (where == "shutdown") {
            EXPECT_GE(took, 290ms);
        }
        {
            std::lock_guard lock(fast.mu);
            EXPECT_EQ("Terminated by User.", fast.shutdown);
        }
        if (where == "shutdown") {
            ASSERT_TRUE(hung.WaitEntered());
        }

        // The other client's group goes on: each tick returns at once and reports.
        other->FlushCallbacks();
        fast.Take();
        for (int i = 0; i < 4; ++i) {
            Set(3, 10.0 + i);
            clock.Advance(150);
            bounded("a tick", [&] {
                core.Tick();
                return 0;
            });
            other->FlushCallbacks();
        }
        const auto got = fast.Take();
        ASSERT_EQ(4u, got.size());
        EXPECT_EQ(13.0, got.back().values.at(0));

        hung.Let();
        {
            std::lock_guard lock(startMu);
            startFree = true;
        }
        startCv.notify_all();
        core.FlushCallbacks();
    }
    aio->Release();
    g->Release();
    gf->Release();
    other->Release();
    EXPECT_TRUE(WaitUnreferenced(hung));
    EXPECT_TRUE(WaitUnreferenced(fast));
}

INSTANTIATE_TEST_SUITE_P(Callbacks, OpcStall,
                         ::testing::Values("data", "read", "write", "shutdown", "start"),
                         [](const auto& info) { return std::string(info.param); });

// A sink that, inside one kind of callback, reads, removes an item, deactivates
// its group, removes the group and lets go of it: a client calling back into its
// server from a callback.
class TCallingBackSink : public TSink {
  public:
    std::string Where;
    sOPCDataAccess* Server = nullptr;
    IOPCItemMgt* Group = nullptr;  // the sink's reference, let go in the callback
    OPCHANDLE GroupHandle = 0;
    OPCHANDLE Remove = 0, Read = 0;
    HRESULT ReadHr = E_FAIL, RemoveHr = E_FAIL, StateHr = E_FAIL, RemoveGroupHr = E_FAIL;
    double ReadValue = -1;
    std::atomic<bool> Done{false};

    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD tid, OPCHANDLE g, HRESULT mq, HRESULT me, DWORD n,
                                           OPCHANDLE* h, VARIANT* v, WORD* q, FILETIME* t,
                                           HRESULT* e) override {
        CallBack("data");
        return TSink::OnDataChange(tid, g, mq, me, n, h, v, q, t, e);
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD tid, OPCHANDLE g, HRESULT mq, HRESULT me,
                                             DWORD n, OPCHANDLE* h, VARIANT* v, WORD* q,
                                             FILETIME* t, HRESULT* e) override {
        CallBack("read");
        return TSink::OnReadComplete(tid, g, mq, me, n, h, v, q, t, e);
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD tid, OPCHANDLE g, HRESULT me, DWORD n,
                                              OPCHANDLE* h, HRESULT* e) override {
        CallBack("write");
        return TSink::OnWriteComplete(tid, g, me, n, h, e);
    }
    HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR reason) override {
        CallBack("shutdown");
        return TSink::ShutdownRequest(reason);
    }

  private:
    void CallBack(const char* kind) {
        if (Where != kind || Done.load() || !Group) return;
        IOPCSyncIO* io = nullptr;
        Group->QueryInterface(com::IidOf<IOPCSyncIO>(), reinterpret_cast<void**>(&io));
        OPCITEMSTATE* st = nullptr;
        HRESULT* e = nullptr;
        ReadHr = io->Read(OPC_DS_DEVICE, 1, &Read, &st, &e);
        if (st) {
            com::VariantToDouble(st[0].vDataValue, ReadValue);
            VariantClear(&st[0].vDataValue);
        }
        CoTaskMemFree(st);
        CoTaskMemFree(e);
        io->Release();
        e = nullptr;
        RemoveHr = Group->RemoveItems(1, &Remove, &e);
        CoTaskMemFree(e);
        IOPCGroupStateMgt* gs = nullptr;
        Group->QueryInterface(com::IidOf<IOPCGroupStateMgt>(), reinterpret_cast<void**>(&gs));
        BOOL off = FALSE;
        StateHr = gs->SetState(nullptr, nullptr, &off, nullptr, nullptr, nullptr, nullptr);
        gs->Release();
        RemoveGroupHr = Server->RemoveGroup(GroupHandle, FALSE);
        std::exchange(Group, nullptr)->Release();
        Done = true;
    }
};

class OpcCallBack : public OpcFixture, public ::testing::WithParamInterface<const char*> {};

// While a synchronous write waits for the station, the client calls back into its
// server and group from inside a callback: every call answers, nothing deadlocks,
// and the write still gets the station's answer.
TEST_P(OpcCallBack, CallsFromInsideACallbackWhileAWriteIsPending) {
    const std::string where = GetParam();
    deferWrites = true;
    Set(3, 4.0);
    TCallingBackSink sink;
    sink.Where = where;
    sink.Server = server;
    OPCHANDLE hg = 0;
    DWORD rev = 0;
    IUnknown* unk = nullptr;
    ASSERT_EQ(S_OK, server->AddGroup(W("G").c_str(), TRUE, 100, 3, nullptr, nullptr, 0, &hg, &rev,
                                     com::IidOf<IOPCItemMgt>(), &unk));
    auto* g = static_cast<IOPCItemMgt*>(unk);
    g->AddRef();
    sink.Group = g;
    sink.GroupHandle = hg;
    Advise(g, sink);
    auto h = Add(g, {"A.M1", "A.T1"});
    sink.Read = h[0];
    sink.Remove = h[1];
    auto* io = Query<IOPCSyncIO>(g);
    auto* aio = Query<IOPCAsyncIO2>(g);
    {
        TShutdownLink link(server, sink);
        // An asynchronous write first (answered below, for "write"), then the
        // synchronous one that stays pending throughout.
        DWORD cancel = 0;
        HRESULT* e = nullptr;
        VARIANT av[] = {com::MakeBool(true)};
        if (where == "write") {
            ASSERT_EQ(S_OK, aio->Write(1, &h[1], av, 9, &cancel, &e));
            CoTaskMemFree(e);
            clock.Advance(10);
            core.Tick();
            ASSERT_TRUE(WaitPendingWrites(1));
        }
        HRESULT writeHr = E_FAIL, itemHr = E_FAIL;
        std::thread writer([&] {
            VARIANT v[] = {com::MakeR8(6.0)};
            HRESULT* err = nullptr;
            writeHr = io->Write(1, &h[0], v, &err);
            if (err) itemHr = err[0];
            CoTaskMemFree(err);
        });
        ASSERT_TRUE(WaitPendingWrites(where == "write" ? 2 : 1));

        if (where == "read") {
            ASSERT_EQ(S_OK, aio->Read(1, &h[0], 11, &cancel, &e));
            CoTaskMemFree(e);
        }
        if (where == "write") AnswerWrite(S_OK);  // the asynchronous one
        if (where == "shutdown") {
            const auto t0 = TSteady::now();
            EXPECT_EQ(0u, core.ShutDown(5s));
            EXPECT_LT(TSteady::now() - t0, 4s);
        } else {
            clock.Advance(150);
            core.Tick();
        }
        for (int i = 0; i < 1000 && !sink.Done.load(); ++i) std::this_thread::sleep_for(10ms);
        ASSERT_TRUE(sink.Done.load()) << "the calls from the callback did not return";
        EXPECT_EQ(S_OK, sink.ReadHr);
        EXPECT_EQ(4.0, sink.ReadValue);
        EXPECT_EQ(S_OK, sink.RemoveHr);
        EXPECT_EQ(S_OK, sink.StateHr);
        EXPECT_EQ(S_OK, sink.RemoveGroupHr);

        // The pending write is answered as the station answers.
        AnswerWrite(S_OK);
        writer.join();
        EXPECT_EQ(S_OK, writeHr);
        EXPECT_EQ(S_OK, itemHr);
        core.FlushCallbacks();
    }
    io->Release();
    aio->Release();
    g->Release();
    EXPECT_TRUE(WaitUnreferenced(sink));
}

INSTANTIATE_TEST_SUITE_P(Callbacks, OpcCallBack,
                         ::testing::Values("data", "read", "write", "shutdown"),
                         [](const auto& info) { return std::string(info.param); });

// A replaced address space stays while something still uses a node of it (here a
// write waiting for the station) and goes with its last user.
TEST_F(OpcFixture, ReplacedAddressSpaceGoesWithItsLastUser) {
    deferWrites = true;
    IOPCItemMgt* g = AddGroup("G");
    auto h = Add(g, {"A.M1"});
    auto* io = Query<IOPCSyncIO>(g);
    std::weak_ptr<const TAddressSpace> first = core.SpaceRef();
    std::thread writer([&] {
        VARIANT v[] = {com::MakeR8(3.0)};
        HRESULT* e = nullptr;
        io->Write(1, h.data(), v, &e);
        CoTaskMemFree(e);
    });
    ASSERT_TRUE(WaitPendingWrites(1));
    core.RebuildAddressSpace();
    std::weak_ptr<const TAddressSpace> second = core.SpaceRef();
    EXPECT_FALSE(first.expired());  // the pending write's node
    AnswerWrite(S_OK);
    writer.join();
    EXPECT_TRUE(first.expired());
    // The items moved to the new space; a further rebuild frees the second too.
    core.RebuildAddressSpace();
    EXPECT_TRUE(second.expired());
    OPCITEMSTATE* st = nullptr;
    HRESULT* e = nullptr;
    Set(3, 8.0);
    ASSERT_EQ(S_OK, io->Read(OPC_DS_DEVICE, 1, h.data(), &st, &e));
    EXPECT_EQ(8.0, st[0].vDataValue.dblVal);
    CoTaskMemFree(st);
    CoTaskMemFree(e);
    io->Release();
    g->Release();
}

}  // namespace
}  // namespace telegate::opc::test
