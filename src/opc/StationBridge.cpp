#include "opc/StationBridge.h"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "opc/ErrorText.h"

namespace telegate::opc {

namespace {

constexpr TDiagnosticsLeaf kDiagnosticsLeaves[] = {
    {"ConnectedSince", VT_DATE},
    {"Connects", VT_UI4},
    {"Disconnects", VT_UI4},
    {"LastDisconnectReason", VT_BSTR},
    {"LastDisconnectTime", VT_DATE},
    {"FramesIn", VT_UI4},
    {"FramesOut", VT_UI4},
    {"IFramesIn", VT_UI4},
    {"SFramesIn", VT_UI4},
    {"UFramesIn", VT_UI4},
    {"IFramesOut", VT_UI4},
    {"SFramesOut", VT_UI4},
    {"UFramesOut", VT_UI4},
    {"OctetsIn", VT_R8},
    {"OctetsOut", VT_R8},
    {"AsdusIn", VT_UI4},
    {"ObjectsStored", VT_UI4},
    {"LastGIStart", VT_DATE},
    {"LastGIEnd", VT_DATE},
    {"LastGIDuration", VT_R8},
    {"LastGIObjects", VT_UI4},
    {"T1Expiries", VT_UI4},
    {"SequenceErrors", VT_UI4},
    {"NegativeConfirmations", VT_UI4},
    {"MissingConfirmations", VT_UI4},
    {"MaxUnackedOut", VT_I4},
    {"MaxUnackedIn", VT_I4},
};
static_assert(std::size(kDiagnosticsLeaves) < kDiagnosticsStride);
static_assert(kMaxKP <= kStatisticsStations);

VARIANT Counter(uint64_t n) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_UI4;
    v.ulVal = static_cast<ULONG>(n & 0xFFFFFFFFu);
    return v;
}

VARIANT Date(TDateTime t) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_DATE;
    v.date = t > 0 ? t : 0.0;
    return v;
}

}  // namespace

std::span<const TDiagnosticsLeaf> DiagnosticsLeaves() {
    return kDiagnosticsLeaves;
}

VARIANT DiagnosticsValue(const TLinkStatistics& s, size_t index) {
    switch (index) {
        case 0:
            return Date(s.ConnectedSince);
        case 1:
            return Counter(s.Connects);
        case 2:
            return Counter(s.Disconnects);
        case 3:
            return com::MakeBstr(DisconnectReasonText(s.LastDisconnectReason));
        case 4:
            return Date(s.LastDisconnectTime);
        case 5:
            return Counter(s.In.I + s.In.S + s.In.U);
        case 6:
            return Counter(s.Out.I + s.Out.S + s.Out.U);
        case 7:
            return Counter(s.In.I);
        case 8:
            return Counter(s.In.S);
        case 9:
            return Counter(s.In.U);
        case 10:
            return Counter(s.Out.I);
        case 11:
            return Counter(s.Out.S);
        case 12:
            return Counter(s.Out.U);
        case 13:
            return com::MakeR8(static_cast<double>(s.In.Octets));
        case 14:
            return com::MakeR8(static_cast<double>(s.Out.Octets));
        case 15:
            return Counter(s.AsduTotal());
        case 16:
            return Counter(s.ObjectsReceived);
        case 17:
            return Date(s.LastGIStart);
        case 18:
            return Date(s.LastGIEnd);
        case 19:
            return com::MakeR8(static_cast<double>(s.LastGIDurationMs()));
        case 20:
            return Counter(s.LastGIObjects);
        case 21:
            return Counter(s.T1Expiries);
        case 22:
            return Counter(s.SequenceErrors);
        case 23:
            return Counter(s.NegativeConfirmations);
        case 24:
            return Counter(s.MissingConfirmations);
        case 25:
            return com::MakeI4(s.MaxUnackedOut);
        case 26:
            return com::MakeI4(s.MaxUnackedIn);
        default:
            return com::MakeEmpty();
    }
}

TStationBridge::TStationBridge(TStationTable& stations, TItemImage& items, const IClock& clock,
                               std::string dir, TExecuteTU executeTU,
                               const TStatisticsImage* statistics)
    : FStations(stations),
      FItems(items),
      FClock(clock),
      FDir(std::move(dir)),
      FExecuteTU(std::move(executeTU)),
      FStatistics(statistics) {}

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
        // The link statistics: read only.
        const int32_t diag = kFirstDiagnosticsId + (s - 1) * kDiagnosticsStride;
        core.AddBranch(kp.Nom_OPC_1st, diag, "Diagnostics");
        int32_t leaf = diag;
        for (const TDiagnosticsLeaf& d : kDiagnosticsLeaves)
            core.AddLeaf(diag, ++leaf, d.Name, d.Type, OPC_READABLE);
        rules->DiagnosticsStations = s;
    }
    rules->Lifebit = i + 2;
    core.AddLeaf(0, rules->Lifebit, "lifebit", VT_INT, 1);
    std::lock_guard lock(FRulesMu);
    FRules = std::move(rules);
}

void TStationBridge::BridgeRead(sOPCNode& node) {
    const int32_t id = node.Ident;
    const std::shared_ptr<const TLeafRules> rules = Rules();
    if (id > kFirstDiagnosticsId) {
        const int32_t rel = id - kFirstDiagnosticsId;
        const int kp = rel / kDiagnosticsStride + 1;
        const int index = rel % kDiagnosticsStride - 1;
        if (kp <= rules->DiagnosticsStations && index >= 0 &&
            index < static_cast<int>(std::size(kDiagnosticsLeaves)))
            ReadDiagnostics(node, kp, static_cast<size_t>(index));
        return;
    }
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

void TStationBridge::ReadDiagnostics(sOPCNode& node, int kp, size_t index) {
    const TLinkStatistics stats = FStatistics ? FStatistics->Load(kp) : TLinkStatistics{};
    com::TVariant value;
    {
        VARIANT v = DiagnosticsValue(stats, index);
        value = v;
        VariantClear(&v);
    }
    // Only a changed value gets a new time stamp: an unchanged item is not sent.
    const VARIANT& cur = node.CurrentValue.get();
    bool same = cur.vt == value.vt() && node.Quality == kQualityGood;
    if (same && cur.vt == VT_BSTR) {
        same = com::WideToUtf8(cur.bstrVal) == com::WideToUtf8(value.get().bstrVal);
    } else if (same) {
        double a = 0.0, b = 0.0;
        same = com::VariantToDouble(cur, a) && com::VariantToDouble(value.get(), b) && a == b;
    }
    if (same) return;
    node.CurrentValue = value;
    node.Quality = kQualityGood;
    node.LastUpdate = FClock.Now();
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
