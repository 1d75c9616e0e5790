#include "opc/StationBridge.h"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "opc/ErrorText.h"

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
    core.OnWrite = [this](sOPCNode& n, const VARIANT& v, const std::string&, VARTYPE,
                          sWriteDone done) { BridgeWrite(n, v, std::move(done)); };
}

std::shared_ptr<const TStationBridge::TLeafRules> TStationBridge::Rules() const {
    std::lock_guard lock(FRulesMu);
    return FRules;
}

size_t TStationBridge::LayoutHash() const {
    std::string key;
    const int n = std::min<int>(FStations.Kol_KP, kMaxKP);
    for (int s = 1; s <= n; ++s) {
        const T_KP& kp = FStations.KP_arr[s];
        key += kp.NameKP + '\x01' + std::to_string(kp.Kol_TS) + ',' + std::to_string(kp.Kol_TI) +
               (kp.Time_To_OPC ? "t" : "f") + '\x01';
        for (int k = 1; k <= kp.Kol_TS && k <= kMaxTagsOfKind; ++k)
            key += kp.TS_arr[k].NameTS + '\x02' + std::to_string(kp.TS_arr[k].AdrASDU_TU) + ',' +
                   std::to_string(kp.TS_arr[k].AdrIOA_TU) + '\x02';
        for (int k = 1; k <= kp.Kol_TI && k <= kMaxTagsOfKind; ++k)
            key += kp.TI_arr[k].NameTI + '\x03';
    }
    return std::hash<std::string>{}(key);
}

bool TStationBridge::LayoutChanged() const {
    return LayoutHash() != Rules()->Layout;
}

void TStationBridge::BridgeInitAddressSpace(sOPC& core) {
    auto rules = std::make_shared<TLeafRules>();
    rules->Layout = LayoutHash();
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
        // The link state is read only: it has no command of its own.
        core.AddLeaf(kp.Nom_OPC_1st, kp.Nom_OPC_Alarm, "Connected", VT_BOOL, OPC_READABLE);
        auto lock = FItems.Lock();
        if (kp.Nom_OPC_Alarm <= kMaxItemId)
            FItems.Indent_arr[kp.Nom_OPC_Alarm].vtDataType = VT_BOOL;
        // Only two-state tags with a command address can be operated.
        auto tags = [&](int count, auto name, VARTYPE vt, auto commandable) {
            for (int k = 1; k <= count && k <= kMaxTagsOfKind; ++k) {
                ++i;
                const bool writeable = commandable(k);
                if (i < kMaxItemId) {
                    core.AddLeaf(kp.Nom_OPC_1st, i, name(k), vt,
                                 writeable ? OPC_READABLE | OPC_WRITEABLE : OPC_READABLE);
                    if (writeable) rules->Commandable.insert(i);
                    if (kp.Time_To_OPC) rules->StationStamps.insert(i);
                }
                if (i <= kMaxItemId) {
                    FItems.Indent_arr[i].Nomer_Tag = seq;
                    FItems.Indent_arr[i].vtDataType = vt;
                }
                ++seq;
            }
        };
        kp.Nom_OPC_TS = i + 1;
        tags(
            kp.Kol_TS, [&](int k) { return kp.TS_arr[k].NameTS; }, VT_BOOL,
            [&](int k) { return kp.TS_arr[k].AdrASDU_TU != 0 && kp.TS_arr[k].AdrIOA_TU != 0; });
        kp.Nom_OPC_TI = i + 1;
        tags(
            kp.Kol_TI, [&](int k) { return kp.TI_arr[k].NameTI; }, VT_R8,
            [](int) { return false; });
    }
    rules->Lifebit = i + 2;
    core.AddLeaf(0, rules->Lifebit, "lifebit", VT_INT, 1);
    std::lock_guard lock(FRulesMu);
    FRules = std::move(rules);
}

void TStationBridge::BridgeRead(sOPCNode& node) {
    const int32_t id = node.Ident;
    const std::shared_ptr<const TLeafRules> rules = Rules();
    if (rules->Lifebit > 0 && id == rules->Lifebit) {
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
    // A station that passes its own time stamps reports a new event of an unchanged
    // value with a new time stamp.
    const bool newStamp = e.Stamp_DateTime != node.LastUpdate &&
                          rules->StationStamps.count(id) != 0 &&
                          FClock.Now() - 1.0 < e.Stamp_DateTime;
    if (quality == node.Quality && node.CurrentValue.vt() != VT_EMPTY && !e.FirstOpros &&
        !newStamp) {
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

bool WrittenSwitchState(const VARIANT& value, bool& on) {
    switch (value.vt) {
        case VT_BOOL:
            on = value.boolVal != VARIANT_FALSE;
            return true;
        case VT_BSTR: {
            std::string s = com::WideToUtf8(value.bstrVal);
            const auto b = s.find_first_not_of(" \t");
            const auto e = s.find_last_not_of(" \t");
            s = b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
            for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (s == "true") {
                on = true;
                return true;
            }
            if (s == "false") {
                on = false;
                return true;
            }
            // A number written as text, by the same rule as a number.
            char* end = nullptr;
            const double v = s.empty() ? 0.0 : std::strtod(s.c_str(), &end);
            if (s.empty() || end != s.c_str() + s.size() || v != v) return false;
            on = v != 0.0;
            return true;
        }
        case VT_EMPTY:
        case VT_NULL:
            return false;
        default: {
            double v = 0.0;
            if (!com::VariantToDouble(value, v) || v != v) return false;
            on = v != 0.0;
            return true;
        }
    }
}

void TStationBridge::BridgeWrite(sOPCNode& node, const VARIANT& value, sWriteDone done) {
    // Only two-state leaves with a command address command anything.
    if (Rules()->Commandable.count(node.Ident) == 0 || node.Ident > kMaxItemId || node.Ident < 0) {
        done(OPC_E_BADRIGHTS);
        return;
    }
    bool on = false;
    if (!WrittenSwitchState(value, on)) {
        done(OPC_E_BADTYPE);
        return;
    }
    const int32_t tag = FItems.Snapshot(node.Ident).Nomer_Tag;
    std::shared_ptr<TCommandResult> result =
        FExecuteTU ? FExecuteTU(tag, on ? tuCommand_On : tuCommand_Off) : nullptr;
    if (!result) {
        done(HResultOfCommand(tuo_NotPolling));
        return;
    }
    result->OnDone([done = std::move(done)](TTuOutcome o) { done(HResultOfCommand(o)); });
}

}  // namespace telegate::opc
