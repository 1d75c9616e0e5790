#include "iec104/FrameText.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "model/TypeCatalogue.h"

namespace telegate {

namespace {

// How one type's information element is laid out and shown.
enum class TElem : uint8_t {
    None,   // unknown type: no objects are decoded
    Siq,    // single point with quality (1 octet)
    Diq,    // double point with quality (1 octet)
    Vti,    // step position + QDS (2)
    Bsi,    // bit string 32 + QDS (5)
    Nva,    // normalised value + QDS (3)
    NvaNq,  // normalised value without quality (2)
    Sva,    // scaled value + QDS (3)
    Flt,    // short float + QDS (5)
    Bcr,    // integrated total (5)
    Sco,    // single command (1)
    Dco,    // double command (1)
    Rco,    // regulating step command (1)
    Qoi,    // interrogation qualifier (1)
    Qcc,    // counter interrogation qualifier (1)
    Coi,    // cause of initialisation (1)
    Clock,  // clock synchronisation: the time tag is the element
};

struct TTypeShape {
    TElem elem = TElem::None;
    int timeLen = 0;  // 0, 3 or 7
};

TTypeShape ShapeOf(int type) {
    switch (type) {
        case 1:
            return {TElem::Siq, 0};
        case 2:
            return {TElem::Siq, 3};
        case 3:
            return {TElem::Diq, 0};
        case 4:
            return {TElem::Diq, 3};
        case 5:
            return {TElem::Vti, 0};
        case 6:
            return {TElem::Vti, 3};
        case 7:
            return {TElem::Bsi, 0};
        case 8:
            return {TElem::Bsi, 3};
        case 9:
            return {TElem::Nva, 0};
        case 10:
            return {TElem::Nva, 3};
        case 11:
            return {TElem::Sva, 0};
        case 12:
            return {TElem::Sva, 3};
        case 13:
            return {TElem::Flt, 0};
        case 14:
            return {TElem::Flt, 3};
        case 15:
            return {TElem::Bcr, 0};
        case 16:
            return {TElem::Bcr, 3};
        case 21:
            return {TElem::NvaNq, 0};
        case 30:
            return {TElem::Siq, 7};
        case 31:
            return {TElem::Diq, 7};
        case 32:
            return {TElem::Vti, 7};
        case 33:
            return {TElem::Bsi, 7};
        case 34:
            return {TElem::Nva, 7};
        case 35:
            return {TElem::Sva, 7};
        case 36:
            return {TElem::Flt, 7};
        case 37:
            return {TElem::Bcr, 7};
        case 45:
            return {TElem::Sco, 0};
        case 46:
            return {TElem::Dco, 0};
        case 47:
            return {TElem::Rco, 0};
        case 58:
            return {TElem::Sco, 7};
        case 59:
            return {TElem::Dco, 7};
        case 60:
            return {TElem::Rco, 7};
        case 70:
            return {TElem::Coi, 0};
        case 100:
            return {TElem::Qoi, 0};
        case 101:
            return {TElem::Qcc, 0};
        case 103:
            return {TElem::Clock, 7};
        default:
            return {};
    }
}

int ElemSize(TElem e) {
    switch (e) {
        case TElem::Vti:
        case TElem::NvaNq:
            return 2;
        case TElem::Nva:
        case TElem::Sva:
            return 3;
        case TElem::Bsi:
        case TElem::Flt:
        case TElem::Bcr:
            return 5;
        case TElem::None:
        case TElem::Clock:
            return 0;
        default:
            return 1;
    }
}

// Mnemonics of the standard, for use without a catalogue.
const char* StandardMnemonic(int type) {
    switch (type) {
        case 1:
            return "M_SP_NA_1";
        case 2:
            return "M_SP_TA_1";
        case 3:
            return "M_DP_NA_1";
        case 4:
            return "M_DP_TA_1";
        case 5:
            return "M_ST_NA_1";
        case 6:
            return "M_ST_TA_1";
        case 7:
            return "M_BO_NA_1";
        case 8:
            return "M_BO_TA_1";
        case 9:
            return "M_ME_NA_1";
        case 10:
            return "M_ME_TA_1";
        case 11:
            return "M_ME_NB_1";
        case 12:
            return "M_ME_TB_1";
        case 13:
            return "M_ME_NC_1";
        case 14:
            return "M_ME_TC_1";
        case 15:
            return "M_IT_NA_1";
        case 16:
            return "M_IT_TA_1";
        case 21:
            return "M_ME_ND_1";
        case 30:
            return "M_SP_TB_1";
        case 31:
            return "M_DP_TB_1";
        case 32:
            return "M_ST_TB_1";
        case 33:
            return "M_BO_TB_1";
        case 34:
            return "M_ME_TD_1";
        case 35:
            return "M_ME_TE_1";
        case 36:
            return "M_ME_TF_1";
        case 37:
            return "M_IT_TB_1";
        case 45:
            return "C_SC_NA_1";
        case 46:
            return "C_DC_NA_1";
        case 47:
            return "C_RC_NA_1";
        case 58:
            return "C_SC_TA_1";
        case 59:
            return "C_DC_TA_1";
        case 60:
            return "C_RC_TA_1";
        case 70:
            return "M_EI_NA_1";
        case 100:
            return "C_IC_NA_1";
        case 101:
            return "C_CI_NA_1";
        case 103:
            return "C_CS_NA_1";
        default:
            return nullptr;
    }
}

void Append(std::string& out, const char* fmt, auto... args) {
    char buf[96];
    const int n = std::snprintf(buf, sizeof buf, fmt, args...);
    if (n > 0)
        out.append(buf, static_cast<size_t>(n < static_cast<int>(sizeof buf) ? n : sizeof buf - 1));
}

uint32_t Le(const uint8_t* p, int n) {
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

// CP56Time2a / CP24Time2a as text; the short form has minutes and milliseconds only.
void AppendTimeTag(std::string& out, const uint8_t* p, int len) {
    const unsigned ms = p[0] | (p[1] << 8);
    const unsigned minute = p[2] & 0x3F;
    const bool invalid = (p[2] & 0x80) != 0;
    if (len == 7) {
        Append(out, " t=%04u-%02u-%02u %02u:%02u:%02u.%03u", 2000u + (p[6] & 0x7F), p[5] & 0x0Fu,
               p[4] & 0x1Fu, p[3] & 0x1Fu, minute, ms / 1000, ms % 1000);
        if ((p[3] & 0x80) != 0) out += " SU";
    } else {
        Append(out, " t=xx:%02u:%02u.%03u", minute, ms / 1000, ms % 1000);
    }
    if (invalid) out += " IV";
}

void AppendQuality(std::string& out, uint8_t qds) {
    const std::string letters = QualityLetters(qds);
    if (!letters.empty()) {
        out += " q=";
        out += letters;
    }
}

// One information element; p has ElemSize(e) octets.
void AppendElem(std::string& out, TElem e, const uint8_t* p) {
    switch (e) {
        case TElem::Siq:
            Append(out, " v=%u", p[0] & 1u);
            AppendQuality(out, p[0] & 0xF0);
            break;
        case TElem::Diq: {
            static const char* kDp[] = {"indet0", "off", "on", "indet3"};
            out += " v=";
            out += kDp[p[0] & 3];
            AppendQuality(out, p[0] & 0xF0);
            break;
        }
        case TElem::Vti: {
            int v = p[0] & 0x7F;
            if (v & 0x40) v -= 0x80;
            Append(out, " v=%d", v);
            if (p[0] & 0x80) out += " transient";
            AppendQuality(out, p[1]);
            break;
        }
        case TElem::Bsi:
            Append(out, " v=%08" PRIX32 "H", Le(p, 4));
            AppendQuality(out, p[4]);
            break;
        case TElem::Nva:
        case TElem::NvaNq: {
            const auto raw = static_cast<int16_t>(Le(p, 2));
            Append(out, " v=%.5f", raw / 32768.0);
            if (e == TElem::Nva) AppendQuality(out, p[2]);
            break;
        }
        case TElem::Sva:
            Append(out, " v=%d", static_cast<int16_t>(Le(p, 2)));
            AppendQuality(out, p[2]);
            break;
        case TElem::Flt: {
            const uint32_t bits = Le(p, 4);
            float f = 0;
            std::memcpy(&f, &bits, sizeof f);
            Append(out, " v=%.7g", static_cast<double>(f));
            AppendQuality(out, p[4]);
            break;
        }
        case TElem::Bcr: {
            Append(out, " v=%" PRId32 " sq=%u", static_cast<int32_t>(Le(p, 4)), p[4] & 0x1Fu);
            std::string flags;
            if (p[4] & 0x20) flags += " CY";
            if (p[4] & 0x40) flags += " CA";
            if (p[4] & 0x80) flags += " IV";
            if (!flags.empty()) out += " q=" + flags.substr(1);
            break;
        }
        case TElem::Sco:
        case TElem::Dco:
        case TElem::Rco: {
            const unsigned state = e == TElem::Sco ? (p[0] & 1u) : (p[0] & 3u);
            Append(out, " v=%u qu=%u %s", state, (p[0] >> 2) & 0x1Fu,
                   (p[0] & 0x80) ? "select" : "execute");
            break;
        }
        case TElem::Qoi:
            Append(out, " qoi=%u", p[0]);
            break;
        case TElem::Qcc:
            Append(out, " qcc=%u", p[0]);
            break;
        case TElem::Coi:
            Append(out, " coi=%u", p[0] & 0x7Fu);
            break;
        case TElem::None:
        case TElem::Clock:
            break;
    }
}

void AppendHex(std::string& out, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) Append(out, i == 0 ? "%02X" : " %02X", p[i]);
}

}  // namespace

std::string QualityLetters(uint8_t qds) {
    static constexpr struct {
        uint8_t bit;
        const char* text;
    } kBits[] = {{0x80, "IV"}, {0x40, "NT"}, {0x20, "SB"}, {0x10, "BL"}, {0x01, "OV"}};
    std::string out;
    for (const auto& b : kBits) {
        if ((qds & b.bit) == 0) continue;
        if (!out.empty()) out += ' ';
        out += b.text;
    }
    return out;
}

std::string RenderFrameLine(TDateTime time, TFrameDir dir, std::span<const uint8_t> apdu,
                            const TFrameLayout& layout, const TTypeIdentList* types) {
    std::string out;
    out.reserve(128);
    out += FormatTimeMs(time);
    out += dir == TFrameDir::Received ? " RX " : " TX ";
    const uint8_t* a = apdu.data();
    const size_t n = apdu.size();
    if (n < 6 || a[0] != 0x68 || a[1] != n - 2) {
        out += "malformed (";
        Append(out, "%zu octets): ", n);
        AppendHex(out, a, n < 32 ? n : 32);
        if (n > 32) out += " ...";
        return out;
    }
    const uint8_t c1 = a[2];
    if ((c1 & 1) == 0) {
        Append(out, "I N(S)=%u N(R)=%u", (a[2] >> 1) | (a[3] << 7), (a[4] >> 1) | (a[5] << 7));
    } else if ((c1 & 3) == 1) {
        Append(out, "S N(R)=%u", (a[4] >> 1) | (a[5] << 7));
        return out;
    } else {
        static constexpr struct {
            uint8_t code;
            const char* text;
        } kU[] = {{0x07, "STARTDT act"}, {0x0B, "STARTDT con"}, {0x13, "STOPDT act"},
                  {0x23, "STOPDT con"},  {0x43, "TESTFR act"},  {0x83, "TESTFR con"}};
        for (const auto& u : kU)
            if (u.code == c1) {
                out += "U ";
                out += u.text;
                return out;
            }
        Append(out, "U unknown %02XH", c1);
        return out;
    }
    // The ASDU.
    const int szCOT = layout.szCOT == 1 ? 1 : 2;
    const int szCA = layout.szCA == 1 ? 1 : 2;
    const int szIOA = layout.szIOA >= 1 && layout.szIOA <= 3 ? layout.szIOA : 3;
    const size_t head = 6 + 2 + static_cast<size_t>(szCOT + szCA);
    if (n < head) {
        out += " short ASDU: ";
        AppendHex(out, a + 6, n - 6);
        return out;
    }
    const int type = a[6];
    const uint8_t vsq = a[7];
    const int count = vsq & 0x7F;
    const bool sq = (vsq & 0x80) != 0;
    const char* mnemonic = StandardMnemonic(type);
    std::string fromCatalogue;
    if (types != nullptr) {
        if (const TTypeIdent* t = types->FindTypeIdent(type); t != nullptr && t->Name != M_EMPTY) {
            fromCatalogue = NameTypeIdentText(t->Name);
            if (!fromCatalogue.empty()) fromCatalogue += "_1";
        }
    }
    out += ' ';
    if (!fromCatalogue.empty()) {
        out += fromCatalogue;
    } else if (mnemonic != nullptr) {
        out += mnemonic;
    } else {
        out += "type";
    }
    Append(out, "(%d)", type);
    const int cause = a[8] & 0x3F;
    Append(out, " COT=%d", cause);
    if (types != nullptr)
        if (const std::string* text = types->GetCotText(cause); text != nullptr && !text->empty())
            out += " (" + *text + ")";
    if (a[8] & 0x80) out += " T";
    if (a[8] & 0x40) out += " P/N=neg";
    if (szCOT == 2) Append(out, " OA=%u", a[9]);
    Append(out, " CA=%u", static_cast<unsigned>(Le(a + 6 + 2 + szCOT, szCA)));
    Append(out, " n=%d%s", count, sq ? " SQ" : "");
    const TTypeShape shape = ShapeOf(type);
    const int elem = ElemSize(shape.elem);
    const size_t perObject = static_cast<size_t>(elem + shape.timeLen);
    if (shape.elem == TElem::None) {
        out += " : ";
        AppendHex(out, a + head, n - head);
        return out;
    }
    size_t pos = head;
    uint32_t ioa = 0;
    for (int i = 0; i < count; ++i) {
        if (i >= kFrameTextMaxObjects) {
            Append(out, " ... +%d", count - i);
            break;
        }
        const bool withAddress = !sq || i == 0;
        if (pos + (withAddress ? static_cast<size_t>(szIOA) : 0) + perObject > n) {
            Append(out, " | truncated after %d of %d objects", i, count);
            return out;
        }
        if (withAddress) {
            ioa = Le(a + pos, szIOA);
            pos += static_cast<size_t>(szIOA);
        } else {
            ++ioa;
        }
        Append(out, " | IOA=%" PRIu32, ioa);
        AppendElem(out, shape.elem, a + pos);
        pos += static_cast<size_t>(elem);
        if (shape.timeLen > 0) AppendTimeTag(out, a + pos, shape.timeLen);
        pos += static_cast<size_t>(shape.timeLen);
    }
    if (pos < n && count <= kFrameTextMaxObjects) Append(out, " | %zu extra octets", n - pos);
    return out;
}

}  // namespace telegate
