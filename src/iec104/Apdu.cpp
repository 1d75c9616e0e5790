#include "iec104/Apdu.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace telegate {

uint8_t UFuncCode(U_Func func, UActCon actCon) {
    const bool con = actCon == UCON;
    switch (func) {
        case U_STARTDT:
            return con ? 0x08 : 0x04;
        case U_STOPDT:
            return con ? 0x20 : 0x10;
        case U_TESTFR:
            return con ? 0x80 : 0x40;
    }
    return 0;
}

bool DecodeUFunc(uint8_t code, U_Func& func, UActCon& actCon) {
    switch (code) {
        case 0x04:
            func = U_STARTDT;
            actCon = UACT;
            return true;
        case 0x08:
            func = U_STARTDT;
            actCon = UCON;
            return true;
        case 0x10:
            func = U_STOPDT;
            actCon = UACT;
            return true;
        case 0x20:
            func = U_STOPDT;
            actCon = UCON;
            return true;
        case 0x40:
            func = U_TESTFR;
            actCon = UACT;
            return true;
        case 0x80:
            func = U_TESTFR;
            actCon = UCON;
            return true;
        default:
            return false;
    }
}

bool T104APDU::Create(const uint8_t* bytes, int32_t count, int32_t start) {
    lenData = 0;
    if (bytes == nullptr || count < 0 || count >= kApduSize - 1 || start < 0) return false;
    if (count > 0) std::memcpy(Data, bytes + start, static_cast<size_t>(count));
    lenData = count;
    return true;
}

void T104APDU::GetFromAPCI(int kind, int32_t& vs, int32_t& vr) const {
    vr = (Data[4] | (Data[5] << 8)) >> 1;
    vs = kind == 0 ? ((Data[2] | (Data[3] << 8)) >> 1) : 0;
}

void T104APDU::FormUCommand(U_Func func, UActCon actCon) {
    Data[0] = kApduStart;
    Data[1] = 4;
    Data[2] = static_cast<uint8_t>(UFuncCode(func, actCon) | 0x03);
    Data[3] = Data[4] = Data[5] = 0;
    lenData = 6;
}

void T104APDU::FormSCommand(int32_t vr) {
    const uint32_t n = (static_cast<uint32_t>(vr) % kSeqModulo) << 1;
    Data[0] = kApduStart;
    Data[1] = 4;
    Data[2] = 0x01;
    Data[3] = 0;
    Data[4] = static_cast<uint8_t>(n & 0xFF);
    Data[5] = static_cast<uint8_t>(n >> 8);
    lenData = 6;
}

void T104APDU::SetISequence(int32_t vs, int32_t vr) {
    const uint32_t s = (static_cast<uint32_t>(vs) % kSeqModulo) << 1;
    const uint32_t r = (static_cast<uint32_t>(vr) % kSeqModulo) << 1;
    Data[2] = static_cast<uint8_t>(s & 0xFF);
    Data[3] = static_cast<uint8_t>(s >> 8);
    Data[4] = static_cast<uint8_t>(r & 0xFF);
    Data[5] = static_cast<uint8_t>(r >> 8);
}

void T104APDU::AppendHex(std::string& out) const {
    static constexpr char kHex[] = "0123456789ABCDEF";
    const int32_t n = std::clamp(lenData, 0, kApduSize);
    out.reserve(out.size() + static_cast<size_t>(n) * 3);
    for (int32_t i = 0; i < n; ++i) {
        out.push_back(kHex[Data[i] >> 4]);
        out.push_back(kHex[Data[i] & 0x0F]);
        out.push_back(' ');
    }
}

std::string T104APDU::toString(const std::string& mess) const {
    std::string out = mess;
    AppendHex(out);
    return out;
}

TBufferAPDU::TBufferAPDU(int32_t kMax)
    : FSize(std::clamp(kMax, 0, kSeqModulo - 1)), List(static_cast<size_t>(FSize)) {
    FFree.reserve(static_cast<size_t>(std::min(FSize, 64)));
}

std::unique_ptr<T104APDU> TBufferAPDU::TakeFree() {
    if (FFree.empty()) return std::make_unique<T104APDU>();
    std::unique_ptr<T104APDU> p = std::move(FFree.back());
    FFree.pop_back();
    p->Create();
    return p;
}

void TBufferAPDU::Release(std::unique_ptr<T104APDU> p) {
    if (p && static_cast<int32_t>(FFree.size()) < FSize) FFree.push_back(std::move(p));
}

bool TBufferAPDU::Put1(std::unique_ptr<T104APDU> papdu) {
    if (!papdu) return false;
    if (GetFull()) {
        Release(std::move(papdu));
        return false;
    }
    List[static_cast<size_t>(indAdd)] = std::move(papdu);
    ++indAdd;
    return true;
}

bool TBufferAPDU::Put1(const uint8_t* bytes, int32_t count, int32_t start) {
    if (GetFull()) return false;
    std::unique_ptr<T104APDU> p = TakeFree();
    if (!p->Create(bytes, count, start)) {
        Release(std::move(p));
        return false;
    }
    return Put1(std::move(p));
}

T104APDU* TBufferAPDU::GetToSend() {
    if (indSend >= indAdd) return nullptr;
    return List[static_cast<size_t>(indSend++)].get();
}

void TBufferAPDU::ReleaseFirst(int32_t count) {
    const int32_t n = std::clamp(count, 0, indAdd);
    if (n == 0) return;
    for (int32_t i = 0; i < n; ++i) Release(std::move(List[static_cast<size_t>(i)]));
    const int32_t remain = indAdd - n;
    for (int32_t i = 0; i < remain; ++i)
        List[static_cast<size_t>(i)] = std::move(List[static_cast<size_t>(i + n)]);
    indAdd = remain;
    indSend = std::max(indSend - n, 0);
}

void TBufferAPDU::Reset(bool prAll) {
    if (indAdd == 0) return;
    if (prAll) indSend = indAdd;
    ReleaseFirst(indSend);
    indSend = 0;
}

}  // namespace telegate
