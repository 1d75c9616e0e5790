#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "opc/Core.h"
#include "opc/ErrorText.h"
#include "opc/Group.h"
#include "opc/Server.h"
#include "opc/StationBridge.h"

namespace telegate::opc {
namespace {

using com::W;

// A write that has not been answered yet.
constexpr HRESULT kNoAnswer = static_cast<HRESULT>(0x8000000Au);

class StationBridgeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        stations.Kol_KP = 2;
        T_KP& a = stations.KP_arr[1];
        a.NameKP = "A";
        a.Kol_TS = 2;
        a.TS_arr[1].NameTS = "T1";
        a.TS_arr[2].NameTS = "T2";
        for (int k : {1, 2}) {
            a.TS_arr[k].AdrASDU_TU = 1;
            a.TS_arr[k].AdrIOA_TU = 100 + k;
        }
        a.Kol_TI = 1;
        a.TI_arr[1].NameTI = "M1";
        T_KP& b = stations.KP_arr[2];
        b.NameKP = "ПС-2";
        b.Kol_TS = 1;
        b.TS_arr[1].NameTS = "Выкл";
        b.Kol_TI = 0;
        bridge.Install(core);
        core.Start();
        core.InitAddressSpace();
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    sOPCNode& Node(const std::string& id) { return *core.GetOPCNode(id, -1); }

    static std::filesystem::path FreshDir() {
        auto d = std::filesystem::temp_directory_path() /
                 (std::string("opc-bridge-") +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(d);
        std::filesystem::create_directories(d);
        return d;
    }

    std::filesystem::path dir = FreshDir();
    TManualClock clock{46000.5};
    TStationTable stations;
    TItemImage items;
    std::vector<std::pair<int32_t, TTUCommand>> commands;
    // How the station answers the next command (tuo_Pending: the test completes it).
    TTuOutcome answer = tuo_Confirmed;
    std::shared_ptr<TCommandResult> last;
    TStationBridge bridge{stations, items, clock, dir.string(), [this](int32_t tag, TTUCommand c) {
                              commands.push_back({tag, c});
                              last = std::make_shared<TCommandResult>();
                              last->Complete(answer);
                              return last;
                          }};
    // A write through the core, answered by the bridge.
    HRESULT Write(const std::string& id, const VARIANT& v, VARTYPE requested = VT_EMPTY) {
        HRESULT got = kNoAnswer;
        core.ItemWrite(Node(id), v, "", requested, [&](HRESULT hr) { got = hr; });
        return got;
    }
    sOPC core{clock};
};

TEST_F(StationBridgeTest, LayoutIdentifiersAndSequenceNumbers) {
    EXPECT_EQ(1, Node("A").Ident);
    EXPECT_EQ(2, Node("A.Connected").Ident);
    EXPECT_EQ(3, Node("A.T1").Ident);
    EXPECT_EQ(4, Node("A.T2").Ident);
    EXPECT_EQ(5, Node("A.M1").Ident);
    EXPECT_EQ(6, Node("ПС-2").Ident);  // after the first station's last tag
    EXPECT_EQ(8, Node("ПС-2.Выкл").Ident);
    EXPECT_EQ(10, bridge.Nom_OPC_Lifebit());
    EXPECT_EQ(1u, Node("lifebit").dwAccessRights);
    EXPECT_EQ(VT_R8, Node("A.M1").vtCanonicalDataType);
    EXPECT_EQ(0, items.Indent_arr[3].Nomer_Tag);
    EXPECT_EQ(1, items.Indent_arr[4].Nomer_Tag);
    EXPECT_EQ(2, items.Indent_arr[5].Nomer_Tag);
    EXPECT_EQ(3, items.Indent_arr[8].Nomer_Tag);
    EXPECT_EQ(VT_R8, items.Indent_arr[5].vtDataType);
    EXPECT_EQ(VT_BOOL, items.Indent_arr[2].vtDataType);
    EXPECT_EQ(3, stations.KP_arr[1].Nom_OPC_TS);
    EXPECT_EQ(5, stations.KP_arr[1].Nom_OPC_TI);
}

TEST_F(StationBridgeTest, ReadsMoveTheStampOnlyOnChange) {
    items.Publish(3, 1.0, 0xC0, clock.Now());
    sOPCNode& t1 = Node("A.T1");
    TNodeValue v = core.ReadNode(t1, "", VT_EMPTY, true);
    EXPECT_EQ(VT_BOOL, v.Value.vt());
    EXPECT_EQ(VARIANT_TRUE, v.Value.get().boolVal);
    const TDateTime first = v.LastUpdate;
    clock.Advance(1000);
    EXPECT_EQ(first, core.ReadNode(t1, "", VT_EMPTY, true).LastUpdate);  // unchanged
    items.Publish(3, 1.0, 0x14, clock.Now());                            // quality alone
    v = core.ReadNode(t1, "", VT_EMPTY, true);
    EXPECT_EQ(0x14, v.Quality);
    EXPECT_GT(v.LastUpdate, first);
    items.Publish(3, 2.0, 0x14, clock.Now());  // only 1.0 reads as true
    EXPECT_EQ(VARIANT_FALSE, core.ReadNode(t1, "", VT_EMPTY, true).Value.get().boolVal);

    // A published stamp two days old is replaced by the read time.
    items.Publish(5, 12.5, 0xC0, clock.Now() - 2.0);
    v = core.ReadNode(Node("A.M1"), "", VT_EMPTY, true);
    EXPECT_EQ(12.5, v.Value.get().dblVal);
    EXPECT_EQ(clock.Now(), v.LastUpdate);

    // lifebit: seconds of the local time, always a new stamp.
    v = core.ReadNode(Node("lifebit"), "", VT_EMPTY, true);
    EXPECT_EQ(VT_UI2, v.Value.vt());
    EXPECT_EQ(DecodeDateTime(clock.Now()).second, v.Value.get().uiVal);
}

TEST_F(StationBridgeTest, WrittenValuesMeanWhatTheClientWrote) {
    const auto str = [](const char* s) { return com::MakeBstr(s); };
    VARIANT r4;
    VariantInit(&r4);
    r4.vt = VT_R4;
    r4.fltVal = 0.5f;
    struct TCase {
        VARIANT value;
        VARTYPE requested;
        HRESULT result;
        TTUCommand command;  // tuCommand_Empty: nothing reaches the station
    };
    const TCase cases[] = {
        {com::MakeBool(true), VT_EMPTY, S_OK, tuCommand_On},
        {com::MakeBool(false), VT_EMPTY, S_OK, tuCommand_Off},
        {com::MakeI4(1), VT_EMPTY, S_OK, tuCommand_On},
        // A VT_BOOL item written with the number 1 is switched on, never off.
        {com::MakeI4(1), VT_BOOL, S_OK, tuCommand_On},
        {com::MakeI4(2), VT_EMPTY, S_OK, tuCommand_On},
        {com::MakeI4(-1), VT_BOOL, S_OK, tuCommand_On},
        {com::MakeI4(0), VT_BOOL, S_OK, tuCommand_Off},
        {r4, VT_EMPTY, S_OK, tuCommand_On},
        {com::MakeR8(0.0), VT_EMPTY, S_OK, tuCommand_Off},
        {str("1"), VT_EMPTY, S_OK, tuCommand_On},
        {str("True"), VT_EMPTY, S_OK, tuCommand_On},
        {str("true"), VT_EMPTY, S_OK, tuCommand_On},
        {str("0"), VT_EMPTY, S_OK, tuCommand_Off},
        {str("false"), VT_EMPTY, S_OK, tuCommand_Off},
        {str("on"), VT_EMPTY, OPC_E_BADTYPE, tuCommand_Empty},
        {str(""), VT_EMPTY, OPC_E_BADTYPE, tuCommand_Empty},
        {str("1x"), VT_EMPTY, OPC_E_BADTYPE, tuCommand_Empty},
        {com::MakeEmpty(), VT_EMPTY, OPC_E_BADTYPE, tuCommand_Empty},
    };
    int n = 0;
    for (TCase c : cases) {
        commands.clear();
        EXPECT_EQ(c.result, Write("A.T1", c.value, c.requested)) << "case " << n;
        if (c.command == tuCommand_Empty) {
            EXPECT_TRUE(commands.empty()) << "case " << n;
        } else {
            ASSERT_EQ(1u, commands.size()) << "case " << n;
            EXPECT_EQ(0, commands[0].first);
            EXPECT_EQ(c.command, commands[0].second) << "case " << n;
        }
        VariantClear(&c.value);
        ++n;
    }
}

TEST_F(StationBridgeTest, OnlyCommandableLeavesAreWriteableAndWritesReportTheOutcome) {
    // Rights: two-state tags with a command address only.
    EXPECT_EQ(3u, Node("A.T1").dwAccessRights);
    EXPECT_EQ(1u, Node("A.M1").dwAccessRights);
    EXPECT_EQ(1u, Node("A.Connected").dwAccessRights);
    EXPECT_EQ(1u, Node("ПС-2.Выкл").dwAccessRights);  // no command address
    for (const char* id : {"A.M1", "A.Connected", "ПС-2.Выкл"}) {
        EXPECT_EQ(OPC_E_BADRIGHTS, Write(id, com::MakeBool(true))) << id;
    }
    EXPECT_TRUE(commands.empty());

    // The station's answer is the write's answer.
    const std::pair<TTuOutcome, HRESULT> outcomes[] = {
        {tuo_Confirmed, S_OK},
        {tuo_Rejected, TG_E_CMD_REJECTED},
        {tuo_TimedOut, TG_E_CMD_TIMEOUT},
        {tuo_LinkLost, TG_E_CMD_LINKLOST},
        {tuo_NotConnected, TG_E_NOT_CONNECTED},
        {tuo_Busy, TG_E_CMD_BUSY},
        {tuo_NotPolling, TG_E_NOT_POLLING},
        {tuo_Failed, TG_E_CMD_FAILED},
    };
    for (auto [outcome, hr] : outcomes) {
        answer = outcome;
        EXPECT_EQ(hr, Write("A.T2", com::MakeBool(true))) << int(outcome);
    }
    // A pending command answers when the station does; the write leaves the
    // item's value and time stamp alone.
    items.Publish(4, 0.0, 0xC0, clock.Now());
    const TNodeValue before = core.ReadNode(Node("A.T2"), "", VT_EMPTY, true);
    answer = tuo_Pending;
    HRESULT got = kNoAnswer;
    clock.Advance(5000);
    core.ItemWrite(Node("A.T2"), com::MakeBool(true), "", VT_EMPTY, [&](HRESULT hr) { got = hr; });
    EXPECT_EQ(kNoAnswer, got);
    last->Complete(tuo_Confirmed);
    EXPECT_EQ(S_OK, got);
    const TNodeValue after = core.ReadNode(Node("A.T2"), "", VT_EMPTY, false);
    EXPECT_EQ(before.LastUpdate, after.LastUpdate);
    EXPECT_EQ(before.Version, after.Version);
}

TEST_F(StationBridgeTest, StationTimeStampsAndQualityChangesAreChanges) {
    stations.KP_arr[1].Time_To_OPC = true;
    // A fresh address space: the stamp rule is taken from the station table.
    TStationBridge b2(stations, items, clock, dir.string(), {});
    sOPC c2(clock);
    b2.Install(c2);
    c2.InitAddressSpace();
    sOPCNode& m = *c2.GetOPCNode("A.M1", -1);
    const TDateTime t0 = clock.Now() - 0.001;
    items.Publish(5, 7.0, 0xC0, t0);
    const TNodeValue v0 = c2.ReadNode(m, "", VT_EMPTY, true);
    EXPECT_EQ(t0, v0.LastUpdate);
    // The link is lost: quality alone changes, the station's stamp stays.
    items.Publish(5, 7.0, 0x14, t0);
    const TNodeValue v1 = c2.ReadNode(m, "", VT_EMPTY, true);
    EXPECT_EQ(0x14, v1.Quality);
    EXPECT_NE(v0.Version, v1.Version);
    // Same value and quality, a new event time from the station.
    items.Publish(5, 7.0, 0x14, t0 + 0.0005);
    const TNodeValue v2 = c2.ReadNode(m, "", VT_EMPTY, true);
    EXPECT_EQ(t0 + 0.0005, v2.LastUpdate);
    EXPECT_NE(v1.Version, v2.Version);
    // Nothing new: the version stays.
    EXPECT_EQ(v2.Version, c2.ReadNode(m, "", VT_EMPTY, true).Version);
}

TEST(StationBridge, OpclFileAndEmptyTable) {
    const auto dir = std::filesystem::temp_directory_path() / "opc-bridge-opcl";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    TManualClock clock;
    TStationTable stations;
    TItemImage items;
    {
        TStationBridge bridge(stations, items, clock, dir.string(), {});
        sOPC core(clock);
        bridge.Install(core);
        core.InitAddressSpace();
        ASSERT_EQ(1u, core.Nodes().size());
        EXPECT_EQ(2, bridge.Nom_OPC_Lifebit());
    }
    stations.Kol_KP = 1;
    stations.KP_arr[1].NameKP = "A";
    stations.KP_arr[1].Kol_TS = 7;
    for (int run = 0; run < 2; ++run) {
        TStationBridge bridge(stations, items, clock, dir.string(), {});
        sOPC core(clock);
        bridge.Install(core);
        core.InitAddressSpace();
    }
    std::stringstream ss;
    {
        std::ifstream f(dir / "opcl.txt", std::ios::binary);
        ss << f.rdbuf();
    }  // closed before the removal: Windows refuses to remove an open file
    EXPECT_EQ("7\r\n7\r\n", ss.str());  // appended, never truncated
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace telegate::opc

namespace telegate::opc {
namespace {

// A group over the bridge: a published value reaches OnDataChange, "lifebit" is in
// every cycle, a write becomes a command and a status leaf refuses the write.
class TRecordingSink final : public IOPCDataCallback {
  public:
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
                                           OPCHANDLE* h, VARIANT* v, WORD* q, FILETIME*,
                                           HRESULT*) override {
        std::vector<std::pair<OPCHANDLE, std::pair<double, WORD>>> c;
        for (DWORD i = 0; i < n; ++i) {
            double d = 0;
            com::VariantToDouble(v[i], d);
            c.push_back({h[i], {d, q[i]}});
        }
        cycles.push_back(std::move(c));
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
    std::vector<std::vector<std::pair<OPCHANDLE, std::pair<double, WORD>>>> cycles;
};

TEST_F(StationBridgeTest, GroupOverTheBridge) {
    sOPCDataAccess* server = sOPCDataAccess::Create(core);
    OPCHANDLE hg;
    DWORD rev;
    IUnknown* unk = nullptr;
    ASSERT_EQ(S_OK, server->AddGroup(W("g").c_str(), TRUE, 1000, 1, nullptr, nullptr, 0, &hg, &rev,
                                     com::IidOf<IOPCItemMgt>(), &unk));
    auto* g = static_cast<IOPCItemMgt*>(unk);
    IConnectionPointContainer* cpc = nullptr;
    g->QueryInterface(com::IidOf<IConnectionPointContainer>(), reinterpret_cast<void**>(&cpc));
    IConnectionPoint* cp = nullptr;
    cpc->FindConnectionPoint(com::IidOf<IOPCDataCallback>(), &cp);
    TRecordingSink sink;
    DWORD cookie;
    ASSERT_EQ(S_OK, cp->Advise(static_cast<IOPCDataCallback*>(&sink), &cookie));
    com::WString ids[] = {W("A.T1"), W("lifebit"), W("A.Connected")};
    OPCITEMDEF defs[3] = {};
    for (int i = 0; i < 3; ++i) {
        defs[i].szItemID = ids[i].data();
        defs[i].bActive = TRUE;
        defs[i].hClient = static_cast<OPCHANDLE>(i);
    }
    OPCITEMRESULT* res = nullptr;
    HRESULT* err = nullptr;
    ASSERT_EQ(S_OK, g->AddItems(3, defs, &res, &err));
    OPCHANDLE h[3] = {res[0].hServer, res[1].hServer, res[2].hServer};
    CoTaskMemFree(res);
    CoTaskMemFree(err);

    auto cycle = [&] {
        clock.Advance(1050);
        core.Tick();
        core.FlushCallbacks();
    };
    items.Publish(3, 1.0, 0xC0, clock.Now());
    items.Publish(2, 1.0, 0xC0, clock.Now());
    cycle();
    ASSERT_EQ(1u, sink.cycles.size());
    EXPECT_EQ(3u, sink.cycles[0].size());  // first cycle: everything
    cycle();
    ASSERT_EQ(2u, sink.cycles.size());
    ASSERT_EQ(1u, sink.cycles[1].size());  // only lifebit
    EXPECT_EQ(1u, sink.cycles[1][0].first);
    items.Publish(3, 0.0, 0x14, clock.Now());
    cycle();
    ASSERT_EQ(3u, sink.cycles.size());
    ASSERT_EQ(2u, sink.cycles[2].size());
    EXPECT_EQ(0u, sink.cycles[2][0].first);
    EXPECT_EQ(0.0, sink.cycles[2][0].second.first);
    EXPECT_EQ(0x14, sink.cycles[2][0].second.second);

    IOPCSyncIO* io = nullptr;
    g->QueryInterface(com::IidOf<IOPCSyncIO>(), reinterpret_cast<void**>(&io));
    VARIANT v[3] = {com::MakeBool(true), com::MakeI4(1), com::MakeBool(true)};
    ASSERT_EQ(S_FALSE, io->Write(3, h, v, &err));
    EXPECT_EQ(S_OK, err[0]);
    EXPECT_EQ(OPC_E_BADRIGHTS, err[1]);  // lifebit is read only
    EXPECT_EQ(OPC_E_BADRIGHTS, err[2]);  // a status leaf has no command
    CoTaskMemFree(err);
    ASSERT_EQ(1u, commands.size());
    EXPECT_EQ(0, commands[0].first);
    EXPECT_EQ(tuCommand_On, commands[0].second);
    cycle();  // a write changes nothing of the item: only lifebit
    ASSERT_EQ(4u, sink.cycles.size());
    EXPECT_EQ(1u, sink.cycles[3].size());

    io->Release();
    cp->Release();
    cpc->Release();
    g->Release();
    server->Release();
}

}  // namespace
}  // namespace telegate::opc

namespace telegate::opc {
namespace {

// The operator edits the table while a client holds items: after the rebuild each
// item reads and commands the tag its item ID names, and a removed one is bad
// (configuration error) and refuses writes.
TEST_F(StationBridgeTest, EditedTableRebuildsTheAddressSpaceUnderHeldItems) {
    sOPCDataAccess* server = sOPCDataAccess::Create(core);
    OPCHANDLE hg;
    DWORD rev;
    IUnknown* unk = nullptr;
    ASSERT_EQ(S_OK, server->AddGroup(W("g").c_str(), TRUE, 1000, 1, nullptr, nullptr, 0, &hg, &rev,
                                     com::IidOf<IOPCItemMgt>(), &unk));
    auto* g = static_cast<IOPCItemMgt*>(unk);
    com::WString ids[] = {W("A.T1"), W("A.T2"), W("A.M1")};
    OPCITEMDEF defs[3] = {};
    for (int i = 0; i < 3; ++i) {
        defs[i].szItemID = ids[i].data();
        defs[i].bActive = TRUE;
    }
    OPCITEMRESULT* res = nullptr;
    HRESULT* err = nullptr;
    ASSERT_EQ(S_OK, g->AddItems(3, defs, &res, &err));
    OPCHANDLE h[3] = {res[0].hServer, res[1].hServer, res[2].hServer};
    CoTaskMemFree(res);
    CoTaskMemFree(err);
    EXPECT_FALSE(bridge.LayoutChanged());

    // T1 is deleted: T2 moves to T1's place in the tag list and the identifiers.
    T_KP& a = stations.KP_arr[1];
    a.Kol_TS = 1;
    a.TS_arr[1] = a.TS_arr[2];
    EXPECT_TRUE(bridge.LayoutChanged());
    core.RebuildAddressSpace();
    EXPECT_FALSE(bridge.LayoutChanged());
    EXPECT_EQ(3, Node("A.T2").Ident);
    EXPECT_EQ(4, Node("A.M1").Ident);
    EXPECT_EQ(nullptr, core.GetOPCNode("A.T1", -1));
    items.Publish(3, 1.0, 0xC0, clock.Now());   // A.T2 now
    items.Publish(4, 42.0, 0xC0, clock.Now());  // A.M1 now

    IOPCSyncIO* io = nullptr;
    g->QueryInterface(com::IidOf<IOPCSyncIO>(), reinterpret_cast<void**>(&io));
    OPCITEMSTATE* st = nullptr;
    ASSERT_EQ(S_OK, io->Read(OPC_DS_DEVICE, 3, h, &st, &err));
    EXPECT_EQ(kQualityConfigError, st[0].wQuality);
    EXPECT_EQ(VT_EMPTY, st[0].vDataValue.vt);
    EXPECT_EQ(VARIANT_TRUE, st[1].vDataValue.boolVal);
    EXPECT_EQ(42.0, st[2].vDataValue.dblVal);
    for (int i = 0; i < 3; ++i) VariantClear(&st[i].vDataValue);
    CoTaskMemFree(st);
    CoTaskMemFree(err);

    VARIANT v[2] = {com::MakeBool(true), com::MakeBool(false)};
    ASSERT_EQ(S_FALSE, io->Write(2, h, v, &err));
    EXPECT_EQ(OPC_E_BADRIGHTS, err[0]);  // its item ID is gone
    EXPECT_EQ(S_OK, err[1]);
    CoTaskMemFree(err);
    ASSERT_EQ(1u, commands.size());
    EXPECT_EQ(0, commands[0].first);  // T2's place in the rebuilt tag list
    EXPECT_EQ(tuCommand_Off, commands[0].second);
    io->Release();
    g->Release();
    server->Release();
}

// The Diagnostics leaves read the statistics image: typed values, a stamp that moves
// only with the value, and no writes.
TEST_F(StationBridgeTest, DiagnosticsLeavesFollowTheStatisticsImage) {
    TStatisticsImage image;
    TStationBridge diag(stations, items, clock, dir.string(), nullptr, &image);
    sOPC core2(clock);
    diag.Install(core2);
    core2.Start();
    core2.InitAddressSpace();
    ASSERT_NE(nullptr, core2.GetOPCNode("A.Diagnostics.Connects", -1));
    ASSERT_NE(nullptr, core2.GetOPCNode("ПС-2.Diagnostics.LastDisconnectReason", -1));
    sOPCNode& connects = *core2.GetOPCNode("A.Diagnostics.Connects", -1);
    sOPCNode& reason = *core2.GetOPCNode("ПС-2.Diagnostics.LastDisconnectReason", -1);
    sOPCNode& gi = *core2.GetOPCNode("A.Diagnostics.LastGIDuration", -1);
    EXPECT_EQ(static_cast<DWORD>(OPC_READABLE), connects.dwAccessRights);
    TNodeValue v = core2.ReadNode(connects, "", VT_EMPTY, true);
    EXPECT_EQ(VT_UI4, v.Value.vt());
    EXPECT_EQ(0u, v.Value.get().ulVal);
    EXPECT_EQ(kQualityGood, v.Quality);
    EXPECT_EQ(-1.0, core2.ReadNode(gi, "", VT_EMPTY, true).Value.get().dblVal);
    const TDateTime first = v.LastUpdate;
    clock.Advance(1000);
    EXPECT_EQ(v.Version, core2.ReadNode(connects, "", VT_EMPTY, true).Version);  // unchanged
    TLinkStatistics s;
    s.Connects = 2;
    s.LastDisconnectReason = TDisconnectReason::T1Expired;
    image.Store(2, s);  // the second station only
    EXPECT_EQ(0u, core2.ReadNode(connects, "", VT_EMPTY, true).Value.get().ulVal);
    image.Store(1, s);
    v = core2.ReadNode(connects, "", VT_EMPTY, true);
    EXPECT_EQ(2u, v.Value.get().ulVal);
    EXPECT_GT(v.LastUpdate, first);
    v = core2.ReadNode(reason, "", VT_EMPTY, true);
    EXPECT_EQ("t1 expired", com::WideToUtf8(v.Value.get().bstrVal));
    HRESULT got = kNoAnswer;
    core2.ItemWrite(connects, com::MakeI4(0), "", VT_EMPTY, [&](HRESULT hr) { got = hr; });
    EXPECT_EQ(OPC_E_BADRIGHTS, got);
}

}  // namespace
}  // namespace telegate::opc
