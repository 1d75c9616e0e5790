// A 32-bit flag word with named bits.
#pragma once

#include <cstdint>
#include <string>

namespace telegate {

enum TFlagOperation { FSet, FClear, FYes, FNo, FClearAll };

class TFLAG {
public:
    explicit TFLAG(int32_t Afln = 0) : fln(Afln) {}
    void Reset() { fln = 0; }
    // FSet/FClear/FClearAll modify and return false; FYes/FNo test the bit.
    bool Operation(TFlagOperation op, int bit) {
        const uint32_t mask = 1u << (static_cast<unsigned>(bit) & 31u);
        uint32_t w = static_cast<uint32_t>(fln);
        switch (op) {
            case FSet: w |= mask; break;
            case FClear: w &= ~mask; break;
            case FYes: return (w & mask) != 0;
            case FNo: return (w & mask) == 0;
            case FClearAll: w = 0; break;
        }
        fln = static_cast<int32_t>(w);
        return false;
    }
    // "(0024h)": four upper-case hex digits, more when needed.
    std::string ToString() const;

    int32_t fln = 0;
};

// A flag word whose bits are named by enumeration E.
template <typename E>
class TTypedFlag : public TFLAG {
public:
    bool Op(TFlagOperation op, E bit) { return Operation(op, static_cast<int>(bit)); }
};

}  // namespace telegate
