// Per-station link statistics for commissioning: connects and disconnects with the
// reason of the last one, frames and octets both ways, ASDUs by type
// identification, objects, the last general interrogation, t1 expiries, negative
// and missing command confirmations and the largest send and receive windows seen.
//
// A TLinkDiagnostics belongs to one station. The link layer reports each frame it
// cuts out or hands to the transport (one call each, a few additions); the
// controller reports connects and disconnects. Everything runs on the main thread;
// readers copy the statistics there. A frame tap (the protocol monitor, the decoded
// trace) is called only while one is set, so nobody watching costs one test.
//
// A TStatisticsImage holds every station's statistics as the last publication
// pass copied them, for readers on other threads (the OPC items, the operator
// window).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>

#include "iec104/FrameText.h"
#include "iec104/StationLink.h"
#include "support/Clock.h"
#include "support/DateTime.h"

namespace telegate {

// The reason in words ("" for None).
const char* DisconnectReasonText(TDisconnectReason reason);

struct TFrameCounts {
    uint64_t I = 0, S = 0, U = 0;
    uint64_t Octets = 0;
};

struct TLinkStatistics {
    TDateTime ConnectedSince = 0;  // 0 while not connected
    uint32_t Connects = 0;
    uint32_t Disconnects = 0;
    TDisconnectReason LastDisconnectReason = TDisconnectReason::None;
    TDateTime LastDisconnectTime = 0;
    TFrameCounts In, Out;
    std::array<uint32_t, 256> AsduByType{};  // received ASDUs by type identification
    uint64_t ObjectsReceived = 0;            // information objects of received ASDUs
    // The last general interrogation: sent activation to activation termination.
    TDateTime LastGIStart = 0;
    TDateTime LastGIEnd = 0;  // 0 while it runs (or never ended)
    uint64_t LastGIObjects = 0;
    uint32_t T1Expiries = 0;
    uint32_t SequenceErrors = 0;
    uint32_t NegativeConfirmations = 0;  // commands and interrogations the station refused
    uint32_t MissingConfirmations = 0;   // commands whose confirmation never came (time-out)
    int32_t MaxUnackedOut = 0;           // our I frames the station had not acknowledged
    int32_t MaxUnackedIn = 0;            // its I frames we had not acknowledged

    // Duration of the last general interrogation in ms, -1 when none has ended.
    int64_t LastGIDurationMs() const;
    uint64_t AsduTotal() const;
};

class TLinkDiagnostics {
  public:
    using TTap = std::function<void(TFrameDir, std::span<const uint8_t>)>;

    explicit TLinkDiagnostics(const IClock& clock) : FClock(clock) {}

    // Link layer: one complete APDU received or handed to the transport.
    // unackedOut: our I frames unacknowledged before this frame.
    void OnFrame(TFrameDir dir, const uint8_t* apdu, size_t length, int32_t unackedOut);
    // Link layer: the receive window just before an acknowledgement decision.
    void NoteWindow(int32_t unackedIn) {
        if (unackedIn > Stats.MaxUnackedIn) Stats.MaxUnackedIn = unackedIn;
    }
    // Link layer: it is about to close the connection for this reason.
    void NoteReason(TDisconnectReason reason);
    // The command time-out ran out before the station confirmed the command.
    void OnCommandTimedOut() { ++Stats.MissingConfirmations; }
    void OnT1Expired() {
        ++Stats.T1Expiries;
        NoteReason(TDisconnectReason::T1Expired);
    }

    // Controller: the transport connected / disconnected. A reason the link layer
    // noted wins over the worker's; a report without a connection before it is a
    // failed connect, except the operator's stop, which leaves the last reason.
    void OnConnected();
    void OnDisconnected(TDisconnectReason why);
    // Controller: a connect attempt failed. Counts no disconnect.
    void OnConnectFailed();

    // Polling starts: everything from zero.
    void Reset();

    // The monitor or the decoded trace; empty: none.
    void SetTap(TTap tap) { FTap = std::move(tap); }
    bool HasTap() const { return static_cast<bool>(FTap); }

    TLinkStatistics Stats;
    TFrameLayout Layout;

  private:
    const IClock& FClock;
    TTap FTap;
    TDisconnectReason FPending = TDisconnectReason::None;
    bool FGiRunning = false;
};

// Stations 1..kStatisticsStations; any thread.
constexpr int kStatisticsStations = 32;

class TStatisticsImage {
  public:
    // Out-of-range stations are ignored.
    void Store(int kp, const TLinkStatistics& stats);
    // A copy of station kp's statistics (all zero when never stored or out of range).
    TLinkStatistics Load(int kp) const;

  private:
    mutable std::mutex FMu;
    std::array<TLinkStatistics, kStatisticsStations + 1> FStats{};
};

}  // namespace telegate
