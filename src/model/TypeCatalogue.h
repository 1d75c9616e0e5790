// The catalogue of ASDU type identifications: code, mnemonic, object and time-tag
// sizes, value and quality encodings, and a description for journal lines. Also the
// cause-of-transmission texts and the two readers every information object needs:
// the object-address reader and the time-tag decoder.
//
// The catalogue lives with the data model because the tags decode stored values by
// these enumerations; the protocol stack above looks types up here.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "support/Clock.h"
#include "support/DateTime.h"
#include "support/Notifier.h"
#include "support/Journal.h"

namespace telegate {

// Mnemonics, in this order (0..73).
enum NameTypeIdent : uint8_t {
    M_EMPTY,
    M_SP_NA,
    M_SP_TA,
    M_DP_NA,
    M_DP_TA,
    M_ST_NA,
    M_ST_TA,
    M_BO_NA,
    M_BO_TA,
    M_ME_NA,
    M_ME_TA,
    M_ME_NB,
    M_ME_TB,
    M_ME_NC,
    M_ME_TC,
    M_IT_NA,
    M_IT_TA,
    M_EP_TA,
    M_EP_TB,
    M_EP_TC,
    M_PS_NA,
    M_ME_ND,
    M_SP_TB,
    M_DP_TB,
    M_ST_TB,
    M_BO_TB,
    M_ME_TD,
    M_ME_TE,
    M_ME_TF,
    M_IT_TB,
    M_EP_TD,
    M_EP_TE,
    M_EP_TF,
    C_SC_NA,
    C_DC_NA,
    C_RC_NA,
    C_SE_NA,
    C_SE_NB,
    C_SE_NC,
    C_BO_NA,
    M_EI_NA,
    C_IC_NA,
    C_CI_NA,
    C_SC_TA,
    C_DC_TA,
    C_RC_TA,
    C_SE_TA,
    C_SE_TB,
    C_SE_TC,
    C_BO_TA,
    C_RD_NA,
    C_CS_NA,
    C_TS_NA,
    C_RP_NA,
    C_CD_NA,
    C_TS_TA,
    P_ME_NA,
    P_ME_NB,
    P_ME_NC,
    P_AC_NA,
    F_FR_NA,
    F_SR_NA,
    F_SC_NA,
    F_LS_NA,
    F_AF_NA,
    F_SG_NA,
    F_DR_NA,
    M_BO_TC,
    M_ME_NE,
    M_ME_TI,
    M_ME_TJ,
    M_CB_TA,
    M_CB_TB,
    M_CB_TC
};
constexpr int kNameTypeIdentCount = 74;

// Encoding of the value octets.
enum TDataType : uint8_t {
    U0,
    TS1,
    TS2,
    TS8,
    TS32,
    TS16IZM,
    BS8,
    U1,
    U2,
    I32,
    U5,
    U6,
    U7,
    I16,
    F16,
    F4,
    RZ3,
    CSC,
    CDC,
    CRC,
    CI2
};

// Layout of the quality information.
enum TQualityType : uint8_t { Q0, QTS1, QTS2, Q1, QBITS, Q8TII, Q8I, Q8R, Q8F, Q1S };

// The mnemonic as text ("M_SP_NA"); "" for a value outside the enumeration.
const char* NameTypeIdentText(int name);

class TTypeIdent {
  public:
    TTypeIdent() = default;
    TTypeIdent(int32_t ACode, int32_t Aobjlen, int32_t Atimelen, NameTypeIdent AName,
               TDataType Adtype, TQualityType Aqtype, std::string AText)
        : Code(ACode),
          objlen(Aobjlen),
          timelen(Atimelen),
          dtype(Adtype),
          qtype(Aqtype),
          Name(AName),
          Text(std::move(AText)) {}

    int32_t Code = 0;
    int32_t objlen = 0;   // octets of one object without address and time tag
    int32_t timelen = 0;  // 0, 3 or 7
    TDataType dtype = U0;
    TQualityType qtype = Q0;
    NameTypeIdent Name = M_EMPTY;
    std::string Text;  // "(" + mnemonic + ") " + description
};

// Built once at start-up, read-only afterwards. Not copyable: entries are handed out
// by pointer.
class TTypeIdentList {
  public:
    static constexpr int kMaxIdentLen = 76;  // capacity of List
    static constexpr int kCotTextCount = 50;

    // Builds the 67 built-in entries and the cause texts. Errors of AddIdent (which
    // the built-in contents never cause) go to the notifier.
    explicit TTypeIdentList(INotifier& notifier);
    TTypeIdentList(const TTypeIdentList&) = delete;
    TTypeIdentList& operator=(const TTypeIdentList&) = delete;

    // Appends a copy of the entry. Returns the error text (empty on success); an error
    // is also shown as "ERROR: В файле u_TypeIdent " + text and the entry is not added.
    std::string AddIdent(const TTypeIdent& entry, INotifier& notifier);

    // First entry with that code (nullptr when none). O(1).
    const TTypeIdent* FindTypeIdent(int code) const {
        return (code >= 0 && code < 256) ? byCode_[static_cast<size_t>(code)] : nullptr;
    }
    // First entry with that mnemonic (nullptr when none). O(1).
    const TTypeIdent* FindTypeIdent(NameTypeIdent name) const {
        return name < kNameTypeIdentCount ? byName_[name] : nullptr;
    }

    int32_t GetCount() const { return Count; }
    const TTypeIdent* GetIdent(int ind) const {
        return (ind >= 0 && ind < Count) ? &List[static_cast<size_t>(ind)] : nullptr;
    }

    // Text of a cause of transmission (0..49); nullptr for any other value.
    const std::string* GetCotText(int cot) const {
        return (cot >= 0 && cot < kCotTextCount) ? &CotTexts[static_cast<size_t>(cot)] : nullptr;
    }

    std::array<TTypeIdent, kMaxIdentLen> List{};
    int32_t Count = 0;
    std::array<std::string, kCotTextCount> CotTexts{};

  private:
    std::array<const TTypeIdent*, 256> byCode_{};
    std::array<const TTypeIdent*, kNameTypeIdentCount> byName_{};
};

// Reads an information object address of szInfObjAddress octets (1..3) at pos, low
// octet first, and advances pos by that size. Any other size returns 0 and leaves pos
// unchanged. The caller guarantees that the octets are there.
inline int32_t GetObjAddress(const uint8_t* bytes, int32_t& pos, int32_t szInfObjAddress) {
    const uint8_t* p = bytes + pos;
    switch (szInfObjAddress) {
        case 1:
            pos += 1;
            return p[0];
        case 2:
            pos += 2;
            return p[0] | (p[1] << 8);
        case 3:
            pos += 3;
            return p[0] | (p[1] << 8) | (p[2] << 16);
        default:
            return 0;
    }
}

// Decodes a time tag of timelen octets (CP56Time2a; the shorter forms take the
// missing fields from the clock's local date and hour) at pos. Fields outside their
// ranges (year < 2001, month 0 or > 12, day 0, hour > 23, minute or second > 59):
// dt unchanged, true. A date that does not exist (31 April, 29 February of a common
// year): journal category 1 line, dt unchanged, false. Otherwise dt is set, true.
// The caller guarantees that timelen octets (at least 2) are there.
bool GetDate(const uint8_t* bytes, int32_t pos, TDateTime& dt, int32_t timelen, const IClock& clock,
             TMessBuff& journal);

}  // namespace telegate
