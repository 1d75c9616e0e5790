// Test support for the link layer, the station client, telecontrol and the channel
// controller: a fake worker that records every frame it is handed, a client wired to
// it on a manual clock, and helpers for literal octet vectors and journal lines.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "iec104/StationClient.h"
#include "iec104/StationLink.h"
#include "model/Prmn.h"
#include "model/TypeCatalogue.h"
#include "support/Clock.h"
#include "support/Journal.h"
#include "support/Notifier.h"

namespace telegate::testlink {

using Bytes = std::vector<uint8_t>;

// "68 04 07 00 00 00" -> octets.
inline Bytes Hex(const std::string& text) {
    Bytes out;
    std::istringstream in(text);
    std::string tok;
    while (in >> tok) out.push_back(static_cast<uint8_t>(std::stoul(tok, nullptr, 16)));
    return out;
}

inline std::string ToHex(const std::string& octets) {
    static const char* d = "0123456789ABCDEF";
    std::string s;
    for (unsigned char c : octets) {
        if (!s.empty()) s += ' ';
        s += d[c >> 4];
        s += d[c & 15];
    }
    return s;
}

inline std::string Chars(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

// The worker side of a station channel. With autoTake every frame is taken at once;
// without it the send slot holds one frame until Drain().
class TFakeLink : public IStationLink {
  public:
    void SetTarget(const std::string& h, int p) override {
        host = h;
        port = p;
        ++targets;
    }
    std::string Host() const override { return host; }
    int Port() const override { return port; }
    void RequestConnect() override { ++connectRequests; }
    void RequestDisconnect() override { ++disconnectRequests; }
    bool IsConnect() const override { return connected; }
    bool TryPutToWrite(const std::string& octets) override {
        if (!slot.empty()) return false;
        if (autoTake) {
            frames.push_back(octets);
        } else {
            slot = octets;
        }
        return true;
    }
    // With the link on the worker: ASDUs ordered, in order.
    bool TryPutAsdu(const std::string& apdu) override {
        if (!connected) return false;
        asdus.push_back(apdu);
        return true;
    }
    // The worker wrote the slot.
    void Drain() {
        if (!slot.empty()) frames.push_back(slot);
        slot.clear();
    }
    // Frames written so far, as hex texts.
    std::vector<std::string> HexFrames() const {
        std::vector<std::string> out;
        for (const auto& f : frames) out.push_back(ToHex(f));
        return out;
    }
    std::string LastHex() const { return frames.empty() ? std::string() : ToHex(frames.back()); }

    std::string host = "127.0.0.1";
    int port = 2404;
    bool connected = true;
    bool autoTake = true;
    std::string slot;
    std::vector<std::string> frames;
    std::vector<std::string> asdus;
    int connectRequests = 0;
    int disconnectRequests = 0;
    int targets = 0;
};

// A client on a manual clock, wired to a fake worker.
class LinkFixture : public ::testing::Test {
  protected:
    LinkFixture() : journal(1000, 0xFFFFFFFFu), types(notifier) {
        SetDefaultPrmn(prm, "127.0.0.1", 2404);
        prm.prWork1 = 1;
    }

    TLinkEnv Env() { return TLinkEnv{clock, journal, types, traceDir}; }

    // Creates the client (call after adjusting prm).
    T104Client& MakeClient() {
        link = std::make_shared<TFakeLink>();
        PClientSocket ps;
        ps.Nomer_Thread = 1;
        ps.oprosdevice2 = link;
        client = std::make_unique<T104Client>(ps, prm, Env());
        return *client;
    }

    // Connected with data transfer started: STARTDT activation sent and confirmed,
    // the general interrogation left unqueued unless keepOpros.
    void StartData(bool keepOpros = false) {
        client->DoOnConnect();
        client->Connecting(false, 0);  // STARTDT act
        Feed("68 04 0B 00 00 00");     // STARTDT con
        if (!keepOpros) client->flag.Op(FClear, bsb_PROC_OPROS);
        link->frames.clear();
        Lines();
    }

    void Feed(const Bytes& b, bool save = false) {
        PSocket_temp s{Chars(b), "127.0.0.1", 2404};
        client->Receive(s, save, 0);
        client->RaspakReceiveBufferAPDU(save, 0);
    }
    void Feed(const std::string& hex, bool save = false) { Feed(Hex(hex), save); }
    // Only the cutting step.
    void ReceiveOnly(const Bytes& b, bool save = false) {
        PSocket_temp s{Chars(b), "127.0.0.1", 2404};
        client->Receive(s, save, 0);
    }

    // One service pass of a working channel (telecontrol, then the link service).
    void Service(bool save = false) {
        client->TuService1();
        client->ConnectService(save, 0);
    }

    // Journal lines drained so far (accumulated).
    const std::vector<std::string>& Lines() {
        std::string m;
        while (journal.Get(m)) lines.push_back(m);
        return lines;
    }
    bool HasLine(const std::string& exact) {
        for (const auto& l : Lines())
            if (l == exact) return true;
        return false;
    }
    bool HasPrefix(const std::string& prefix) {
        for (const auto& l : Lines())
            if (l.rfind(prefix, 0) == 0) return true;
        return false;
    }
    int CountPrefix(const std::string& prefix) {
        int n = 0;
        for (const auto& l : Lines())
            if (l.rfind(prefix, 0) == 0) ++n;
        return n;
    }

    TManualClock clock;
    TMessBuff journal;
    TRecordingNotifier notifier;
    TTypeIdentList types;
    TPrmn prm;
    std::string traceDir;
    std::shared_ptr<TFakeLink> link;
    std::unique_ptr<T104Client> client;
    std::vector<std::string> lines;
};

}  // namespace telegate::testlink
