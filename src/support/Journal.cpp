#include "support/Journal.h"

namespace telegate {

TMessBuff::TMessBuff(int ASize, uint32_t mask)
    : Mess(static_cast<size_t>(ASize > 0 ? ASize : 1)),
      FDt(static_cast<size_t>(ASize > 0 ? ASize : 1), 0.0),
      FSize(ASize > 0 ? ASize : 1),
      MBufFlag(mask) {}

void TMessBuff::Reset(int ASize, uint32_t mask) {
    TEcho echo = std::move(echo_);
    *this = TMessBuff(ASize, mask);
    echo_ = std::move(echo);
}

void TMessBuff::Put(uint32_t flag, const std::string& AMess, TDateTime dt) {
    if (!Enabled(flag)) return;
    if (echo_) {
        try {
            echo_(flag, AMess, dt);
        } catch (...) {
            // The echo never disturbs the writer of a line.
        }
    }
    if (nmess >= FSize) return;
    const int32_t index = (ipos + nmess) % FSize;
    Mess[static_cast<size_t>(index)] = AMess;
    FDt[static_cast<size_t>(index)] = dt;
    ++nmess;
    if (nmess == FSize) Mess[static_cast<size_t>(index)] = "*** ERROR: ПЕРЕПОЛНЕНИЕ TMessBuff!!!";
}

bool TMessBuff::Get(std::string& mess) {
    TDateTime dt = 0;
    return Get(mess, dt);
}

bool TMessBuff::Get(std::string& mess, TDateTime& dt) {
    if (nmess <= 0) return false;
    mess = std::move(Mess[static_cast<size_t>(ipos)]);
    Mess[static_cast<size_t>(ipos)].clear();
    dt = FDt[static_cast<size_t>(ipos)];
    ipos = (ipos + 1) % FSize;
    --nmess;
    return true;
}

}  // namespace telegate
