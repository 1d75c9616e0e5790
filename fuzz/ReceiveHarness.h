// One input of the receive-path fuzzer, shared by the libFuzzer target and the
// regression test that replays the committed corpus under the normal build.
//
// Input layout: one mode octet, then blocks, each a length octet n followed by n
// octets (255 = the rest of the input). Every block goes through Receive and
// RaspakReceiveBufferAPDU of a client whose tag list holds single points and
// measured values, followed by the telecontrol and link service pass; the clock
// moves between blocks so that the protocol timers fire.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "iec104/StationLink.h"
#include "iec104/StationClient.h"
#include "model/Prmn.h"
#include "model/Tags.h"
#include "model/TypeCatalogue.h"
#include "support/Clock.h"
#include "support/Notifier.h"
#include "support/Journal.h"

namespace telegate::fuzzing {

// A worker that is always connected; its send slot is busy every third frame.
class TFuzzLink : public IStationLink {
  public:
    void SetTarget(const std::string& h, int p) override {
        host = h;
        port = p;
    }
    std::string Host() const override { return host; }
    int Port() const override { return port; }
    void RequestConnect() override {}
    void RequestDisconnect() override {}
    bool IsConnect() const override { return true; }
    bool TryPutToWrite(const std::string& octets) override {
        written += octets.size();
        return (++calls % 3) != 0;
    }

    std::string host = "127.0.0.1";
    int port = 2404;
    size_t written = 0;
    unsigned calls = 0;
};

// What one run left behind, for the regression test.
struct TReceiveRun {
    size_t written = 0;    // octets handed to the worker
    int tagsReceived = 0;  // tags that got a value
    int32_t Fvr = 0;       // I frames accepted in sequence
};

inline TReceiveRun RunReceiveInput(const uint8_t* data, size_t size) {
    TReceiveRun run;
    if (size == 0) return run;
    const uint8_t mode = data[0];

    TManualClock clock;
    TMessBuff journal(1000, 0xFFFFFFFFu);
    TRecordingNotifier notifier;
    TTypeIdentList types(notifier);
    TPrmn prm;
    SetDefaultPrmn(prm, "127.0.0.1", 2404);
    prm.prWork1 = 1;
    if ((mode & 0x80) != 0) {
        // Other header field sizes, including ones outside their ranges.
        prm.sz_COT = mode & 0x03;
        prm.sz_ASDUAddress = (mode >> 2) & 0x03;
        prm.sz_InfObjAddress = ((mode >> 4) & 0x03) + ((mode & 0x40) != 0 ? 2 : 0);
    }
    prm.kMax = 1 + (mode & 0x0F);
    prm.wMax = 1 + ((mode >> 4) & 0x07);

    TTagCategoryList cats(1);
    TTagSignalList tags(journal);
    TTagSignal t;
    for (int i = 0; i < 8; ++i) {
        t.Init("TS" + std::to_string(i), 3, 100 + i, "127.0.0.1", 2404, cats.GetPtc(tcn_TS), -1);
        tags.AddTag(t);
        t.Init("TIT" + std::to_string(i), 3, 200 + i, "127.0.0.1", 2404, cats.GetPtc(tcn_TIT), -1);
        tags.AddTag(t);
    }

    auto link = std::make_shared<TFuzzLink>();
    PClientSocket ps;
    ps.Nomer_Thread = 1;
    ps.oprosdevice2 = link;
    T104Client client(ps, prm, TLinkEnv{clock, journal, types, std::string()});
    client.SetTagList(&tags);
    client.DoOnConnect();
    if ((mode & 0x20) != 0) client.flag.Op(FSet, bsb_STARTDT_Ok);
    if ((mode & 0x10) != 0) client.ElemTU.Init(tuCommand_On, 3, 100, client.prm, true);

    size_t pos = 1;
    std::string m;
    while (pos < size) {
        const uint8_t n = data[pos++];
        const size_t len = n == 255 ? size - pos : std::min<size_t>(n, size - pos);
        PSocket_temp s{std::string(reinterpret_cast<const char*>(data + pos), len), "127.0.0.1",
                       2404};
        pos += len;
        client.Receive(s, false, 0);
        client.RaspakReceiveBufferAPDU(false, 0);
        client.TuService1();
        client.ConnectService(false, 0);
        client.Connecting(false, 0);
        clock.Advance(static_cast<int64_t>(n) * 97);
        while (journal.Get(m)) {
        }
        TTagSignal* changed = nullptr;
        while (tags.GetChangedTag(changed)) {
        }
    }
    run.written = link->written;
    run.Fvr = client.Fvr;
    for (int32_t i = 0; i < tags.GetCount(); ++i) run.tagsReceived += tags.GetTag(i)->FprReceive;
    return run;
}

}  // namespace telegate::fuzzing
