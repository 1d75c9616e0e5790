#include "support/FlagWord.h"

#include <cstdio>

namespace telegate {

std::string TFLAG::ToString() const {
    char buf[16];
    std::snprintf(buf, sizeof buf, "(%04Xh)", static_cast<unsigned>(fln));
    return buf;
}

}  // namespace telegate
