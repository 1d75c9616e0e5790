// An OPC client in this process against the whole chain: telegate-sim, the master,
// publication, the item image, the station bridge and a group's data callback. A
// value set at the station arrives in OnDataChange, a client's write of 1 reaches
// the station as select then execute, a write to the link state is refused, the
// 500 ms timer counts the client and its group, a link loss turns the station's
// items bad, and the core's shutdown asks the client to disconnect.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LiveMaster.h"
#include "opc/Core.h"
#include "opc/OpcFixture.h"
#include "opc/Server.h"
#include "opc/StationBridge.h"

namespace telegate {
namespace {

namespace fs = std::filesystem;
using opc::test::TReceived;
using opc::test::TSink;

class OpcEndToEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "tg-opc-e2e-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        // "ПС Альфа", common address 1: TS 1..2 (commands at 101..102), TI 1001.
        auto t = std::make_unique<TStationTable>();
        T_KP& kp = t->KP_arr[++t->Kol_KP];
        kp.NameKP = "ПС Альфа";
        kp.IP = "127.0.0.1";
        kp.ASDU_Adr = 1;
        kp.Kol_TS = 2;
        kp.Kol_TI = 1;
        for (int k = 1; k <= 2; ++k) {
            kp.TS_arr[k] = T_TS{};
            kp.TS_arr[k].NameTS = "Выключатель " + std::to_string(k);
            kp.TS_arr[k].AdrASDU = 1;
            kp.TS_arr[k].AdrIOA = k;
            kp.TS_arr[k].AdrASDU_TU = 1;
            kp.TS_arr[k].AdrIOA_TU = 100 + k;
        }
        kp.TI_arr[1].NameTI = "Ток";
        kp.TI_arr[1].AdrASDU = 1;
        kp.TI_arr[1].AdrIOA = 1001;
        WriteConfigFile((dir_ / "iec104.cfg").string(), *t);
        ASSERT_TRUE(
            sim_.Start(std::string(TELEGATE_BIN_DIR) + "/" + test::ExecutableName("telegate-sim"),
                       {"--port", "0", "--port-count", "1", "--config",
                        (dir_ / "iec104.cfg").string(), "--station", "1"}));
        ports_ = sim_.Ports();
        ASSERT_EQ(ports_.size(), 1u);
        ASSERT_TRUE(live::WritePrmnFile((dir_ / "iec104sr.bin").string(), ports_));
    }
    void TearDown() override {
        master_.reset();
        sim_.Stop();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    // Waits until an item of a callback received since callback number from
    // satisfies pred. Every callback is kept in seen_.
    bool WaitCallback(const std::function<bool(const TReceived&, size_t)>& pred, int timeoutMs,
                      size_t from = 0) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        do {
            for (TReceived& r : sink_.Take()) seen_.push_back(std::move(r));
            for (size_t c = from; c < seen_.size(); ++c)
                for (size_t i = 0; i < seen_[c].clients.size(); ++i)
                    if (pred(seen_[c], i)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } while (std::chrono::steady_clock::now() < end);
        return false;
    }
    size_t Received() {
        for (TReceived& r : sink_.Take()) seen_.push_back(std::move(r));
        return seen_.size();
    }

    fs::path dir_;
    live::TSimProcess sim_;
    std::vector<int> ports_;
    std::unique_ptr<live::TLiveMaster> master_;
    TSink sink_;
    std::vector<TReceived> seen_;
};

TEST_F(OpcEndToEndTest, StationValuesCommandsAndLinkLossThroughAnOpcGroup) {
    master_ = std::make_unique<live::TLiveMaster>(dir_.string());
    TAppContext& ctx = *master_->ctx;
    opc::sOPC& core = *ctx.Opc;
    // The start-up order: the core is named and given the bridge, polling starts
    // (and builds the address space), then the core accepts clients.
    bool started = false;
    master_->OnMain([&] {
        core.Init("Telegate.OPCServer", "Telegate", false);
        ctx.OpcBridge->Install(core);
        started = master_->polling->Start_IEC104();
    });
    ASSERT_TRUE(started) << master_->polling->LastError();
    EXPECT_EQ(ctx.LifebitId, 7);  // built before any client: 1 branch, 1 status, 3 tags
    core.Start();
    core.StartUpdateLoop();

    opc::sOPCDataAccess* server = opc::sOPCDataAccess::Create(core);
    ASSERT_NE(server, nullptr);
    IOPCShutdown* shutdownSink = &sink_;
    IConnectionPointContainer* scpc = nullptr;
    ASSERT_EQ(S_OK, server->QueryInterface(com::IidOf<IConnectionPointContainer>(),
                                           reinterpret_cast<void**>(&scpc)));
    IConnectionPoint* scp = nullptr;
    ASSERT_EQ(S_OK, scpc->FindConnectionPoint(com::IidOf<IOPCShutdown>(), &scp));
    DWORD shutdownCookie = 0;
    ASSERT_EQ(S_OK, scp->Advise(shutdownSink, &shutdownCookie));

    OPCHANDLE hGroup = 0;
    DWORD revised = 0;
    IUnknown* unk = nullptr;
    ASSERT_EQ(S_OK, server->AddGroup(com::W("g").c_str(), TRUE, 100, 9, nullptr, nullptr, 0,
                                     &hGroup, &revised, com::IidOf<IOPCItemMgt>(), &unk));
    auto* items = static_cast<IOPCItemMgt*>(unk);
    IConnectionPointContainer* cpc = nullptr;
    ASSERT_EQ(S_OK, items->QueryInterface(com::IidOf<IConnectionPointContainer>(),
                                          reinterpret_cast<void**>(&cpc)));
    IConnectionPoint* cp = nullptr;
    ASSERT_EQ(S_OK, cpc->FindConnectionPoint(com::IidOf<IOPCDataCallback>(), &cp));
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, cp->Advise(static_cast<IOPCDataCallback*>(&sink_), &cookie));

    // Client handles 0..3: the two switches, the current, the link state.
    const std::vector<std::string> ids = {"ПС Альфа.Выключатель 1", "ПС Альфа.Выключатель 2",
                                          "ПС Альфа.Ток", "ПС Альфа.Connected"};
    std::vector<com::WString> wide;
    for (const auto& s : ids) wide.push_back(com::Utf8ToWide(s));
    std::vector<OPCITEMDEF> defs(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        defs[i].szItemID = wide[i].data();
        defs[i].bActive = TRUE;
        defs[i].hClient = static_cast<OPCHANDLE>(i);
    }
    OPCITEMRESULT* res = nullptr;
    HRESULT* errs = nullptr;
    ASSERT_EQ(S_OK, items->AddItems(4, defs.data(), &res, &errs));
    std::vector<OPCHANDLE> h;
    for (int i = 0; i < 4; ++i) h.push_back(res[i].hServer);
    CoTaskMemFree(res);
    CoTaskMemFree(errs);

    // A value set at the station arrives with good quality.
    sim_.Send("@" + std::to_string(ports_[0]) + " set 1001 42.5");
    EXPECT_TRUE(WaitCallback(
        [&](const TReceived& r, size_t i) {
            return r.group == 9 && r.clients[i] == 2 && r.values[i] == 42.5 &&
                   r.qualities[i] == 0xC0;
        },
        8000));
    EXPECT_TRUE(WaitCallback(
        [](const TReceived& r, size_t i) {
            return r.clients[i] == 3 && r.values[i] != 0 && r.qualities[i] == 0xC0;
        },
        3000));

    // The 500 ms timer counts one client with one group.
    EXPECT_GE(master_->WaitMain(
                  [&] {
                      return master_->polling->OpcServerCount() == 1 &&
                             master_->polling->OpcGroupCount() == 1;
                  },
                  3000),
              0);

    // A write of 1 to the second switch: select, then execute, of its command address.
    IOPCSyncIO* sync = nullptr;
    ASSERT_EQ(S_OK,
              items->QueryInterface(com::IidOf<IOPCSyncIO>(), reinterpret_cast<void**>(&sync)));
    const size_t from = sim_.LineCount();
    OPCHANDLE wh[2] = {h[1], h[3]};
    VARIANT wv[2] = {com::MakeI4(1), com::MakeBool(true)};
    HRESULT* werr = nullptr;
    EXPECT_EQ(S_FALSE, sync->Write(2, wh, wv, &werr));
    ASSERT_NE(werr, nullptr);
    EXPECT_EQ(S_OK, werr[0]);
    EXPECT_EQ(OPC_E_BADRIGHTS, werr[1]);  // the link state is not a command
    CoTaskMemFree(werr);
    const std::string port = std::to_string(ports_[0]);
    const int sel =
        sim_.WaitContains("command " + port + " select ca=1 ioa=102 state=on", 8000, from);
    ASSERT_GE(sel, 0);
    EXPECT_GT(sim_.WaitContains("command " + port + " execute ca=1 ioa=102 state=on", 8000,
                                static_cast<size_t>(sel)),
              sel);
    EXPECT_LT(sim_.WaitContains("ioa=101", 200, from), 0);  // nothing for the other switch

    // A link loss: the station's items turn bad and its link state false.
    const size_t beforeDrop = Received();
    sim_.Send("@" + port + " drop");
    EXPECT_TRUE(WaitCallback(
        [](const TReceived& r, size_t i) { return r.clients[i] == 0 && r.qualities[i] == 0; }, 5000,
        beforeDrop));
    EXPECT_TRUE(WaitCallback(
        [](const TReceived& r, size_t i) { return r.clients[i] == 2 && r.qualities[i] == 0; }, 5000,
        beforeDrop));
    EXPECT_TRUE(WaitCallback(
        [](const TReceived& r, size_t i) { return r.clients[i] == 3 && r.values[i] == 0; }, 5000,
        beforeDrop));

    // Closing: every client is asked to disconnect; polling is not stopped for it.
    core.ShutDown();
    {
        std::lock_guard lock(sink_.mu);
        EXPECT_FALSE(sink_.shutdown.empty());
    }
    EXPECT_TRUE(master_->polling->Polling());

    core.StopUpdateLoop();
    sync->Release();
    cp->Unadvise(cookie);
    cp->Release();
    cpc->Release();
    scp->Unadvise(shutdownCookie);
    scp->Release();
    scpc->Release();
    items->Release();
    server->RemoveGroup(hGroup, FALSE);
    server->Release();
}

}  // namespace
}  // namespace telegate
