#include "SimCodec.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace telegate::sim {

namespace {

constexpr TTypeInfo kTypes[] = {
    {1, "M_SP_NA", 1, 0},   {2, "M_SP_TA", 1, 3},   {3, "M_DP_NA", 1, 0},   {4, "M_DP_TA", 1, 3},
    {5, "M_ST_NA", 2, 0},   {6, "M_ST_TA", 2, 3},   {7, "M_BO_NA", 5, 0},   {8, "M_BO_TA", 5, 3},
    {9, "M_ME_NA", 3, 0},   {10, "M_ME_TA", 3, 3},  {11, "M_ME_NB", 3, 0},  {12, "M_ME_TB", 3, 3},
    {13, "M_ME_NC", 5, 0},  {14, "M_ME_TC", 5, 3},  {15, "M_IT_NA", 5, 0},  {16, "M_IT_TA", 5, 3},
    {21, "M_ME_ND", 2, 0},  {30, "M_SP_TB", 1, 7},  {31, "M_DP_TB", 1, 7},  {32, "M_ST_TB", 2, 7},
    {33, "M_BO_TB", 5, 7},  {34, "M_ME_TD", 3, 7},  {35, "M_ME_TE", 3, 7},  {36, "M_ME_TF", 5, 7},
    {37, "M_IT_TB", 5, 7},  {45, "C_SC_NA", 1, 0},  {46, "C_DC_NA", 1, 0},  {47, "C_RC_NA", 1, 0},
    {48, "C_SE_NA", 3, 0},  {49, "C_SE_NB", 3, 0},  {50, "C_SE_NC", 5, 0},  {51, "C_BO_NA", 4, 0},
    {58, "C_SC_TA", 1, 7},  {59, "C_DC_TA", 1, 7},  {60, "C_RC_TA", 1, 7},  {61, "C_SE_TA", 3, 7},
    {62, "C_SE_TB", 3, 7},  {63, "C_SE_TC", 5, 7},  {64, "C_BO_TA", 4, 7},  {70, "M_EI_NA", 1, 0},
    {100, "C_IC_NA", 1, 0}, {101, "C_CI_NA", 1, 0}, {102, "C_RD_NA", 0, 0}, {103, "C_CS_NA", 7, 0},
    {104, "C_TS_NA", 2, 0}, {105, "C_RP_NA", 1, 0}, {106, "C_CD_NA", 2, 0}, {107, "C_TS_TA", 2, 7},
};

void PutU16(uint8_t* p, unsigned v) {
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}

unsigned GetU16(const uint8_t* p) {
    return p[0] | (p[1] << 8);
}

void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>((v >> (8 * i)) & 0xFF);
}

uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool IsUCode(uint8_t c) {
    return c == kStartdtAct || c == kStartdtCon || c == kStopdtAct || c == kStopdtCon ||
           c == kTestfrAct || c == kTestfrCon;
}

std::string Fmt(const char* fmt, auto... args) {
    char buf[160];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

int16_t ClampI16(double v) {
    if (!(v == v)) return 0;
    double r = std::round(v);
    return static_cast<int16_t>(std::clamp(r, -32768.0, 32767.0));
}

// Text of one information element of a monitoring or command type.
std::string DescribeElement(uint8_t type, const uint8_t* e) {
    switch (type) {
        case 1:
        case 2:
        case 30:
            return Fmt("sp=%d q=%02X", e[0] & 1, e[0] & 0xF0);
        case 3:
        case 4:
        case 31:
            return Fmt("dp=%d q=%02X", e[0] & 3, e[0] & 0xF0);
        case 5:
        case 6:
        case 32: {
            int v = e[0] & 0x7F;
            if (v & 0x40) v -= 128;
            return Fmt("st=%d t=%d q=%02X", v, e[0] >> 7, e[1]);
        }
        case 7:
        case 8:
        case 33:
            return Fmt("bo=%08X q=%02X", static_cast<unsigned>(GetU32(e)), e[4]);
        case 9:
        case 10:
        case 34:
            return Fmt("nva=%d q=%02X", static_cast<int16_t>(GetU16(e)), e[2]);
        case 11:
        case 12:
        case 35:
            return Fmt("sva=%d q=%02X", static_cast<int16_t>(GetU16(e)), e[2]);
        case 13:
        case 14:
        case 36: {
            float f;
            uint32_t raw = GetU32(e);
            std::memcpy(&f, &raw, 4);
            return Fmt("float=%g q=%02X", static_cast<double>(f), e[4]);
        }
        case 15:
        case 16:
        case 37:
            return Fmt("it=%d sq=%02X", static_cast<int32_t>(GetU32(e)), e[4]);
        case 45:
        case 58:
            return Fmt("sco=%02X se=%d qu=%d state=%d", e[0], e[0] >> 7, (e[0] >> 2) & 0x1F,
                       e[0] & 1);
        case 46:
        case 59:
        case 47:
        case 60:
            return Fmt("dco=%02X se=%d state=%d", e[0], e[0] >> 7, e[0] & 3);
        case 70:
            return Fmt("coi=%d", e[0]);
        case 100:
            return Fmt("qoi=%d", e[0]);
        case 101:
            return Fmt("qcc=%02X", e[0]);
        default:
            return {};
    }
}

}  // namespace

TBytes MakeUFrame(uint8_t ucode) {
    return {kStartOctet, 4, ucode, 0, 0, 0};
}

TBytes MakeSFrame(uint16_t nr) {
    TBytes f{kStartOctet, 4, 0x01, 0, 0, 0};
    PutU16(&f[4], static_cast<unsigned>(nr % kSeqModulo) << 1);
    return f;
}

TBytes MakeIFrame(uint16_t ns, uint16_t nr, const TBytes& asdu) {
    size_t n = std::min(asdu.size(), kMaxAsduLength);
    TBytes f(6 + n);
    f[0] = kStartOctet;
    f[1] = static_cast<uint8_t>(4 + n);
    PutU16(&f[2], static_cast<unsigned>(ns % kSeqModulo) << 1);
    PutU16(&f[4], static_cast<unsigned>(nr % kSeqModulo) << 1);
    std::copy_n(asdu.begin(), n, f.begin() + 6);
    return f;
}

bool ParseApci(const uint8_t* apdu, size_t len, TApci& out) {
    if (len < 6 || apdu[0] != kStartOctet || apdu[1] != len - 2) return false;
    uint8_t c1 = apdu[2];
    if ((c1 & 1) == 0) {
        out.kind = EFrameKind::I;
        out.ns = static_cast<uint16_t>(GetU16(&apdu[2]) >> 1);
        out.nr = static_cast<uint16_t>(GetU16(&apdu[4]) >> 1);
        return true;
    }
    if ((c1 & 3) == 1) {
        if (len != 6 || apdu[3] != 0) return false;
        out.kind = EFrameKind::S;
        out.ns = 0;
        out.nr = static_cast<uint16_t>(GetU16(&apdu[4]) >> 1);
        return (apdu[4] & 1) == 0;
    }
    if (len != 6 || apdu[3] != 0 || apdu[4] != 0 || apdu[5] != 0 || !IsUCode(c1)) return false;
    out.kind = EFrameKind::U;
    out.ucode = c1;
    return true;
}

std::string UName(uint8_t ucode) {
    switch (ucode) {
        case kStartdtAct:
            return "STARTDT act";
        case kStartdtCon:
            return "STARTDT con";
        case kStopdtAct:
            return "STOPDT act";
        case kStopdtCon:
            return "STOPDT con";
        case kTestfrAct:
            return "TESTFR act";
        case kTestfrCon:
            return "TESTFR con";
        default:
            return Fmt("U?%02X", ucode);
    }
}

size_t TFrameReader::Feed(const uint8_t* data, size_t n) {
    size_t take = std::min(n, sizeof buf_ - len_);
    if (take > 0) std::memcpy(buf_ + len_, data, take);
    len_ += take;
    return take;
}

TFrameReader::EResult TFrameReader::Next(TBytes& frame) {
    if (error_ != EResult::NeedMore) return error_;
    if (len_ == 0) return EResult::NeedMore;
    if (buf_[0] != kStartOctet) return error_ = EResult::BadStart;
    if (len_ < 2) return EResult::NeedMore;
    size_t l = buf_[1];
    if (l < 4 || l > kMaxApduLength) return error_ = EResult::BadLength;
    if (len_ < l + 2) return EResult::NeedMore;
    frame.assign(buf_, buf_ + l + 2);
    std::memmove(buf_, buf_ + l + 2, len_ - (l + 2));
    len_ -= l + 2;
    return EResult::Frame;
}

const TTypeInfo* FindType(uint8_t code) {
    for (const auto& t : kTypes)
        if (t.code == code) return &t;
    return nullptr;
}

bool ParseAsduHeader(const uint8_t* a, size_t len, TAsduHeader& h) {
    if (len < kAsduHeaderLength) return false;
    h.type = a[0];
    h.sq = (a[1] & 0x80) != 0;
    h.count = a[1] & 0x7F;
    h.cot = a[2] & 0x3F;
    h.negative = (a[2] & kCotNegative) != 0;
    h.test = (a[2] & kCotTest) != 0;
    h.originator = a[3];
    h.commonAddress = static_cast<uint16_t>(GetU16(&a[4]));
    return true;
}

bool AsduBodyFits(const TAsduHeader& h, size_t asduLen) {
    const TTypeInfo* t = FindType(h.type);
    if (t == nullptr || asduLen < kAsduHeaderLength || h.count == 0) return false;
    size_t body = asduLen - kAsduHeaderLength;
    size_t need = h.sq ? kIoaLength + h.count * t->elementLength + t->timeLength
                       : h.count * (kIoaLength + t->elementLength + t->timeLength);
    return body == need;
}

uint32_t ReadIoa(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16);
}

void PutIoa(uint8_t* p, uint32_t ioa) {
    p[0] = static_cast<uint8_t>(ioa & 0xFF);
    p[1] = static_cast<uint8_t>((ioa >> 8) & 0xFF);
    p[2] = static_cast<uint8_t>((ioa >> 16) & 0xFF);
}

std::string DescribeAsdu(const uint8_t* a, size_t len) {
    TAsduHeader h;
    if (!ParseAsduHeader(a, len, h)) return "asdu=short(" + HexBytes(a, len) + ")";
    const TTypeInfo* t = FindType(h.type);
    std::string s = Fmt("type=%s(%d) sq=%d n=%d cot=%d pn=%d test=%d oa=%d ca=%d",
                        t ? t->name : "?", h.type, h.sq ? 1 : 0, h.count, h.cot, h.negative ? 1 : 0,
                        h.test ? 1 : 0, h.originator, h.commonAddress);
    if (!AsduBodyFits(h, len)) {
        return s + " badsize body=" + HexBytes(a + kAsduHeaderLength, len - kAsduHeaderLength);
    }
    const uint8_t* p = a + kAsduHeaderLength;
    uint32_t base = ReadIoa(p);
    constexpr int kShown = 4;  // objects written out in full; the rest are counted
    for (int i = 0; i < h.count && i < kShown; ++i) {
        uint32_t ioa;
        const uint8_t* e;
        if (h.sq) {
            ioa = base + static_cast<uint32_t>(i);
            e = p + kIoaLength + i * t->elementLength;
        } else {
            const uint8_t* o = p + i * (kIoaLength + t->elementLength + t->timeLength);
            ioa = ReadIoa(o);
            e = o + kIoaLength;
        }
        std::string el = DescribeElement(h.type, e);
        if (el.empty()) el = "raw=" + HexBytes(e, t->elementLength);
        s += Fmt(" ioa=%u ", static_cast<unsigned>(ioa)) + el;
    }
    if (h.count > kShown) s += Fmt(" ...+%d", h.count - kShown);
    if (t->timeLength > 0) {
        const uint8_t* tm = h.sq ? a + len - t->timeLength : p + kIoaLength + t->elementLength;
        s += " time=" + HexBytes(tm, t->timeLength);
    }
    return s;
}

std::string DescribeApdu(const uint8_t* apdu, size_t len) {
    TApci c;
    if (!ParseApci(apdu, len, c)) return "BAD " + HexBytes(apdu, len);
    switch (c.kind) {
        case EFrameKind::U:
            return "U " + UName(c.ucode);
        case EFrameKind::S:
            return Fmt("S nr=%d", c.nr);
        case EFrameKind::I:
            break;
    }
    return Fmt("I ns=%d nr=%d ", c.ns, c.nr) + DescribeAsdu(apdu + 6, len - 6);
}

TBytes MirrorAsdu(const TBytes& asdu, uint8_t cot, bool negative) {
    TBytes m = asdu;
    if (m.size() >= 3)
        m[2] =
            static_cast<uint8_t>((m[2] & kCotTest) | (cot & 0x3F) | (negative ? kCotNegative : 0));
    return m;
}

TAsduBuilder::TAsduBuilder(uint8_t type, uint8_t cot, uint16_t commonAddress, bool sq,
                           uint8_t originator)
    : info_(FindType(type)), sq_(sq) {
    out_ = {type, 0, cot, originator, 0, 0};
    PutU16(&out_[4], commonAddress);
}

int TAsduBuilder::Capacity(uint8_t type, bool sq) {
    const TTypeInfo* t = FindType(type);
    if (t == nullptr) return 0;
    size_t room = kMaxAsduLength - kAsduHeaderLength;
    size_t n;
    if (sq) {
        if (t->elementLength == 0) return 1;
        n = (room - kIoaLength - t->timeLength) / t->elementLength;
    } else {
        n = room / (kIoaLength + t->elementLength + t->timeLength);
    }
    return static_cast<int>(std::min<size_t>(n, 127));
}

bool TAsduBuilder::Add(uint32_t ioa, const uint8_t* element, const uint8_t* time) {
    if (info_ == nullptr || count_ >= Capacity(info_->code, sq_)) return false;
    uint8_t a[kIoaLength];
    PutIoa(a, ioa);
    if (!sq_ || count_ == 0) out_.insert(out_.end(), a, a + kIoaLength);
    if (info_->elementLength > 0) out_.insert(out_.end(), element, element + info_->elementLength);
    if (info_->timeLength > 0) {
        if (time != nullptr) std::memcpy(time_, time, info_->timeLength);
        if (!sq_) out_.insert(out_.end(), time_, time_ + info_->timeLength);
    }
    ++count_;
    return true;
}

TBytes TAsduBuilder::Finish() {
    TBytes r = out_;
    r[1] = static_cast<uint8_t>((sq_ ? 0x80 : 0) | (count_ & 0x7F));
    if (sq_ && info_ != nullptr && info_->timeLength > 0 && count_ > 0)
        r.insert(r.end(), time_, time_ + info_->timeLength);
    return r;
}

bool ParsePointType(const std::string& s, EPointType& out) {
    static constexpr struct {
        const char* name;
        EPointType t;
    } kNames[] = {{"sp", EPointType::Sp},       {"dp", EPointType::Dp},   {"st", EPointType::St},
                  {"bo", EPointType::Bo},       {"nva", EPointType::Nva}, {"sva", EPointType::Sva},
                  {"float", EPointType::Float}, {"it", EPointType::It}};
    for (const auto& n : kNames)
        if (s == n.name) {
            out = n.t;
            return true;
        }
    return false;
}

bool ParseTimeTag(const std::string& s, ETimeTag& out) {
    if (s == "none")
        out = ETimeTag::None;
    else if (s == "cp24")
        out = ETimeTag::Cp24;
    else if (s == "cp56")
        out = ETimeTag::Cp56;
    else
        return false;
    return true;
}

const char* PointTypeName(EPointType t) {
    switch (t) {
        case EPointType::Sp:
            return "sp";
        case EPointType::Dp:
            return "dp";
        case EPointType::St:
            return "st";
        case EPointType::Bo:
            return "bo";
        case EPointType::Nva:
            return "nva";
        case EPointType::Sva:
            return "sva";
        case EPointType::Float:
            return "float";
        case EPointType::It:
            return "it";
    }
    return "?";
}

bool IsTwoStateType(EPointType t) {
    return t == EPointType::Sp || t == EPointType::Dp;
}

uint8_t MonitorTypeCode(EPointType t, ETimeTag time) {
    // {no time, CP24Time2a, CP56Time2a}
    static constexpr uint8_t kCodes[8][3] = {{1, 2, 30},  {3, 4, 31},   {5, 6, 32},   {7, 8, 33},
                                             {9, 10, 34}, {11, 12, 35}, {13, 14, 36}, {15, 16, 37}};
    return kCodes[static_cast<int>(t)][static_cast<int>(time)];
}

size_t EncodeElement(EPointType t, double v, uint8_t quality, uint8_t* out) {
    const uint8_t qds = quality & 0xF1;
    switch (t) {
        case EPointType::Sp:
            out[0] = static_cast<uint8_t>((v != 0 ? 1 : 0) | (quality & 0xF0));
            return 1;
        case EPointType::Dp:
            out[0] = static_cast<uint8_t>((v != 0 ? 2 : 1) | (quality & 0xF0));
            return 1;
        case EPointType::St: {
            double c = std::clamp(std::round(v == v ? v : 0), -64.0, 63.0);
            out[0] = static_cast<uint8_t>(static_cast<int>(c) & 0x7F);
            out[1] = qds;
            return 2;
        }
        case EPointType::Bo: {
            double c = std::clamp(v == v ? v : 0, 0.0, 4294967295.0);
            PutU32(out, static_cast<uint32_t>(c));
            out[4] = qds;
            return 5;
        }
        case EPointType::Nva:
            PutU16(out, static_cast<uint16_t>(ClampI16(v * 32768.0)));
            out[2] = qds;
            return 3;
        case EPointType::Sva:
            PutU16(out, static_cast<uint16_t>(ClampI16(v)));
            out[2] = qds;
            return 3;
        case EPointType::Float: {
            float f = static_cast<float>(v);
            uint32_t raw;
            std::memcpy(&raw, &f, 4);
            PutU32(out, raw);
            out[4] = qds;
            return 5;
        }
        case EPointType::It: {
            double c = std::clamp(std::round(v == v ? v : 0), -2147483648.0, 2147483647.0);
            PutU32(out, static_cast<uint32_t>(static_cast<int32_t>(c)));
            out[4] = static_cast<uint8_t>(quality & 0xE0);  // IV, CA, CY; sequence number 0
            return 5;
        }
    }
    return 0;
}

void EncodeCp56(TDateTime dt, uint8_t out[7]) {
    TDateTimeParts p = DecodeDateTime(dt);
    PutU16(out, static_cast<unsigned>(p.second * 1000 + p.msec));
    out[2] = static_cast<uint8_t>(p.minute & 0x3F);
    out[3] = static_cast<uint8_t>(p.hour & 0x1F);
    out[4] = static_cast<uint8_t>(p.day & 0x1F);
    out[5] = static_cast<uint8_t>(p.month & 0x0F);
    out[6] = static_cast<uint8_t>((p.year % 100) & 0x7F);
}

void EncodeCp24(TDateTime dt, uint8_t out[3]) {
    uint8_t full[7];
    EncodeCp56(dt, full);
    std::memcpy(out, full, 3);
}

std::string HexBytes(const uint8_t* p, size_t n) {
    std::string s;
    s.reserve(n * 3);
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (size_t i = 0; i < n; ++i) {
        if (i) s += ' ';
        s += kHex[p[i] >> 4];
        s += kHex[p[i] & 15];
    }
    return s;
}

}  // namespace telegate::sim
