// One IEC 60870-5-104 APDU as it is on the wire, the coding of its control field
// (I, S and U formats), the 15-bit sequence arithmetic, and the queue of APDUs the
// link layer uses as its send window and as its receive queue.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace telegate {

class TIEC_ASDUt;

constexpr int32_t kApduSize = 11256;  // octets of the APDU image
constexpr uint8_t kApduStart = 0x68;
constexpr int32_t kSeqModulo = 32768;  // N(S) and N(R) are 0..32767

// U frame functions and their two forms.
enum U_Func : uint8_t { U_TESTFR, U_STOPDT, U_STARTDT };
enum UActCon : uint8_t { UACT, UCON };

// Function code of a U frame before OR 03H: STARTDT 04H/08H, STOPDT 10H/20H,
// TESTFR 40H/80H (activation/confirmation).
uint8_t UFuncCode(U_Func func, UActCon actCon);
// The function of a code (offset 2 AND FCH); false for a code that is none of the six.
bool DecodeUFunc(uint8_t code, U_Func& func, UActCon& actCon);

// Control-field format by offset 2: f = octet AND 03H; 1 is S, 3 is U, 0 and 2 are I.
enum TApciFormat : uint8_t { apf_I, apf_S, apf_U };
inline TApciFormat ApciFormat(uint8_t octet2) {
    const uint8_t f = octet2 & 0x03;
    return f == 1 ? apf_S : (f == 3 ? apf_U : apf_I);
}

// n + 1, and 0 after 32767.
inline int32_t SeqIncrement(int32_t n) {
    return n + 1 > kSeqModulo - 1 ? 0 : n + 1;
}
// a - b; a negative difference of more than 100 is taken across the wrap (+32768).
// A negative result (magnitude up to 100) means that b is ahead of a.
inline int32_t SeqDistance(int32_t a, int32_t b) {
    const int32_t d = a - b;
    return (d < -100) ? d + kSeqModulo : d;
}

class T104APDU {
  public:
    // Create(): an empty APDU. The image is not cleared (it is large); only the first
    // lenData octets are meaningful.
    T104APDU() = default;

    void Create() { lenData = 0; }
    // Copies count octets of bytes from index start; lenData = count. A count of 11255
    // or more, or a negative one, leaves the APDU empty (returns false).
    bool Create(const uint8_t* bytes, int32_t count, int32_t start);
    // An I frame image from an ASDU, control field zero (see Asdu.cpp). An ASDU
    // without a catalogue entry, or one whose image would not fit in a frame (length
    // octet above 255), leaves the APDU empty (returns false).
    bool Create(const TIEC_ASDUt& pasdu);

    // Kind 0 (I): vs and vr from the control field; kind 1 (S): vr, and vs = 0.
    void GetFromAPCI(int kind, int32_t& vs, int32_t& vr) const;

    // Frame builders.
    void FormUCommand(U_Func func, UActCon actCon);  // 68 04 (code|03) 00 00 00
    void FormSCommand(int32_t vr);                   // 68 04 01 00 N(R)*2
    // Writes N(S) and N(R) into the control field of an I frame built by Create(pasdu).
    void SetISequence(int32_t vs, int32_t vr);

    TApciFormat GetFormat() const { return ApciFormat(Data[2]); }

    // mess followed by every valid octet as two upper-case hex digits and a blank.
    std::string toString(const std::string& mess) const;
    // The same, appended to out.
    void AppendHex(std::string& out) const;

    int32_t lenData = 0;
    uint8_t Data[kApduSize];
};

// A queue of owned APDUs with a fixed capacity. Entries 0..indAdd-1 are held, oldest
// first; entries 0..indSend-1 have been taken (sent, or handed to the decoder).
// Invariant: 0 <= indSend <= indAdd <= FSize.
//
// Released APDUs are kept for reuse (at most FSize of them), so a queue in steady use
// allocates nothing: fill the APDU from TakeFree() and Put1 it back.
class TBufferAPDU {
  public:
    // Create(kMax): capacity kMax, clamped to 0..32767 (a larger window is meaningless
    // with 15-bit sequence numbers, and a damaged parameter must not exhaust memory).
    explicit TBufferAPDU(int32_t kMax);
    TBufferAPDU(const TBufferAPDU&) = delete;
    TBufferAPDU& operator=(const TBufferAPDU&) = delete;

    // An empty APDU to fill and Put1: a released one when there is one, else new.
    std::unique_ptr<T104APDU> TakeFree();

    // Appends at indAdd. When the queue is full the APDU is released and false is
    // returned (callers test GetFull first).
    bool Put1(std::unique_ptr<T104APDU> papdu);
    // Copies count octets from bytes[start] into a pooled APDU and appends it; false
    // (nothing added) when full or when the count is refused by T104APDU::Create.
    bool Put1(const uint8_t* bytes, int32_t count, int32_t start);

    // Entry indSend, then indSend + 1; nullptr when every entry has been taken. The
    // entry stays in the queue (and owned by it).
    T104APDU* GetToSend();
    // indSend = 0: every held entry is delivered again from the oldest.
    void SendRepeat() { indSend = 0; }
    // Releases the taken entries (every entry when prAll), moves the others to the
    // front in order, indSend = 0.
    void Reset(bool prAll);
    // Releases the count oldest entries (clamped to 0..indAdd), moves the others to
    // the front in order and lowers indSend by the number released (not below 0).
    // The link layer uses it to drop exactly the frames an N(R) acknowledges while
    // keeping sent but unacknowledged ones counted as sent.
    void ReleaseFirst(int32_t count);

    bool GetFull() const { return indAdd >= FSize; }
    bool GetEmpty() const { return indAdd == 0; }
    bool GetAllSended() const { return indSend >= indAdd; }

    int32_t GetSize() const { return FSize; }
    int32_t GetIndSend() const { return indSend; }
    int32_t GetIndAdd() const { return indAdd; }
    // Held entry i (0 = oldest), nullptr outside 0..indAdd-1.
    T104APDU* GetItem(int32_t i) const {
        return (i >= 0 && i < indAdd) ? List[static_cast<size_t>(i)].get() : nullptr;
    }

  private:
    void Release(std::unique_ptr<T104APDU> p);

    int32_t FSize = 0;
    int32_t indSend = 0;
    int32_t indAdd = 0;
    std::vector<std::unique_ptr<T104APDU>> List;   // FSize slots
    std::vector<std::unique_ptr<T104APDU>> FFree;  // released, for reuse
};

}  // namespace telegate
