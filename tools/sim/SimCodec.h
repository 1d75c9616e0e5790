// Wire coding of the simulated controlled station: APCI frames (I, S, U), ASDU
// headers with 2-octet cause of transmission and common address and 3-octet object
// addresses, information elements of the monitoring types and the time tags.
//
// This is written apart from the master's codec on purpose, so that each checks the
// other's octets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/DateTime.h"

namespace telegate::sim {

using TBytes = std::vector<uint8_t>;

constexpr uint8_t kStartOctet = 0x68;
constexpr size_t kMaxApduLength = 253;  // the length octet, control field included
constexpr size_t kMaxAsduLength = kMaxApduLength - 4;
constexpr size_t kAsduHeaderLength = 6;  // type, qualifier, 2 COT, 2 common address
constexpr size_t kIoaLength = 3;
constexpr uint16_t kSeqModulo = 32768;

// Whole first control octets of the six U frames.
constexpr uint8_t kStartdtAct = 0x07;
constexpr uint8_t kStartdtCon = 0x0B;
constexpr uint8_t kStopdtAct = 0x13;
constexpr uint8_t kStopdtCon = 0x23;
constexpr uint8_t kTestfrAct = 0x43;
constexpr uint8_t kTestfrCon = 0x83;

// Causes of transmission (low six bits of the first COT octet).
constexpr uint8_t kCotSpontaneous = 3;
constexpr uint8_t kCotInitialised = 4;
constexpr uint8_t kCotActivation = 6;
constexpr uint8_t kCotActCon = 7;
constexpr uint8_t kCotDeactivation = 8;
constexpr uint8_t kCotDeactCon = 9;
constexpr uint8_t kCotActTerm = 10;
constexpr uint8_t kCotInterrogated = 20;
constexpr uint8_t kCotUnknownType = 44;
constexpr uint8_t kCotUnknownCause = 45;
constexpr uint8_t kCotUnknownCommonAddress = 46;
constexpr uint8_t kCotUnknownObjectAddress = 47;
constexpr uint8_t kCotNegative = 0x40;  // P/N bit
constexpr uint8_t kCotTest = 0x80;

// Type identifications the station produces or understands.
constexpr uint8_t kM_EI_NA = 70;
constexpr uint8_t kC_SC_NA = 45;
constexpr uint8_t kC_IC_NA = 100;
constexpr uint8_t kC_CS_NA = 103;
constexpr uint8_t kC_TS_NA = 104;
constexpr uint8_t kC_TS_TA = 107;

constexpr uint16_t kBroadcastAddress = 0xFFFF;

// 15-bit sequence arithmetic.
inline uint16_t SeqNext(uint16_t n) {
    return static_cast<uint16_t>((n + 1) % kSeqModulo);
}
// Steps from a forward to b, modulo 32768.
inline uint16_t SeqForward(uint16_t a, uint16_t b) {
    return static_cast<uint16_t>((b + kSeqModulo - a) % kSeqModulo);
}

enum class EFrameKind { I, S, U };

struct TApci {
    EFrameKind kind = EFrameKind::U;
    uint16_t ns = 0;    // I frames
    uint16_t nr = 0;    // I and S frames
    uint8_t ucode = 0;  // U frames: the whole first control octet
};

TBytes MakeUFrame(uint8_t ucode);
TBytes MakeSFrame(uint16_t nr);
// An I frame around an ASDU of at most kMaxAsduLength octets (longer ones are cut).
TBytes MakeIFrame(uint16_t ns, uint16_t nr, const TBytes& asdu);

// Reads the control field of one complete APDU (starting with the start octet).
// False when the APDU is shorter than 6 octets, the length octet disagrees with
// `len`, or a U frame is malformed (not exactly one function, non-zero octets 3..5,
// or carrying an ASDU). S frames must carry no ASDU either.
bool ParseApci(const uint8_t* apdu, size_t len, TApci& out);
// "STARTDT act", "TESTFR con", ... or "U?xx" for an unknown code.
std::string UName(uint8_t ucode);

// Cuts APDUs out of a byte stream. Holds at most one incomplete APDU.
class TFrameReader {
  public:
    enum class EResult { Frame, NeedMore, BadStart, BadLength };
    // Appends up to `n` octets; returns how many were taken (less than n when the
    // buffer is full; call Next() until NeedMore and offer the rest again).
    size_t Feed(const uint8_t* data, size_t n);
    // The next complete APDU, copied to `frame`. After BadStart or BadLength the
    // stream cannot be resynchronised; the reader stays in that error.
    EResult Next(TBytes& frame);
    size_t Buffered() const { return len_; }

  private:
    uint8_t buf_[2 * (kMaxApduLength + 2)] = {};
    size_t len_ = 0;
    EResult error_ = EResult::NeedMore;
};

// Static facts about one type identification.
struct TTypeInfo {
    uint8_t code = 0;
    const char* name = "";
    uint8_t elementLength = 0;  // information element without object address and time tag
    uint8_t timeLength = 0;     // 0, 3 or 7
};
// Null when the code is not one the station knows.
const TTypeInfo* FindType(uint8_t code);

// The header of an ASDU.
struct TAsduHeader {
    uint8_t type = 0;
    bool sq = false;
    uint8_t count = 0;  // 0..127
    uint8_t cot = 0;    // cause (6 bits)
    bool negative = false;
    bool test = false;
    uint8_t originator = 0;
    uint16_t commonAddress = 0;
};

// Parses the 6-octet header; false when the ASDU is shorter.
bool ParseAsduHeader(const uint8_t* asdu, size_t len, TAsduHeader& out);
// True when the body length matches count, SQ and the element sizes of a known type.
bool AsduBodyFits(const TAsduHeader& h, size_t asduLen);
// One line describing a received or sent ASDU.
std::string DescribeAsdu(const uint8_t* asdu, size_t len);
// One line describing an APDU: "U STARTDT act", "S nr=5", "I ns=0 nr=0 <asdu>".
std::string DescribeApdu(const uint8_t* apdu, size_t len);

uint32_t ReadIoa(const uint8_t* p);
void PutIoa(uint8_t* p, uint32_t ioa);

// A copy of `asdu` with its cause replaced (P/N bit as given, test bit kept).
TBytes MirrorAsdu(const TBytes& asdu, uint8_t cot, bool negative);

// Builds one ASDU. With SQ the first object address is written once and the time tag,
// when the type has one, once at the end (common to all elements).
class TAsduBuilder {
  public:
    TAsduBuilder(uint8_t type, uint8_t cot, uint16_t commonAddress, bool sq,
                 uint8_t originator = 0);
    // Adds one object; the element and time tag lengths come from the type. With SQ
    // only the first object's address is used. Returns false (nothing added) when the
    // object does not fit or 127 objects are already there.
    bool Add(uint32_t ioa, const uint8_t* element, const uint8_t* time = nullptr);
    // The number of objects of this type that fit in one ASDU.
    static int Capacity(uint8_t type, bool sq);
    int Count() const { return count_; }
    TBytes Finish();

  private:
    TBytes out_;
    const TTypeInfo* info_;
    bool sq_;
    int count_ = 0;
    uint8_t time_[7] = {};
};

// The point kinds the station can send, and the time tag it attaches.
enum class EPointType { Sp, Dp, St, Bo, Nva, Sva, Float, It };
enum class ETimeTag { None, Cp24, Cp56 };

bool ParsePointType(const std::string& s, EPointType& out);
bool ParseTimeTag(const std::string& s, ETimeTag& out);
const char* PointTypeName(EPointType t);
bool IsTwoStateType(EPointType t);
// The type identification of a point type with a time tag.
uint8_t MonitorTypeCode(EPointType t, ETimeTag time);
// Writes the information element of a value with quality bits `quality` (the high
// bits of the quality octet: IV 80, NT 40, SB 20, BL 10, OV 01). Returns its length.
size_t EncodeElement(EPointType t, double value, uint8_t quality, uint8_t* out);

// CP56Time2a (7 octets) and CP24Time2a (3 octets) of a local date-time; the day of
// week is left 0 (not used), the invalid and summer-time bits clear.
void EncodeCp56(TDateTime dt, uint8_t out[7]);
void EncodeCp24(TDateTime dt, uint8_t out[3]);

std::string HexBytes(const uint8_t* p, size_t n);

}  // namespace telegate::sim
