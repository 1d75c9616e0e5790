// The link statistics as OPC items, through the interfaces a client calls: the
// "Diagnostics" branch of every station is browsable (hierarchical and flat), its
// leaves carry the standard properties and are read only, and a read answers the
// counts of the traffic telegate-sim reports for the station.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "EndToEndFixture.h"
#include "opc/Core.h"
#include "opc/Server.h"
#include "opc/StationBridge.h"

namespace telegate {
namespace {

using com::W;

std::vector<std::string> Drain(IEnumString* e) {
    std::vector<std::string> out;
    LPOLESTR s[8] = {};
    ULONG n = 0;
    for (;;) {
        const HRESULT hr = e->Next(8, s, &n);
        for (ULONG i = 0; i < n; ++i) {
            out.push_back(com::WideToUtf8(s[i]));
            CoTaskMemFree(s[i]);
        }
        if (hr != S_OK) break;
    }
    e->Release();
    return out;
}

class OpcDiagnosticsTest : public EndToEndTest {
  protected:
    // The sim's count of I frames it sent and its receive sequence number (the
    // master's I frames) for the station on port; false without an answer.
    bool SimCounts(int port, long long& sent, long long& received) {
        const size_t from = sim_.LineCount();
        sim_.Send("@" + std::to_string(port) + " status");
        const int at = sim_.WaitContains("iframes=", 3000, from);
        if (at < 0) return false;
        static const std::regex re(R"(vr=(\d+).*iframes=(\d+))");
        std::smatch m;
        const std::string line = sim_.Lines()[static_cast<size_t>(at)];
        if (!std::regex_search(line, m, re)) return false;
        received = std::stoll(m[1]);
        sent = std::stoll(m[2]);
        return true;
    }
};

TEST_F(OpcDiagnosticsTest, BrowseReadAndRefusedWriteOfTheStatistics) {
    StartMaster();
    opc::sOPC& core = *master_->ctx->Opc;
    core.Start();
    opc::sOPCDataAccess* server = opc::sOPCDataAccess::Create(core);
    ASSERT_NE(server, nullptr);

    // Hierarchical: the station's branch holds "Diagnostics" with every statistic.
    auto* b = static_cast<IOPCBrowseServerAddressSpace*>(server);
    IEnumString* e = nullptr;
    ASSERT_EQ(S_OK, b->ChangeBrowsePosition(OPC_BROWSE_DOWN, W("Подстанция Альфа").c_str()));
    ASSERT_EQ(S_OK, b->BrowseOPCItemIDs(OPC_BRANCH, nullptr, VT_EMPTY, 0, &e));
    EXPECT_EQ(std::vector<std::string>{"Diagnostics"}, Drain(e));
    ASSERT_EQ(S_OK, b->ChangeBrowsePosition(OPC_BROWSE_DOWN, W("Diagnostics").c_str()));
    ASSERT_EQ(S_OK, b->BrowseOPCItemIDs(OPC_LEAF, nullptr, VT_EMPTY, 0, &e));
    std::vector<std::string> expected;
    for (const opc::TDiagnosticsLeaf& l : opc::DiagnosticsLeaves()) expected.push_back(l.Name);
    EXPECT_EQ(expected, Drain(e));
    EXPECT_NE(std::find(expected.begin(), expected.end(), "MissingConfirmations"), expected.end());
    // None of them is writeable.
    ASSERT_EQ(S_OK, b->BrowseOPCItemIDs(OPC_LEAF, nullptr, VT_EMPTY, OPC_WRITEABLE, &e));
    EXPECT_TRUE(Drain(e).empty());
    // Flat, from the root: one per station.
    ASSERT_EQ(S_OK, b->ChangeBrowsePosition(OPC_BROWSE_TO, W("").c_str()));
    ASSERT_EQ(S_OK,
              b->BrowseOPCItemIDs(OPC_FLAT, W("*.Diagnostics.Connects").c_str(), VT_EMPTY, 0, &e));
    EXPECT_EQ((std::vector<std::string>{"Подстанция Альфа.Diagnostics.Connects",
                                        "ПС Бета.Diagnostics.Connects"}),
              Drain(e));

    // Standard properties like any leaf: canonical type, rights, description.
    auto* p = static_cast<IOPCItemProperties*>(server);
    com::WString connects = W("Подстанция Альфа.Diagnostics.Connects");
    DWORD pids[] = {1, 5, 101};
    VARIANT* pv = nullptr;
    HRESULT* perr = nullptr;
    ASSERT_EQ(S_OK, p->GetItemProperties(connects.data(), 3, pids, &pv, &perr));
    EXPECT_EQ(VT_UI4, pv[0].iVal);
    EXPECT_EQ(static_cast<LONG>(OPC_READABLE), pv[1].lVal);
    EXPECT_EQ("Diagnostics Connects", com::WideToUtf8(pv[2].bstrVal));
    for (int i = 0; i < 3; ++i) VariantClear(&pv[i]);
    CoTaskMemFree(pv);
    CoTaskMemFree(perr);

    // A group with some of the first station's statistics.
    OPCHANDLE hGroup = 0;
    DWORD revised = 0;
    IUnknown* unk = nullptr;
    ASSERT_EQ(S_OK, server->AddGroup(W("diag").c_str(), TRUE, 100, 1, nullptr, nullptr, 0, &hGroup,
                                     &revised, com::IidOf<IOPCItemMgt>(), &unk));
    auto* items = static_cast<IOPCItemMgt*>(unk);
    const std::vector<std::string> names = {
        "Connects",       "Disconnects",          "IFramesIn",     "IFramesOut", "ObjectsStored",
        "LastGIDuration", "LastDisconnectReason", "ConnectedSince"};
    std::vector<com::WString> wide;
    for (const auto& n : names)
        wide.push_back(com::Utf8ToWide("Подстанция Альфа.Diagnostics." + n));
    std::vector<OPCITEMDEF> defs(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        defs[i].szItemID = wide[i].data();
        defs[i].bActive = TRUE;
        defs[i].hClient = static_cast<OPCHANDLE>(i);
    }
    OPCITEMRESULT* res = nullptr;
    HRESULT* errs = nullptr;
    ASSERT_EQ(S_OK, items->AddItems(static_cast<DWORD>(names.size()), defs.data(), &res, &errs));
    std::vector<OPCHANDLE> h;
    for (size_t i = 0; i < names.size(); ++i) {
        h.push_back(res[i].hServer);
        EXPECT_EQ(static_cast<DWORD>(OPC_READABLE), res[i].dwAccessRights) << names[i];
    }
    EXPECT_EQ(VT_BSTR, res[6].vtCanonicalDataType);
    EXPECT_EQ(VT_DATE, res[7].vtCanonicalDataType);
    CoTaskMemFree(res);
    CoTaskMemFree(errs);
    IOPCSyncIO* sync = nullptr;
    ASSERT_EQ(S_OK,
              items->QueryInterface(com::IidOf<IOPCSyncIO>(), reinterpret_cast<void**>(&sync)));
    const auto read = [&](std::vector<double>& num, std::string& reason) {
        OPCITEMSTATE* st = nullptr;
        HRESULT* rerr = nullptr;
        ASSERT_EQ(S_OK,
                  sync->Read(OPC_DS_DEVICE, static_cast<DWORD>(h.size()), h.data(), &st, &rerr));
        num.assign(h.size(), -1.0);
        for (size_t i = 0; i < h.size(); ++i) {
            EXPECT_EQ(opc::kQualityGood, st[i].wQuality) << names[i];
            if (st[i].vDataValue.vt == VT_BSTR)
                reason = com::WideToUtf8(st[i].vDataValue.bstrVal);
            else
                com::VariantToDouble(st[i].vDataValue, num[i]);
            VariantClear(&st[i].vDataValue);
        }
        CoTaskMemFree(st);
        CoTaskMemFree(rerr);
    };

    // Once the traffic after the interrogation settles, the I frames both ways are
    // what the station counted.
    std::vector<double> v;
    std::string reason = "?";
    long long simSent = -1, simReceived = -1;
    bool matched = false;
    for (int i = 0; i < 50 && !matched; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_TRUE(SimCounts(ports_[0], simSent, simReceived));
        read(v, reason);
        matched = v[2] == static_cast<double>(simSent) && v[3] == static_cast<double>(simReceived);
    }
    EXPECT_TRUE(matched) << "OPC I frames in/out " << v[2] << "/" << v[3] << ", station sent "
                         << simSent << " and received " << simReceived;
    EXPECT_GT(simSent, 0);
    EXPECT_EQ(1.0, v[0]);
    EXPECT_EQ(0.0, v[1]);
    EXPECT_GE(v[4], 5.0);  // the interrogation's 3 + 2 objects at least
    EXPECT_GE(v[5], 0.0);  // it ended
    EXPECT_EQ("", reason);
    EXPECT_GT(v[7], 40000.0);  // connected since: a date

    // A dropped link: counted, with its reason, and reconnected.
    sim_.Send("@" + std::to_string(ports_[0]) + " drop");
    matched = false;
    for (int i = 0; i < 100 && !matched; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        read(v, reason);
        matched = v[0] == 2.0 && v[1] == 1.0;
    }
    EXPECT_TRUE(matched) << "connects " << v[0] << ", disconnects " << v[1];
    EXPECT_EQ("station closed the connection", reason);

    // Writes are refused: the statistics have no command.
    VARIANT wv = com::MakeI4(0);
    HRESULT* werr = nullptr;
    EXPECT_EQ(S_FALSE, sync->Write(1, &h[0], &wv, &werr));
    ASSERT_NE(werr, nullptr);
    EXPECT_EQ(OPC_E_BADRIGHTS, werr[0]);
    CoTaskMemFree(werr);

    sync->Release();
    items->Release();
    server->RemoveGroup(hGroup, FALSE);
    server->Release();
}

}  // namespace
}  // namespace telegate
