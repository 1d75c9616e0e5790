#include "opc/StationBridge.h"

#include <filesystem>
#include <fstream>

namespace telegate::opc {

TStationBridge::TStationBridge(TStationTable& stations, TItemImage& items, const IClock& clock,
                               std::string dir, TExecuteTU executeTU)
    : FStations(stations),
      FItems(items),
      FClock(clock),
      FDir(std::move(dir)),
      FExecuteTU(std::move(executeTU)) {}

void TStationBridge::Install(sOPC& core) {
    FCore = &core;
    core.OnInitAddressSpace = [this](sOPC& c) { BridgeInitAddressSpace(c); };
    core.OnRead = [this](sOPCNode& n, const std::string&, VARTYPE) { BridgeRead(n); };
    core.OnWrite = [this](sOPCNode& n, const VARIANT& v, const std::string&, VARTYPE t) {
        return BridgeWrite(n, v, t);
    };
}

void TStationBridge::BridgeInitAddressSpace(sOPC& core) {
    int32_t i = 0;
    int32_t seq = 0;
    const int n = std::min<int>(FStations.Kol_KP, kMaxKP);
    const std::string opcl =
        FDir.empty() ? kOpclFileName : (std::filesystem::path(FDir) / kOpclFileName).string();
    for (int s = 1; s <= n; ++s) {
        T_KP& kp = FStations.KP_arr[s];
        kp.Nom_OPC_1st = ++i;
        core.AddBranch(0, kp.Nom_OPC_1st, kp.NameKP);
        kp.Nom_OPC_Alarm = ++i;
        {
            std::ofstream f(opcl, std::ios::app | std::ios::binary);
            if (f) f << kp.Kol_TS << "\r\n";
        }
        core.AddLeaf(kp.Nom_OPC_1st, kp.Nom_OPC_Alarm, "Connected", VT_BOOL, 3);
        FStatusLeaves.insert(kp.Nom_OPC_Alarm);
        auto lock = FItems.Lock();
        if (kp.Nom_OPC_Alarm <= kMaxItemId)
            FItems.Indent_arr[kp.Nom_OPC_Alarm].vtDataType = VT_BOOL;
        auto tags = [&](int count, auto name, VARTYPE vt) {
            for (int k = 1; k <= count && k <= kMaxTagsOfKind; ++k) {
                ++i;
                if (i < kMaxItemId) core.AddLeaf(kp.Nom_OPC_1st, i, name(k), vt, 3);
                if (i <= kMaxItemId) {
                    FItems.Indent_arr[i].Nomer_Tag = seq;
                    FItems.Indent_arr[i].vtDataType = vt;
                }
                ++seq;
            }
        };
        kp.Nom_OPC_TS = i + 1;
        tags(
            kp.Kol_TS, [&](int k) { return kp.TS_arr[k].NameTS; }, VT_BOOL);
        kp.Nom_OPC_TI = i + 1;
        tags(
            kp.Kol_TI, [&](int k) { return kp.TI_arr[k].NameTI; }, VT_R8);
    }
    FLifebit = i + 2;
    core.AddLeaf(0, FLifebit, "lifebit", VT_INT, 1);
}

void TStationBridge::BridgeRead(sOPCNode& node) {
    const int32_t id = node.Ident;
    if (FLifebit > 0 && id == FLifebit) {
        const TDateTime now = FClock.Now();
        node.CurrentValue = com::MakeUI2(static_cast<uint16_t>(DecodeDateTime(now).second));
        node.Quality = kQualityGood;
        node.LastUpdate = now;
        return;
    }
    // One locked copy of the entry; FirstOpros is cleared with it (an entry whose
    // flag is set is always updated below, so clearing it here changes nothing else).
    const TItemSnapshot e = FItems.SnapshotAndClearFirstOpros(id);
    const WORD quality = static_cast<WORD>(e.Quality & 0xFFFF);
    if (quality == node.Quality && node.CurrentValue.vt() != VT_EMPTY && !e.FirstOpros) {
        if (e.vtDataType == VT_BSTR) return;
        double cur = 0.0;
        if (com::VariantToDouble(node.CurrentValue.get(), cur)) {
            if (e.vtDataType == VT_BOOL) {
                if ((cur != 0.0 ? 1.0 : 0.0) == e.Value) return;
            } else if (cur == e.Value) {
                return;
            }
        }
    }
    // Only now the clock: most reads of a cycle find nothing changed.
    const TDateTime now = FClock.Now();
    node.CurrentValue.Clear();
    node.LastUpdate = (now - 1.0 >= e.Stamp_DateTime) ? now : e.Stamp_DateTime;
    node.CurrentValue =
        e.vtDataType == VT_BOOL ? com::MakeBool(e.Value == 1.0) : com::MakeR8(e.Value);
    node.Quality = quality;
}

HRESULT TStationBridge::BridgeWrite(sOPCNode& node, const VARIANT& value, VARTYPE requestedType) {
    // A status leaf has no tag of its own: its write would command whatever tag the
    // entry's number names.
    if (FStatusLeaves.count(node.Ident) || node.Ident > kMaxItemId || node.Ident < 0)
        return OPC_E_BADRIGHTS;
    double v = 0.0;
    if (!com::VariantToDouble(value, v)) return OPC_E_BADTYPE;
    if (FCore) FCore->TouchNode(node, FClock.Now());
    const int32_t tag = FItems.Snapshot(node.Ident).Nomer_Tag;
    TTUCommand command;
    if (requestedType == VT_BOOL)
        command = v == -1.0 ? tuCommand_On : tuCommand_Off;
    else
        command = (v == -1.0 || v == 1.0) ? tuCommand_On : tuCommand_Off;
    if (FExecuteTU) FExecuteTU(tag, command);
    return S_OK;
}

}  // namespace telegate::opc
