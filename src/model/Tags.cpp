#include "model/Tags.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>

#include "model/Registries.h"
#include "support/Journal.h"

namespace telegate {

namespace {

constexpr uint32_t kJournalChange = 8192;  // "(ptg1)" new-value lines
constexpr uint32_t kJournalError = 0;

struct TCategDef {
    TagCategName tc;
    int32_t valuelen;
    const char* descr;
};

// Bit strings keep their four value octets (32 bits; 16 states + 16 change bits), so
// that changes in any octet are detected and the bits can be spread.
constexpr TCategDef kCategories[] = {
    {tcn_TS, 1, "ТС"},
    {tcn_TIT, 4, "ТИТ"},
    {tcn_TII, 4, "ТИИ"},
    {tcn_TU, 1, "Телеуправление"},
    {dcn_SingleTS1, 1, "ТС (1 бит)"},
    {dcn_DoubleTS, 1, "ТС (2 бит)"},
    {dcn_TITnorm, 2, "ТИТ нормализованное"},
    {dcn_TITscale1, 2, "ТИТ масштабированное"},
    {dcn_TITfloat, 4, "ТИТ с плав.точкой"},
    {dcn_TII, 4, "ТИИ"},
    {dcn_Diskr7, 1, "Дискретная(-64..63)"},
    {dcn_TS8a, 1, "8 ТС (байт)"},
    {dcn_TS32, 4, "32 ТС (4 байта)"},
    {dcn_TS16IZM, 4, "16 ТС с изм.(4 байта)"},
};
constexpr int kCategCount = static_cast<int>(sizeof(kCategories) / sizeof(kCategories[0]));

// Appends value as upper-case hex with at least digits digits; negative values as
// their 32-bit two's complement (8 digits).
void AppendHex(std::string& out, int32_t value, int digits) {
    char buf[16];
    const int n = std::snprintf(buf, sizeof buf, "%0*X", digits, static_cast<uint32_t>(value));
    out.append(buf, static_cast<size_t>(n > 0 ? n : 0));
}

void AppendInt(std::string& out, long long value) {
    char buf[24];
    const int n = std::snprintf(buf, sizeof buf, "%lld", value);
    out.append(buf, static_cast<size_t>(n > 0 ? n : 0));
}

int16_t Signed16(const uint8_t* b) {
    return static_cast<int16_t>(static_cast<uint16_t>(b[0] | (b[1] << 8)));
}

double ScaledValue(const TValue1& v) {
    const double x = Signed16(v.bv);
    switch ((v.Qualit & 6) >> 1) {
        case 1:
            return x * 0.1;
        case 2:
            return x * 0.01;
        case 3:
            return x * 0.001;
        default:
            return x;
    }
}

float FloatValue(const uint8_t* b) {
    const uint32_t u = static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
                       (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

// Counter reading: sign and magnitude.
int32_t CounterValue(const uint8_t* b) {
    const int32_t m = static_cast<int32_t>(
        static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
        (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3] & 0x7F) << 24));
    return (b[3] & 0x80) ? -m : m;
}

// Step position: low 7 bits as a two's-complement number -64..63.
int32_t StepValue(uint8_t b0) {
    const int32_t v = b0 & 0x7F;
    return v >= 64 ? v - 128 : v;
}

struct TQualField {
    const char* name;
    uint8_t mask;
};

void AppendQualFields(std::string& out, uint8_t q, const TQualField* fields, int count) {
    out += " (";
    for (int i = 0; i < count; ++i) {
        const uint8_t mask = fields[i].mask;
        int shift = 0;
        while (((mask >> shift) & 1) == 0) ++shift;
        const int v = (q & mask) >> shift;
        if (v != 0) {
            out += fields[i].name;
            out += '=';
            AppendInt(out, v);
            out += ", ";
        } else {
            out += ',';
        }
    }
    out += ')';
}

// Object octets [index, index + count) inside the information octets?
bool HasOctets(std::span<const uint8_t> octets, int32_t index, int32_t count) {
    return index >= 0 && count >= 0 &&
           static_cast<uint64_t>(index) + static_cast<uint64_t>(count) <= octets.size();
}

void AppendPadded(std::string& out, const std::string& text, size_t width) {
    out += text;
    size_t chars = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) ++chars;
    if (chars < width) out.append(width - chars, ' ');
}

}  // namespace

int32_t CategValueLen(TagCategName tc) {
    const int i = static_cast<int>(tc);
    return i < kCategCount ? kCategories[i].valuelen : 0;
}

// ---------------------------------------------------------------------------------

TTagCategoryList::TTagCategoryList(int variant) {
    for (const auto& d : kCategories) {
        const bool tagKind = d.tc <= tcn_TU;
        if (tagKind == (variant == 1)) List.push_back(TTagCategory{d.tc, d.valuelen, d.descr});
    }
    Count = static_cast<int32_t>(List.size());
}

const TTagCategory* TTagCategoryList::GetPtc(TagCategName tcName) const {
    for (const auto& c : List)
        if (c.tcName == tcName) return &c;
    return nullptr;
}

// ---------------------------------------------------------------------------------

void TValue1::SetParam1(TQualityType Aqtype, TagCategName Apdc, const uint8_t* octets,
                        bool hasQuality, uint8_t quality, TDateTime time, TDateTime receivedAt) {
    qtype = Aqtype;
    pdc = Apdc;
    const int32_t n = CategValueLen(Apdc);
    if (n > 0) std::memcpy(bv, octets, static_cast<size_t>(n));
    if (hasQuality) {
        prQualit = true;
        Qualit = quality;
    }
    if (time != 0) dt = time;
    timeTagged = time != 0;
    if (receivedAt != 0) received = receivedAt;
}

bool TValue1::Equival(const TValue1& old) const {
    if (prQualit && (!old.prQualit || old.Qualit != Qualit)) return false;
    const int32_t n = CategValueLen(pdc);
    return n == 0 || std::memcmp(bv, old.bv, static_cast<size_t>(n)) == 0;
}

void TValue1::GetArmValue(int32_t& iValue, uint8_t& Quality, double& fValue,
                          TDateTime& dtStamp) const {
    iValue = 0;
    fValue = 0.0;
    Quality = Qualit;
    if (pdc == tcn_None) return;
    dtStamp = dt;
    switch (pdc) {
        case dcn_SingleTS1:
        case dcn_TS8a:
            iValue = bv[0] & 1;
            break;
        case dcn_DoubleTS:
            iValue = (bv[0] & 3) == 2 ? 1 : 0;
            break;
        case dcn_TITnorm:
            fValue = Signed16(bv);
            break;
        case dcn_TITscale1:
            fValue = ScaledValue(*this);
            break;
        case dcn_TITfloat:
            fValue = FloatValue(bv);
            break;
        case dcn_TII:
            iValue = CounterValue(bv);
            fValue = iValue;
            break;
        case dcn_Diskr7:
            iValue = StepValue(bv[0]);
            fValue = iValue;
            break;
        default:
            break;
    }
}

void TValue1::AppendValueText(std::string& out) const {
    if (pdc == tcn_None) {
        out += "????";
        return;
    }
    if (pdc < dcn_SingleTS1 || pdc > dcn_TS8a) {
        out += "!!!! не определен вывод величины";
        return;
    }
    char buf[64];
    switch (pdc) {
        case dcn_SingleTS1:
        case dcn_TS8a:
            out += (bv[0] & 1) ? "вкл " : "откл";
            break;
        case dcn_DoubleTS: {
            static constexpr const char* kDouble[4] = {"не опред.", "откл", "вкл ", "переходн."};
            out += kDouble[bv[0] & 3];
            break;
        }
        case dcn_TITnorm:
            AppendInt(out, Signed16(bv));
            break;
        case dcn_TITscale1:
        case dcn_TITfloat: {
            const double v = pdc == dcn_TITscale1 ? ScaledValue(*this) : FloatValue(bv);
            const int n = std::snprintf(buf, sizeof buf, "%8.3f", v);
            if (n > 0) out.append(buf, static_cast<size_t>(n) < sizeof buf ? n : sizeof buf - 1);
            break;
        }
        case dcn_TII:
            AppendInt(out, CounterValue(bv));
            break;
        case dcn_Diskr7:
            AppendInt(out, StepValue(bv[0]));
            break;
        default:
            break;
    }
}

std::string TValue1::ToStringValue() const {
    std::string s;
    AppendValueText(s);
    return s;
}

std::string TValue1::ToStringQuality() const {
    if (pdc == tcn_None) return "----";
    if (!prQualit) return "????";
    std::string s;
    AppendHex(s, Qualit, 2);
    static constexpr TQualField kTS[] = {{"GN", 0x04}, {"IN", 0x08}, {"BL", 0x10},
                                         {"SB", 0x20}, {"NT", 0x40}, {"IV", 0x80}};
    static constexpr TQualField kBits[] = {
        {"OV", 0x01}, {"BL", 0x10}, {"SB", 0x20}, {"NT", 0x40}, {"IV", 0x80}};
    static constexpr TQualField kTII[] = {{"SQ", 0x1F}, {"CY", 0x20}, {"CA", 0x40}, {"IV", 0x80}};
    static constexpr TQualField kI[] = {{"OV", 0x01}, {"AV", 0x08}, {"BL", 0x10},
                                        {"SB", 0x20}, {"NT", 0x40}, {"IV", 0x80}};
    static constexpr TQualField kF[] = {{"OV", 0x01}, {"ZP", 0x06}, {"AV", 0x08}, {"BL", 0x10},
                                        {"SB", 0x20}, {"NT", 0x40}, {"IV", 0x80}};
    switch (qtype) {
        case Q0:
            s += " ()";
            break;
        case QTS1:
        case QTS2:
            AppendQualFields(s, Qualit, kTS, 6);
            break;
        case Q1:
            break;
        case QBITS:
            AppendQualFields(s, Qualit, kBits, 5);
            break;
        case Q8TII:
            AppendQualFields(s, Qualit, kTII, 4);
            break;
        case Q8I:
        case Q8R:
            AppendQualFields(s, Qualit, kI, 6);
            break;
        case Q8F:
            AppendQualFields(s, Qualit, kF, 7);
            break;
        case Q1S:
            s += " ???? не определен вывод качества";
            break;
    }
    return s;
}

// ---------------------------------------------------------------------------------

TTagSignal::TTagSignal(const TTagSignal& source)
    : FPrNew(source.FPrNew),
      FprReceive(source.FprReceive),
      FName(source.FName),
      FAsduAddress(source.FAsduAddress),
      FObjAddress(source.FObjAddress),
      FIndArm(source.FIndArm),
      FPort4(source.FPort4),
      FIP_adrr4(source.FIP_adrr4),
      Value(source.Value) {}

TTagSignal& TTagSignal::operator=(const TTagSignal& source) {
    if (this != &source) {
        TTagSignal copy(source);
        *this = std::move(copy);
    }
    return *this;
}

void TTagSignal::Init(const std::string& AName, int32_t AAsduAddress, int32_t AObjAddress,
                      const std::string& IP_addr_host, int32_t IP_POrt99, const TTagCategory* ptc,
                      int32_t AIndArm) {
    FName = AName;
    FAsduAddress = AAsduAddress;
    FObjAddress = AObjAddress;
    FIP_adrr4 = IP_addr_host;
    FPort4 = IP_POrt99;
    Value.ptc = ptc ? ptc->tcName : tcn_None;
    FIndArm = AIndArm;
}

void TTagSignal::MarkNew() {
    FPrNew = true;
    if (FOwner && FListInd >= 0 && FListInd < FOwner->FFirstNew) FOwner->FFirstNew = FListInd;
}

void TTagSignal::SetOnReceive(bool ReceiveEquival) {
    ++FStores;
    if (!FprReceive) {
        FprReceive = true;
        MarkNew();
    } else if (!ReceiveEquival) {
        MarkNew();
    }
}

void TTagSignal::StoreAndDetect(const TValue1& old, bool changeLine) {
    SetOnReceive(Value.Equival(old));
    if (changeLine && FPrNew) WriteChangeLine();
}

void TTagSignal::WriteChangeLine() {
    if (!FOwner || !FOwner->FJournal.Enabled(kJournalChange)) return;
    std::string line;
    line.reserve(96 + FName.size());
    line += "(ptg1) New TS,TIT:(";
    AppendHex(line, FAsduAddress, 4);
    line += ':';
    AppendHex(line, FObjAddress, 6);
    line += "), ПС(";
    AppendInt(line, FSstIdent);
    line += ") ";
    line += FName;
    line += ", ";
    Value.AppendValueText(line);
    FOwner->FJournal.Put(kJournalChange, line);
}

void TTagSignal::ChangeTS1(const TTypeIdent& tid, std::span<const uint8_t> octets, int32_t index,
                           TDateTime time, std::string& remark, TDateTime receivedAt) {
    remark.clear();
    if (!HasOctets(octets, index, 1)) {
        remark = "ChangeTS() нет байта значения для кода=";
        AppendInt(remark, tid.Code);
        return;
    }
    uint8_t v = octets[static_cast<size_t>(index)];
    if (FSst && !FSst->flss.Op(FYes, bflssReceiveTsTit)) {
        FSst->flss.Op(FSet, bflssReceiveTsTit);
        FSst->flss.Op(FSet, bflssChanged);
    }
    uint8_t mask;
    TagCategName kind;
    switch (tid.Name) {
        case M_SP_NA:
        case M_SP_TA:
        case M_SP_TB:
            mask = 1;
            kind = dcn_SingleTS1;
            break;
        case M_DP_NA:
        case M_DP_TA:
        case M_DP_TB:
            if (v == 0 || v == 3) v = static_cast<uint8_t>(v + 0x80);
            mask = 3;
            kind = dcn_DoubleTS;
            break;
        default:
            remark = "ChangeTS() не обрабатывает код=";
            AppendInt(remark, tid.Code);
            return;
    }
    const TValue1 old = Value;
    const uint8_t value = v & mask;
    Value.SetParam1(tid.qtype, kind, &value, true, static_cast<uint8_t>(v & ~mask), time,
                    receivedAt);
    StoreAndDetect(old, true);
}

void TTagSignal::ChangeVal(const TTypeIdent& tid, std::span<const uint8_t> octets, int32_t index,
                           TDateTime time, std::string& remark, TDateTime receivedAt) {
    remark.clear();
    TagCategName kind = tcn_None;
    int32_t qOffset = -1;  // position of the quality octet after the first value octet
    bool hasQuality = true;
    uint8_t quality = 0;
    switch (tid.Name) {
        case M_ST_NA:
        case M_ST_TA:
        case M_ST_TB:
            kind = dcn_Diskr7;
            qOffset = 1;
            break;
        case M_BO_NA:
        case M_BO_TA:
        case M_BO_TB:
            kind = dcn_TS32;
            qOffset = 4;
            break;
        case M_ME_NA:
        case M_ME_TA:
        case M_ME_TD:
            kind = dcn_TITnorm;
            qOffset = 2;
            break;
        case M_ME_ND:
            kind = dcn_TITnorm;
            break;
        case M_ME_NB:
        case M_ME_TB:
        case M_ME_TE:
            kind = dcn_TITscale1;
            qOffset = 2;
            break;
        case M_ME_NC:
        case M_ME_TC:
        case M_ME_TF:
            kind = dcn_TITfloat;
            qOffset = 4;
            break;
        case M_IT_NA:
        case M_IT_TA:
        case M_IT_TB:
            kind = dcn_TII;
            qOffset = 4;
            break;
        case M_PS_NA:
            kind = dcn_TS16IZM;
            qOffset = 4;
            break;
        // Types without a quality descriptor are valid as received: quality 0.
        case M_BO_TC:
            kind = dcn_TS8a;
            break;
        default:
            remark = "ChangeVal(). Нет распаковки байта качества для кода:";
            remark += tid.Text;
            return;
    }
    const int32_t len = CategValueLen(kind);
    const int32_t need = qOffset >= 0 ? (qOffset + 1 > len ? qOffset + 1 : len) : len;
    if (!HasOctets(octets, index, need)) {
        remark = "ChangeVal(). Мало байт объекта для кода:";
        remark += tid.Text;
        return;
    }
    if (qOffset >= 0) quality = octets[static_cast<size_t>(index + qOffset)];
    const TValue1 old = Value;
    Value.SetParam1(tid.qtype, kind, octets.data() + index, hasQuality, quality, time, receivedAt);
    StoreAndDetect(old, true);
}

void TTagSignal::SetInvalid() {
    if ((Value.Qualit & 0x80) == 0) {
        Value.Qualit |= 0x80;
        ++FStores;
        MarkNew();
    }
}

std::string TTagSignal::toString() const {
    std::string s;
    s.reserve(64 + FName.size());
    AppendPadded(s, FName, 24);
    s += " (";
    AppendHex(s, FAsduAddress, 4);
    s += ':';
    AppendHex(s, FObjAddress, 6);
    s += ") ";
    Value.AppendValueText(s);
    s += ' ';
    s += Value.ToStringQuality();
    return s;
}

// ---------------------------------------------------------------------------------

TTagSignalList::TTagSignalList(TMessBuff& journal, const TArmSignals* arm, TSstList* sst)
    : FJournal(journal), FArm(arm), FSstList(sst) {}

void TTagSignalList::Clear() {
    List.clear();
    FIndex.clear();
    FStations.clear();
    FIndexBuilt = false;
    FLastStation = nullptr;
    FLastAsdu = nullptr;
    FHosts.clear();
    FLastHost = -1;
    FFirstNew = 0;
}

TTagSignal* TTagSignalList::GetTag(int32_t ind) {
    return ind >= 0 && ind < GetCount() ? &List[static_cast<size_t>(ind)] : nullptr;
}

const TTagSignal* TTagSignalList::GetTag(int32_t ind) const {
    return ind >= 0 && ind < GetCount() ? &List[static_cast<size_t>(ind)] : nullptr;
}

size_t TTagSignalList::TKeyHash::operator()(const TKey& k) const noexcept {
    uint64_t h = static_cast<uint32_t>(k.asdu);
    h = h * 0x9E3779B97F4A7C15ull ^ static_cast<uint32_t>(k.obj);
    h = h * 0x9E3779B97F4A7C15ull ^ static_cast<uint32_t>(k.port);
    h = h * 0x9E3779B97F4A7C15ull ^ static_cast<uint32_t>(k.host);
    return static_cast<size_t>(h ^ (h >> 29));
}

int32_t TTagSignalList::FindHost(std::string_view host) const {
    if (FLastHost >= 0 && FHosts[static_cast<size_t>(FLastHost)] == host) return FLastHost;
    for (size_t i = 0; i < FHosts.size(); ++i) {
        if (FHosts[i] == host) {
            FLastHost = static_cast<int32_t>(i);
            return FLastHost;
        }
    }
    return -1;
}

std::string TTagSignalList::AddTag(const TTagSignal& tag) {
    std::string remark;
    int32_t host = FindHost(tag.FIP_adrr4);
    if (tag.FName.empty()) {
        remark = "Не задано имя тега";
    } else if (tag.FAsduAddress != 0 && tag.FObjAddress != 0 && host >= 0) {
        const auto it = FIndex.find(TKey{tag.FAsduAddress, tag.FObjAddress, tag.FPort4, host});
        if (it != FIndex.end()) {
            const TTagSignal& other = List[static_cast<size_t>(it->second)];
            remark = "Повтор адреса. имя1=" + tag.FName + " имя2=" + other.FName + " AsduAddress=";
            AppendHex(remark, tag.FAsduAddress, 4);
            remark += " ObjAddress=";
            AppendHex(remark, tag.FObjAddress, 6);
        }
    }
    if (!remark.empty()) {
        FJournal.Put(kJournalError, remark);
        return remark;
    }
    if (host < 0) {
        FHosts.push_back(tag.FIP_adrr4);
        host = static_cast<int32_t>(FHosts.size()) - 1;
    }
    // The station index no longer covers the list.
    FStations.clear();
    FIndexBuilt = false;
    FLastStation = nullptr;
    FLastAsdu = nullptr;
    const int32_t ind = GetCount();
    List.push_back(tag);
    TTagSignal& t = List.back();
    t.FOwner = this;
    t.FListInd = ind;
    t.FSst = nullptr;
    t.FSstIdent = 0;
    if (FArm) {
        if (const TArmRec* rec = FArm->GetRec(t.FIndArm)) {
            t.FSstIdent = rec->FsstID;
            if (FSstList) t.FSst = FSstList->FindSst(rec->FsstID);
        }
    }
    // First match wins, as with a scan from the start.
    FIndex.try_emplace(TKey{t.FAsduAddress, t.FObjAddress, t.FPort4, host}, ind);
    if (t.FPrNew && ind < FFirstNew) FFirstNew = ind;
    return remark;
}

int32_t TTagSignalList::TAsduIndex::Find(int32_t obj) const {
    if (!dense.empty()) {
        const int64_t i = static_cast<int64_t>(obj) - firstObj;
        return i >= 0 && i < static_cast<int64_t>(dense.size()) ? dense[static_cast<size_t>(i)]
                                                                : -1;
    }
    const auto it = std::lower_bound(sparse.begin(), sparse.end(), std::make_pair(obj, INT32_MIN));
    return it != sparse.end() && it->first == obj ? it->second : -1;
}

void TTagSignalList::BuildIndex() {
    FStations.clear();
    FLastStation = nullptr;
    FLastAsdu = nullptr;
    // Group the hash entries (first match per address) by station and common address.
    struct TEntry {
        int32_t host, port, asdu, obj, ind;
    };
    std::vector<TEntry> entries;
    entries.reserve(FIndex.size());
    for (const auto& [key, ind] : FIndex)
        entries.push_back(TEntry{key.host, key.port, key.asdu, key.obj, ind});
    std::sort(entries.begin(), entries.end(), [](const TEntry& a, const TEntry& b) {
        if (a.host != b.host) return a.host < b.host;
        if (a.port != b.port) return a.port < b.port;
        if (a.asdu != b.asdu) return a.asdu < b.asdu;
        return a.obj < b.obj;
    });
    for (size_t i = 0; i < entries.size();) {
        size_t j = i;
        while (j < entries.size() && entries[j].host == entries[i].host &&
               entries[j].port == entries[i].port && entries[j].asdu == entries[i].asdu)
            ++j;
        if (FStations.empty() || FStations.back().host != entries[i].host ||
            FStations.back().port != entries[i].port)
            FStations.push_back(TStationIndex{entries[i].host, entries[i].port, {}});
        TAsduIndex ai;
        ai.asdu = entries[i].asdu;
        const int64_t first = entries[i].obj, last = entries[j - 1].obj;
        const int64_t span = last - first + 1;
        // Dense while it costs at most four slots per tag.
        if (span <= 4 * static_cast<int64_t>(j - i) + 64) {
            ai.firstObj = static_cast<int32_t>(first);
            ai.dense.assign(static_cast<size_t>(span), -1);
            for (size_t e = i; e < j; ++e)
                ai.dense[static_cast<size_t>(entries[e].obj - first)] = entries[e].ind;
        } else {
            for (size_t e = i; e < j; ++e) ai.sparse.emplace_back(entries[e].obj, entries[e].ind);
        }
        FStations.back().asdus.push_back(std::move(ai));
        i = j;
    }
    FIndexBuilt = true;
}

const TTagSignalList::TStationIndex* TTagSignalList::FindStation(int32_t host, int32_t port) const {
    if (FLastStation != nullptr && FLastStation->host == host && FLastStation->port == port)
        return FLastStation;
    for (const TStationIndex& st : FStations)
        if (st.host == host && st.port == port) {
            FLastStation = &st;
            FLastAsdu = nullptr;
            return &st;
        }
    return nullptr;
}

int32_t TTagSignalList::FindTag(int32_t AsduAddress, int32_t ObjAddress,
                                std::string_view IPaddress10, int32_t IPPort10, TTagSignal*& tag) {
    tag = nullptr;
    const int32_t host = FindHost(IPaddress10);
    if (host < 0) return -1;
    if (FIndexBuilt) {
        const TStationIndex* st = FindStation(host, IPPort10);
        if (st == nullptr) return -1;
        const TAsduIndex* ai = FLastAsdu;
        if (ai == nullptr || ai->asdu != AsduAddress) {
            ai = nullptr;
            for (const TAsduIndex& a : st->asdus)
                if (a.asdu == AsduAddress) ai = &a;
            if (ai == nullptr) return -1;
            FLastAsdu = ai;
        }
        const int32_t ind = ai->Find(ObjAddress);
        if (ind >= 0) tag = &List[static_cast<size_t>(ind)];
        return ind;
    }
    const auto it = FIndex.find(TKey{AsduAddress, ObjAddress, IPPort10, host});
    if (it == FIndex.end()) return -1;
    tag = &List[static_cast<size_t>(it->second)];
    return it->second;
}

bool TTagSignalList::GetChangedTag(TTagSignal*& tag) {
    const int32_t n = GetCount();
    for (int32_t i = FFirstNew < 0 ? 0 : FFirstNew; i < n; ++i) {
        TTagSignal& t = List[static_cast<size_t>(i)];
        if (t.FPrNew) {
            t.FPrNew = false;
            FFirstNew = i + 1;
            tag = &t;
            return true;
        }
    }
    FFirstNew = n;
    return false;
}

void TTagSignalList::RaspakNewTag(const TTypeIdent& tid, const TTagSignal& src,
                                  std::string& remark) {
    const TValue1 s = src.Value;
    int bits = 0;
    TagCategName kind = tcn_None;
    TQualityType qtype = Q0;
    switch (tid.Name) {
        case M_BO_NA:
        case M_BO_TA:
        case M_BO_TB:
            bits = 32;
            kind = dcn_TS32;
            qtype = QBITS;
            break;
        case M_BO_TC:
            bits = 8;
            kind = dcn_TS8a;
            qtype = Q0;
            break;
        default:
            remark = "это не многопозиционная команда!";
            break;
    }
    for (int i = 0; i < bits; ++i) {
        const int64_t addr = static_cast<int64_t>(src.FObjAddress) + i;
        TTagSignal* t = nullptr;
        if (addr <= std::numeric_limits<int32_t>::max())
            FindTag(src.FAsduAddress, static_cast<int32_t>(addr), src.FIP_adrr4, src.FPort4, t);
        if (!t) {
            remark = "Нет тега с адресом=";
            AppendInt(remark, addr);
            continue;
        }
        if (!remark.empty()) continue;
        if (t->Value.ptc != tcn_TS) {
            remark = "Не подходящий тип тега с адресом=";
            AppendInt(remark, addr);
            continue;
        }
        const TValue1 old = t->Value;
        // Bit i of the pattern: octet i / 8 (within the 4 octets kept), bit i % 8.
        std::memset(t->Value.bv, 0, sizeof t->Value.bv);
        t->Value.bv[0] = static_cast<uint8_t>((s.bv[i / 8] >> (i % 8)) & 1);
        t->Value.qtype = qtype;
        t->Value.pdc = kind;
        t->Value.prQualit = s.prQualit;
        t->Value.Qualit = s.Qualit;
        if (s.dt != 0) t->Value.dt = s.dt;
        t->Value.timeTagged = s.timeTagged;
        t->Value.received = s.received;
        t->StoreAndDetect(old, false);
    }
    if (!remark.empty()) {
        remark = "RaspakNewTag1()" + remark + " Код=";
        AppendInt(remark, tid.Code);
    }
}

}  // namespace telegate
