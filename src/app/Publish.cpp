#include "app/Publish.h"

#include <string>

#include "app/AppContext.h"
#include "platform/AtomicFile.h"
#include "support/CodePage.h"
#include "support/TextFields.h"
#include "support/TraceFiles.h"

namespace telegate {

int32_t OpcQualityOfIec(uint8_t quality) {
    if ((quality & 0x80) != 0) return 0;
    if ((quality & 0x40) != 0) return 20;
    if ((quality & 0x20) != 0) return 216;
    if ((quality & 0x10) != 0) return 28;
    return 192;
}

TDateTime PublicationStamp(TDateTime dtStamp, const T_KP& kp, TDateTime now, TDateTime oneHour) {
    if (!kp.Time_To_OPC || !(dtStamp > 0)) return now;
    const TDateTime t = dtStamp + kp.Popravka_Time * oneHour;
    if (t > now - 3 * oneHour && t < now + 3 * oneHour) return t;
    return now;
}

std::string StationListText(const TStationTable& table, const std::function<int32_t(int)>& portOf) {
    std::string out;
    for (int n = 1; n <= table.Kol_KP && n <= kKPRecords; ++n) {
        const T_KP& kp = table.KP_arr[n];
        const std::string id = std::to_string(TStationTable::StationId(n));
        out += "KP,";
        out += id;
        out += ",   ";
        out += id;
        out += ",   1,   ";
        out += kp.NameKP;
        out += ", ";
        out += kp.IP;
        out += "   ,";
        out += std::to_string(portOf(n));
        out += "\r\n";
    }
    return out;
}

bool CreateStationListFile(const std::string& path, const TStationTable& table,
                           const std::function<int32_t(int)>& portOf, std::string* error) {
    std::string why;
    const bool ok = WriteFileAtomically(path, Utf8ToCp1251(StationListText(table, portOf)), why);
    if (error != nullptr) *error = ok ? std::string() : why;
    return ok;
}

// --------------------------------------------------------------------- TPublisher

TPublisher::TPublisher(TAppContext& ctx)
    : FCtx(ctx),
      FReg(std::make_unique<TRegistries>()),
      FRanges(kKPRecords),
      FPublishedKeys(kKPRecords) {}

void TPublisher::NewTagList() {
    FKinds = std::make_unique<TTagCategoryList>(1);
    FData = std::make_unique<TTagCategoryList>(2);
    FEntries.clear();
    for (TRange& r : FRanges) r = TRange{};
    for (TStationKey& k : FPublishedKeys) k = TStationKey{};
    FTags = std::make_unique<TTagSignalList>(FCtx.MessBuff, &FReg->ArmSignals, &FReg->SstList);
}

std::string TPublisher::LoadData(const std::string& dir) {
    if (FTags == nullptr) NewTagList();
    // 1. The workstation files are read beside the executable.
    FCtx.Settings.ArmDir = dir.empty() ? std::string("./") : JoinPath(dir, "");
    const TRegistryEnv env{FCtx.ErrLstArm, FCtx.ErrorReporter, FCtx.MessBuff};
    const std::string listFile = JoinPath(dir, kStationListFileName);
    // 2. The station registry from the station list file.
    try {
        FReg->ReadKpList(listFile, {kpta_CPPS, kpta_KP, kpta_UDP}, env);
    } catch (const EConvertError& e) {
        const std::string text = std::string("Error in ReadKpList(") + listFile + ") ";
        FCtx.ErrorReporter.Report(text, e.what(), 10);
        FTags->Clear();
        BuildPlan();
        return text + e.what();
    }
    // 3. Substations, signal records and ranges.
    const std::string refused =
        FReg->ReadElemCodeFile(JoinPath(dir, kElemCodeFileName), true, FCtx.Stations, env);
    // 4. The tag list, 5. one tag per two-state or measured record, in record order.
    FTags->Clear();
    if (!refused.empty()) {
        BuildPlan();
        return refused;
    }
    TTagSignal tag;
    for (int32_t k = 0; k < FReg->ArmSignals.GetCount(); ++k) {
        const TArmRec* rec = FReg->ArmSignals.GetRec(k);
        if (rec == nullptr) continue;
        const TTagCategory* ptc = nullptr;
        if (rec->Fst == stTS)
            ptc = FKinds->GetPtc(tcn_TS);
        else if (rec->Fst == stTIT)
            ptc = FKinds->GetPtc(tcn_TIT);
        else
            continue;
        tag.Init(rec->FDispName, rec->FSigASDUAddr, rec->FSigObjAddr, rec->FIP_address, rec->Fport2,
                 ptc, k);
        FTags->AddTag(tag);
    }
    // Received objects find their tag through the station index from now on.
    FTags->BuildIndex();
    BuildPlan();
    return {};
}

void TPublisher::BuildPlan() {
    FEntries.clear();
    for (TRange& r : FRanges) r = TRange{};
    // Every tag of the new plan is published at the next pass.
    for (TStationKey& k : FPublishedKeys) k = TStationKey{};
    if (FTags == nullptr) return;
    const int stations = FCtx.Stations.Kol_KP < kKPRecords ? FCtx.Stations.Kol_KP : kKPRecords;
    // Ordinal of every signal record within its station and kind: the registry is
    // built from TS_arr and TI_arr in array order, so ordinal k is array entry k + 1.
    const int32_t nRec = FReg->ArmSignals.GetCount();
    std::vector<int32_t> ordinal(static_cast<size_t>(nRec), -1);
    std::vector<int32_t> tsSeen(static_cast<size_t>(stations) + 1, 0);
    std::vector<int32_t> tiSeen(static_cast<size_t>(stations) + 1, 0);
    for (int32_t k = 0; k < nRec; ++k) {
        const TArmRec* rec = FReg->ArmSignals.GetRec(k);
        const int n = rec->FsstID - kStationIdBase;
        if (n < 1 || n > stations) continue;
        if (rec->Fst == stTS) ordinal[static_cast<size_t>(k)] = tsSeen[static_cast<size_t>(n)]++;
        if (rec->Fst == stTIT) ordinal[static_cast<size_t>(k)] = tiSeen[static_cast<size_t>(n)]++;
    }
    // Count the tags of each station and kind, then place them, keeping list order.
    std::vector<int32_t> tsCount(static_cast<size_t>(stations) + 1, 0);
    std::vector<int32_t> tiCount(static_cast<size_t>(stations) + 1, 0);
    auto station = [&](const TTagSignal& tag, const TArmRec*& rec) {
        rec = FReg->ArmSignals.GetRec(tag.FIndArm);
        if (rec == nullptr || ordinal[static_cast<size_t>(tag.FIndArm)] < 0) return 0;
        return rec->FsstID - kStationIdBase;
    };
    for (const TTagSignal& tag : FTags->List) {
        const TArmRec* rec = nullptr;
        const int n = station(tag, rec);
        if (n == 0) continue;
        (rec->Fst == stTS ? tsCount : tiCount)[static_cast<size_t>(n)]++;
    }
    int32_t pos = 0;
    for (int n = 1; n <= stations; ++n) {
        TRange& r = FRanges[static_cast<size_t>(n - 1)];
        r.tsBegin = r.tsEnd = pos;
        pos += tsCount[static_cast<size_t>(n)];
        r.tiBegin = r.tiEnd = pos;
        pos += tiCount[static_cast<size_t>(n)];
    }
    FEntries.resize(static_cast<size_t>(pos));
    for (int32_t t = 0; t < FTags->GetCount(); ++t) {
        const TTagSignal& tag = FTags->List[static_cast<size_t>(t)];
        const TArmRec* rec = nullptr;
        const int n = station(tag, rec);
        if (n == 0) continue;
        TRange& r = FRanges[static_cast<size_t>(n - 1)];
        int32_t& end = rec->Fst == stTS ? r.tsEnd : r.tiEnd;
        FEntries[static_cast<size_t>(end++)] =
            TEntry{t, ordinal[static_cast<size_t>(tag.FIndArm)], rec};
    }
}

int32_t TPublisher::BoundCount(int n, bool measured) const {
    if (n < 1 || n > kKPRecords) return 0;
    const TRange& r = FRanges[static_cast<size_t>(n - 1)];
    return measured ? r.tiEnd - r.tiBegin : r.tsEnd - r.tsBegin;
}

std::vector<std::pair<int32_t, int32_t>> TPublisher::BoundTags(int n, bool measured) const {
    std::vector<std::pair<int32_t, int32_t>> bound;
    if (n < 1 || n > kKPRecords || static_cast<size_t>(n) > FRanges.size()) return bound;
    const TRange& r = FRanges[static_cast<size_t>(n - 1)];
    const int32_t begin = measured ? r.tiBegin : r.tsBegin;
    const int32_t end = measured ? r.tiEnd : r.tsEnd;
    for (int32_t e = begin; e < end && static_cast<size_t>(e) < FEntries.size(); ++e) {
        const TEntry& entry = FEntries[static_cast<size_t>(e)];
        bound.emplace_back(entry.ordinal, entry.tag);
    }
    return bound;
}

void TPublisher::OutOPCTsTit(bool /*OUT_TO_GRID*/) {
    if (FTags == nullptr) return;
    const TDateTime now = FCtx.Clock.Now();
    const TDateTime hour = FCtx.OneHour;
    TStationTable& st = FCtx.Stations;
    TItemImage& items = FCtx.Items;
    const int stations = st.Kol_KP < kKPRecords ? st.Kol_KP : kKPRecords;
    const TTagSignal* tags = FTags->List.data();
    const int32_t nTags = FTags->GetCount();

    auto lock = items.Lock();
    for (int n = 1; n <= stations; ++n) {
        const T_KP& kp = st.KP_arr[n];
        // Identifiers not assigned yet (no OPC address space): nothing to write to.
        if (!ItemIdsAssigned(kp)) continue;
        const TRange& r = FRanges[static_cast<size_t>(n - 1)];
        TStationKey key{kp.Nom_OPC_TS,  kp.Nom_OPC_TI,    kp.PereschetTI,
                        kp.Time_To_OPC, kp.Popravka_Time, true};
        TStationKey& last = FPublishedKeys[static_cast<size_t>(n - 1)];
        const bool all = !(last == key);
        last = key;
        int32_t iValue = 0;
        uint8_t quality = 0;
        double fValue = 0;
        TDateTime stamp = 0;
        for (int32_t e = r.tsBegin; e < r.tsEnd; ++e) {
            TEntry& en = FEntries[static_cast<size_t>(e)];
            if (en.tag >= nTags) continue;
            const TTagSignal& tag = tags[en.tag];
            if (!all && tag.StoreCount() == en.published) continue;
            en.published = tag.StoreCount();
            stamp = 0;
            tag.GetArmValue(iValue, quality, fValue, stamp);
            const int64_t id = static_cast<int64_t>(kp.Nom_OPC_TS) + en.ordinal;
            if (id < 1 || id >= kFirstIdWithoutLeaf) continue;
            const int i = static_cast<int>(id);
            items.Value_arr[i] = iValue;
            items.Indent_arr[i].Quality = OpcQualityOfIec(quality);
            items.Indent_arr[i].Stamp_DateTime = PublicationStamp(stamp, kp, now, hour);
        }
        // The link state is refreshed with the station's two-state tags.
        if (r.tsEnd > r.tsBegin && kp.Nom_OPC_Alarm >= 1 && kp.Nom_OPC_Alarm <= kMaxItemId) {
            items.Indent_arr[kp.Nom_OPC_Alarm].Quality = 192;
            items.Value_arr[kp.Nom_OPC_Alarm] = kp.Connected ? 1.0 : 0.0;
        }
        for (int32_t e = r.tiBegin; e < r.tiEnd; ++e) {
            TEntry& en = FEntries[static_cast<size_t>(e)];
            if (en.tag >= nTags) continue;
            const TTagSignal& tag = tags[en.tag];
            if (!all && tag.StoreCount() == en.published) continue;
            en.published = tag.StoreCount();
            stamp = 0;
            tag.GetArmValue(iValue, quality, fValue, stamp);
            const int64_t id = static_cast<int64_t>(kp.Nom_OPC_TI) + en.ordinal;
            if (id < 1 || id >= kFirstIdWithoutLeaf) continue;
            const int i = static_cast<int>(id);
            items.Value_arr[i] = kp.PereschetTI ? en.rec->RawToEng(fValue) : fValue;
            items.Indent_arr[i].Quality = OpcQualityOfIec(quality);
            items.Indent_arr[i].Stamp_DateTime = PublicationStamp(stamp, kp, now, hour);
        }
    }
}

}  // namespace telegate
