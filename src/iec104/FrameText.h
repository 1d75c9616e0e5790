// One APDU as one line of text, for the protocol monitor and the decoded trace
// files: time, direction, frame kind, sequence numbers and, for I frames, type
// identification, cause of transmission with its test and P/N bits, common address
// and every information object with its address, value, quality letters and time
// tag. Pure: the octets in, the line out; nothing is stored anywhere.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "support/DateTime.h"

namespace telegate {

class TTypeIdentList;

// Field sizes of the ASDU as the station's parameters give them.
struct TFrameLayout {
    int32_t szCOT = 2;  // 1 or 2 (the second octet is the originator address)
    int32_t szCA = 2;   // 1 or 2
    int32_t szIOA = 3;  // 1..3
};

enum class TFrameDir : uint8_t { Received, Sent };

// Objects shown per line at most; the rest is summarised as "... +N".
constexpr int kFrameTextMaxObjects = 64;

// The line for one APDU (start octet 68H to its last octet). types, when given,
// supplies the mnemonic's catalogue entry and the cause texts; without it the
// built-in mnemonics of the standard are used and causes are shown by number.
// Malformed frames still give a line that says what is wrong.
std::string RenderFrameLine(TDateTime time, TFrameDir dir, std::span<const uint8_t> apdu,
                            const TFrameLayout& layout, const TTypeIdentList* types = nullptr);

// "IV NT SB BL OV" letters of the set bits of a quality descriptor (QDS); "" when
// none is set.
std::string QualityLetters(uint8_t qds);

}  // namespace telegate
