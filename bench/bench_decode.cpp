// Decode-and-store throughput of the receive path: ASDU header parsing, object
// decoding and the store into the tags (lookup, value store, change detection), for
// spontaneous M_ME_NC (no time tag) and M_SP_TB (7-octet time tag) objects, one and
// thirty per ASDU. Values change on every pass so change detection always fires.
// The journal mask is the factory default (only category 0), as in production.
// Prints objects per second.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "iec104/Asdu.h"
#include "model/Prmn.h"
#include "model/Tags.h"
#include "model/TypeCatalogue.h"
#include "platform/SystemClock.h"
#include "support/Notifier.h"
#include "support/Journal.h"

using namespace telegate;

namespace {

constexpr const char* kHost = "127.0.0.1";
constexpr int32_t kPort = 2404;
constexpr int32_t kAsduAddr = 1;
constexpr int kTags = 7000;       // tags of the station (object addresses 1..7000)
constexpr int64_t kRunMs = 1000;  // each case runs about this long
constexpr int kVariants = 64;     // pre-built ASDUs per case, cycled

void AddAddr(std::vector<uint8_t>& b, int a) {
    b.push_back(static_cast<uint8_t>(a));
    b.push_back(static_cast<uint8_t>(a >> 8));
    b.push_back(static_cast<uint8_t>(a >> 16));
}

// An ASDU of n objects (SQ = 0) of type code, first address first, values varying
// with seed.
std::vector<uint8_t> MakeAsdu(int code, int n, int first, int seed) {
    std::vector<uint8_t> b = {static_cast<uint8_t>(code),
                              static_cast<uint8_t>(n),
                              0x03,
                              0x00,
                              static_cast<uint8_t>(kAsduAddr),
                              0x00};
    for (int k = 0; k < n; ++k) {
        AddAddr(b, first + k);
        if (code == 13) {
            const float v = static_cast<float>(seed * 31 + k) * 0.5f;
            uint8_t o[4];
            std::memcpy(o, &v, 4);
            b.insert(b.end(), o, o + 4);
            b.push_back(0x00);
        } else {
            b.push_back(static_cast<uint8_t>((seed + k) & 1));
            const int ms = (seed * 37 + k) % 60000;
            const uint8_t t[7] = {static_cast<uint8_t>(ms),
                                  static_cast<uint8_t>(ms >> 8),
                                  0x1E,
                                  0x0C,
                                  0x0F,
                                  0x06,
                                  0x18};
            b.insert(b.end(), t, t + 7);
        }
    }
    return b;
}

void Run(const char* label, int code, int perAsdu, const IClock& clock) {
    TRecordingNotifier notifier;
    TTypeIdentList types(notifier);
    TMessBuff journal(1000, 0);
    TTagCategoryList kinds(1);
    TTagSignalList tags(journal);
    for (int i = 1; i <= kTags; ++i) {
        TTagSignal t;
        t.Init("tag" + std::to_string(i), kAsduAddr, i, kHost, kPort,
               kinds.GetPtc(code == 13 ? tcn_TIT : tcn_TS), i - 1);
        tags.AddTag(t);
    }
    TPrmn prm;
    SetDefaultPrmn(prm, kHost, kPort);

    std::vector<std::vector<uint8_t>> asdus;
    for (int v = 0; v < kVariants; ++v)
        asdus.push_back(MakeAsdu(code, perAsdu, 1 + (v * 97) % (kTags - perAsdu), v));

    auto asdu = std::make_unique<TIEC_ASDUt>();
    asdu->IP_address2 = kHost;
    asdu->IP_port3 = kPort;
    const TAsduSinks sinks{&tags, journal, clock};

    int64_t objects = 0;
    const int64_t start = clock.MonotonicMs();
    int64_t elapsed = 0;
    size_t v = 0;
    while (elapsed < kRunMs) {
        for (int rep = 0; rep < 2000; ++rep) {
            const std::vector<uint8_t>& b = asdus[v];
            v = (v + 1) % asdus.size();
            asdu->Create(types, b, prm, static_cast<int32_t>(b.size()), 0);
            asdu->ReceiveRaspak1(sinks);
            objects += perAsdu;
        }
        // Drain the change marks as the display timer would.
        TTagSignal* t = nullptr;
        while (tags.GetChangedTag(t)) {
        }
        elapsed = clock.MonotonicMs() - start;
    }
    int received = 0;
    for (int i = 0; i < tags.GetCount(); ++i) received += tags.GetTag(i)->FprReceive ? 1 : 0;
    std::printf("%-24s %2d obj/ASDU  %12.0f objects/s  (%d tags hold values)\n", label, perAsdu,
                static_cast<double>(objects) * 1000.0 / static_cast<double>(elapsed), received);
}

}  // namespace

int main() {
    TSystemClock clock;
    Run("M_ME_NC (float)", 13, 1, clock);
    Run("M_ME_NC (float)", 13, 30, clock);
    Run("M_SP_TB (single, CP56)", 30, 1, clock);
    Run("M_SP_TB (single, CP56)", 30, 30, clock);
    return 0;
}
