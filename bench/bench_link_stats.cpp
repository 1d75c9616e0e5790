// The cost of the link statistics on the receive path, in process: the station
// client cuts, checks and parses a stream of I frames (M_ME_NC_1, 1 and 30 objects
// per ASDU, consecutive N(S)) and acknowledges them, once without statistics (no
// TLinkDiagnostics attached: each hook is one test of a null pointer, the state
// before the statistics) and once with them, in alternating rounds so both see the
// same machine load; the medians of the thread's CPU time are compared. The store into the tags is
// left out (no tag list), which makes the relative figure an upper bound for the whole path.
//
//   bench_link_stats [--rounds N] (default 41)
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "iec104/LinkStatistics.h"
#include "iec104/StationClient.h"
#include "iec104/StationLink.h"
#include "model/Prmn.h"
#include "model/TypeCatalogue.h"
#include "support/Clock.h"
#include "support/Journal.h"
#include "support/Notifier.h"

using namespace telegate;

namespace {

// Takes every frame the client sends (its acknowledgements) and forgets it.
class TSinkLink : public IStationLink {
  public:
    void SetTarget(const std::string&, int) override {}
    std::string Host() const override { return "127.0.0.1"; }
    int Port() const override { return 2404; }
    void RequestConnect() override {}
    void RequestDisconnect() override {}
    bool IsConnect() const override { return true; }
    bool TryPutToWrite(const std::string&) override {
        ++sent;
        return true;
    }
    uint64_t sent = 0;
};

constexpr int kSeq = 32768;  // one full turn of N(S)
constexpr int kChunk = 50;   // frames per receive call (one read from the socket)

// kSeq I frames of perAsdu M_ME_NC_1 objects each, N(S) 0..32767, N(R) 0.
std::string Stream(int perAsdu) {
    std::string s;
    for (int ns = 0; ns < kSeq; ++ns) {
        const int len = 4 + 6 + perAsdu * 8;
        s += static_cast<char>(0x68);
        s += static_cast<char>(len);
        s += static_cast<char>((ns << 1) & 0xFF);
        s += static_cast<char>((ns >> 7) & 0xFF);
        s += '\0';
        s += '\0';
        s += static_cast<char>(13);       // M_ME_NC_1
        s += static_cast<char>(perAsdu);  // SQ = 0
        s += static_cast<char>(3);        // spontaneous
        s += '\0';                        // originator
        s += static_cast<char>(1);        // common address 1
        s += '\0';
        for (int k = 0; k < perAsdu; ++k) {
            const int ioa = 1 + (ns * perAsdu + k) % 5000;
            s += static_cast<char>(ioa & 0xFF);
            s += static_cast<char>((ioa >> 8) & 0xFF);
            s += '\0';
            float v = static_cast<float>(ns + k);
            char f[4];
            std::memcpy(f, &v, 4);
            s.append(f, 4);
            s += '\0';  // quality
        }
    }
    return s;
}

struct TCase {
    TManualClock clock{46000.5};
    TMessBuff journal{1000, 0};
    TRecordingNotifier notifier;
    TTypeIdentList types{notifier};
    TPrmn prm{};
    std::shared_ptr<TSinkLink> link = std::make_shared<TSinkLink>();
    std::unique_ptr<T104Client> client;
    TLinkDiagnostics diag{clock};

    TCase() {
        SetDefaultPrmn(prm, "127.0.0.1", 2404);
        prm.prWork1 = 1;
        PClientSocket ps;
        ps.Nomer_Thread = 1;
        ps.oprosdevice2 = link;
        client = std::make_unique<T104Client>(ps, prm, TLinkEnv{clock, journal, types, ""});
        client->DoOnConnect();
        client->Connecting(false, 0);  // STARTDT act
        Feed(std::string("\x68\x04\x0B\x00\x00\x00", 6));
        client->flag.Op(FClear, bsb_PROC_OPROS);
    }
    void Feed(const std::string& octets) {
        PSocket_temp s{octets, "127.0.0.1", 2404};
        client->Receive(s, false, 0);
        client->RaspakReceiveBufferAPDU(false, 0);
    }
};

// CPU seconds of this thread: the machine is shared, and time spent waiting for a
// core is not the receive path's.
double ThreadCpu() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// CPU seconds for one turn of the stream through a client, with or without statistics.
double Turn(const std::vector<std::string>& chunks, bool stats) {
    TCase c;
    c.client->Diag = stats ? &c.diag : nullptr;
    const double t0 = ThreadCpu();
    for (const std::string& chunk : chunks) c.Feed(chunk);
    const double s = ThreadCpu() - t0;
    if (stats && c.diag.Stats.In.I != static_cast<uint64_t>(kSeq)) {
        std::printf("statistics counted %llu I frames of %d: the stream was refused\n",
                    static_cast<unsigned long long>(c.diag.Stats.In.I), kSeq);
        std::exit(1);
    }
    return s;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 41;
    for (int i = 1; i + 1 < argc; i += 2)
        if (!std::strcmp(argv[i], "--rounds")) rounds = std::max(1, std::atoi(argv[i + 1]));
    for (int perAsdu : {1, 30}) {
        const std::string stream = Stream(perAsdu);
        std::vector<std::string> chunks;
        const size_t frame = 6 + 6 + static_cast<size_t>(perAsdu) * 8;
        for (size_t at = 0; at < stream.size(); at += frame * kChunk)
            chunks.push_back(stream.substr(at, frame * kChunk));
        std::vector<double> off, on;
        Turn(chunks, false);  // warm-up
        for (int r = 0; r < rounds; ++r) {
            // Alternating which goes first, so neither always follows the other.
            if (r % 2 == 0) off.push_back(Turn(chunks, false));
            on.push_back(Turn(chunks, true));
            if (r % 2 != 0) off.push_back(Turn(chunks, false));
        }
        const double a = Median(off), b = Median(on);
        std::printf(
            "receive path, %2d object(s)/ASDU, %d frames x %d rounds: %.0f ns/frame without"
            " statistics, %.0f ns/frame with them (%+.1f%%; %.1f ns per frame)\n",
            perAsdu, kSeq, rounds, a / kSeq * 1e9, b / kSeq * 1e9, (b / a - 1.0) * 100.0,
            (b - a) / kSeq * 1e9);
    }
    return 0;
}
