#include "model/Prmn.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/AtomicFile.h"
#include "platform/Paths.h"
#include "support/CodePage.h"
#include "support/FileNames.h"
#include "support/TextFields.h"

namespace telegate {

namespace {

constexpr size_t kNameOffset = 0;
constexpr size_t kHostOffset = 33;
constexpr size_t kHostPaddingOffset = 66;
constexpr size_t kPortOffset = 68;
constexpr size_t kClockCheckOffset = 148;
constexpr size_t kClockPaddingOffset = 149;
constexpr size_t kClockTimeOffset = 152;
constexpr size_t kWorkOffset = 156;

void PutInt(uint8_t* p, int32_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    p[0] = static_cast<uint8_t>(u);
    p[1] = static_cast<uint8_t>(u >> 8);
    p[2] = static_cast<uint8_t>(u >> 16);
    p[3] = static_cast<uint8_t>(u >> 24);
}

int32_t GetInt(const uint8_t* p) {
    const uint32_t u = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                       (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
    return static_cast<int32_t>(u);
}

void PutShortString(uint8_t* p, std::string_view utf8) {
    std::string ansi = Utf8ToCp1251(utf8);
    if (ansi.size() > static_cast<size_t>(kPrmnTextMax)) ansi.resize(kPrmnTextMax);
    p[0] = static_cast<uint8_t>(ansi.size());
    std::memcpy(p + 1, ansi.data(), ansi.size());
}

std::string GetShortString(const uint8_t* p) {
    const size_t len = std::min<size_t>(p[0], kPrmnTextMax);
    return Cp1251ToUtf8(std::string_view(reinterpret_cast<const char*>(p + 1), len));
}

// The integer fields from offset 68 to 144, in layout order.
template <typename Prmn, typename Fn>
void ForEachInt(Prmn& r, Fn fn) {
    fn(68, r.Port);
    fn(72, r.t0);
    fn(76, r.t1);
    fn(80, r.t2);
    fn(84, r.t3);
    fn(88, r.kMax);
    fn(92, r.wMax);
    fn(96, r.ReceiveBufferLength);
    fn(100, r.OriginatorAddress);
    fn(104, r.LinkAddress1);
    fn(108, r.sz_LinkAddress);
    fn(112, r.PollingCycle);
    fn(116, r.ConfirmationTimeout);
    fn(120, r.TerminationTimeout);
    fn(124, r.RetryCount);
    fn(128, r.RetryTimeOut);
    fn(132, r.CommonAsduAddress);
    fn(136, r.sz_ASDUAddress);
    fn(140, r.sz_InfObjAddress);
    fn(144, r.sz_COT);
    fn(kClockTimeOffset, r.ClockSinhronizationTime);
    fn(kWorkOffset, r.prWork1);
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

bool ReadExactly(std::FILE* f, void* buf, size_t n) {
    return std::fread(buf, 1, n, f) == n;
}

bool ReadPrmnFile(const std::string& fileName, TPrmnTable& table, std::string& message) {
    std::unique_ptr<std::FILE, FileCloser> f(OpenFileUtf8(fileName, "rb"));
    if (!f) {
        message = "Не открывается на чтение файл:" + fileName;
        return false;
    }
    const std::string damaged = "Нарушен файл параметров МЭК-104: " + fileName;
    uint8_t word[4];
    if (!ReadExactly(f.get(), word, 4)) {
        message = damaged;
        return false;
    }
    const int32_t version = GetInt(word);
    if (version != kPrmnFileVersion) {
        message = "Не та версия файла: " + fileName + ". Файл необходимо удалить!";
        return false;
    }
    if (!ReadExactly(f.get(), word, 4)) {
        message = damaged;
        return false;
    }
    const int32_t count = GetInt(word);
    if (count < 0) {
        message = damaged;
        return false;
    }
    TCrcCheck crc;
    crc.Add(version);
    uint8_t record[kPrmnSize];
    // Ends at the end of the file whatever the count says.
    for (int32_t i = 0; i < count; ++i) {
        if (!ReadExactly(f.get(), record, kPrmnSize)) {
            message = damaged;
            return false;
        }
        crc.Add(record, kPrmnSize);
        if (i < kPrmnCount) table[static_cast<size_t>(i)] = PrmnFromBytes(record);
    }
    if (!ReadExactly(f.get(), word, 4) || GetInt(word) != crc.FCRC) {
        message = damaged;
        return false;
    }
    return true;
}

}  // namespace

TPrmnBytes PrmnToBytes(const TPrmn& prmn) {
    TPrmnBytes b{};
    PutShortString(b.data() + kNameOffset, prmn.Name);
    PutShortString(b.data() + kHostOffset, prmn.Host);
    b[kHostPaddingOffset] = prmn.HostPadding[0];
    b[kHostPaddingOffset + 1] = prmn.HostPadding[1];
    ForEachInt(prmn, [&](size_t off, int32_t v) { PutInt(b.data() + off, v); });
    b[kClockCheckOffset] = prmn.ClockSinhronizationCheck ? 1 : 0;
    for (size_t i = 0; i < 3; ++i) b[kClockPaddingOffset + i] = prmn.ClockPadding[i];
    static_assert(kPortOffset == 68);
    return b;
}

TPrmn PrmnFromBytes(const uint8_t* bytes) {
    TPrmn r;
    r.Name = GetShortString(bytes + kNameOffset);
    r.Host = GetShortString(bytes + kHostOffset);
    r.HostPadding[0] = bytes[kHostPaddingOffset];
    r.HostPadding[1] = bytes[kHostPaddingOffset + 1];
    ForEachInt(r, [&](size_t off, int32_t& v) { v = GetInt(bytes + off); });
    r.ClockSinhronizationCheck = bytes[kClockCheckOffset] != 0;
    for (size_t i = 0; i < 3; ++i) r.ClockPadding[i] = bytes[kClockPaddingOffset + i];
    return r;
}

std::string CutToPrmnText(std::string_view text) {
    size_t chars = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c & 0xC0) != 0x80) {  // first octet of a character
            if (chars == static_cast<size_t>(kPrmnTextMax)) return std::string(text.substr(0, i));
            ++chars;
        }
    }
    return std::string(text);
}

void SetDefaultPrmn(TPrmn& prmn, std::string_view Host, int32_t Port) {
    prmn.Name = "Client104";
    prmn.Host = CutToPrmnText(Host);
    prmn.Port = Port;
    prmn.t0 = 30000;
    prmn.t1 = 15000;
    prmn.t2 = 10000;
    prmn.t3 = 20000;
    prmn.kMax = 12;
    prmn.wMax = 8;
    prmn.ReceiveBufferLength = 100;
    prmn.OriginatorAddress = 0;
    prmn.sz_LinkAddress = 0;
    prmn.ConfirmationTimeout = 5000;
    prmn.TerminationTimeout = 30000;
    prmn.RetryCount = 3;
    prmn.RetryTimeOut = 20000;
    prmn.CommonAsduAddress = 3;
    prmn.sz_ASDUAddress = 2;
    prmn.sz_InfObjAddress = 3;
    prmn.sz_COT = 2;
    prmn.ClockSinhronizationCheck = false;
    prmn.ClockSinhronizationTime = 30;
}

std::string PrmnFileBytes(const TPrmnTable& table, int count) {
    count = std::clamp(count, 0, kPrmnCount);
    std::string out(8 + kPrmnSize * static_cast<size_t>(count) + 4, '\0');
    uint8_t* p = reinterpret_cast<uint8_t*>(out.data());
    PutInt(p, kPrmnFileVersion);
    PutInt(p + 4, count);
    TCrcCheck crc;
    crc.Add(kPrmnFileVersion);
    for (int i = 0; i < count; ++i) {
        const TPrmnBytes b = PrmnToBytes(table[static_cast<size_t>(i)]);
        std::memcpy(p + 8 + kPrmnSize * static_cast<size_t>(i), b.data(), kPrmnSize);
        crc.Add(b.data(), kPrmnSize);
    }
    PutInt(p + 8 + kPrmnSize * static_cast<size_t>(count), crc.FCRC);
    return out;
}

bool ReadWritePrmnFile(int mode, const std::string& givenName, TPrmnTable& table, int stationCount,
                       std::string* message) {
    const std::string FileName = FindOwnFile(givenName);
    std::string text;
    bool ok = false;
    if (mode == pfm_Read) {
        ok = ReadPrmnFile(FileName, table, text);
    } else if (mode == pfm_Write) {
        std::string why;
        ok = WriteFileAtomically(FileName, PrmnFileBytes(table, stationCount), why);
        if (!ok) text = "Не открывается на запись файл:" + FileName + " (" + why + ")";
    } else {
        text = "unknown mode " + std::to_string(mode);
    }
    if (message) *message = ok ? std::string() : text;
    return ok;
}

}  // namespace telegate
