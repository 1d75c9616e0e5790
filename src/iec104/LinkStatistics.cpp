#include "iec104/LinkStatistics.h"

#include <cmath>

namespace telegate {

namespace {

constexpr int kTypeInterrogation = 100;
constexpr int kCotActivation = 6;
constexpr int kCotConfirmation = 7;
constexpr int kCotTermination = 10;
constexpr int kCotInterrogated = 20;

// Command and system types whose confirmations can be negative.
bool IsCommandType(int type) {
    return (type >= 45 && type <= 51) || (type >= 58 && type <= 64) || (type >= 100 && type <= 107);
}

}  // namespace

const char* DisconnectReasonText(TDisconnectReason reason) {
    switch (reason) {
        case TDisconnectReason::T1Expired:
            return "t1 expired";
        case TDisconnectReason::SequenceError:
            return "sequence error";
        case TDisconnectReason::StationClosed:
            return "station closed the connection";
        case TDisconnectReason::Silence:
            return "silence (watchdog)";
        case TDisconnectReason::ConnectFailed:
            return "connect refused or timed out";
        case TDisconnectReason::OperatorStop:
            return "operator stop";
        case TDisconnectReason::None:
            break;
    }
    return "";
}

int64_t TLinkStatistics::LastGIDurationMs() const {
    if (LastGIStart <= 0 || LastGIEnd < LastGIStart) return -1;
    return static_cast<int64_t>(std::llround((LastGIEnd - LastGIStart) * kMsPerDay));
}

uint64_t TLinkStatistics::AsduTotal() const {
    uint64_t sum = 0;
    for (const uint32_t n : AsduByType) sum += n;
    return sum;
}

void TLinkDiagnostics::OnFrame(TFrameDir dir, const uint8_t* apdu, size_t length,
                               int32_t unackedOut) {
    const bool in = dir == TFrameDir::Received;
    TFrameCounts& c = in ? Stats.In : Stats.Out;
    c.Octets += length;
    if (length >= 6) {
        const uint8_t c1 = apdu[2];
        if ((c1 & 1) == 0) {
            ++c.I;
            if (!in && unackedOut + 1 > Stats.MaxUnackedOut) Stats.MaxUnackedOut = unackedOut + 1;
            if (length >= 9) {
                const int type = apdu[6];
                const int count = apdu[7] & 0x7F;
                const int cause = apdu[8] & 0x3F;
                const bool negative = (apdu[8] & 0x40) != 0;
                if (in) {
                    ++Stats.AsduByType[static_cast<size_t>(type)];
                    Stats.ObjectsReceived += static_cast<uint64_t>(count);
                    if (FGiRunning && cause == kCotInterrogated)
                        Stats.LastGIObjects += static_cast<uint64_t>(count);
                    if (negative && cause == kCotConfirmation && IsCommandType(type))
                        ++Stats.NegativeConfirmations;
                    if (type == kTypeInterrogation && FGiRunning &&
                        (cause == kCotTermination || (negative && cause == kCotConfirmation))) {
                        FGiRunning = false;
                        Stats.LastGIEnd = FClock.Now();
                    }
                } else if (type == kTypeInterrogation && cause == kCotActivation) {
                    FGiRunning = true;
                    Stats.LastGIStart = FClock.Now();
                    Stats.LastGIEnd = 0;
                    Stats.LastGIObjects = 0;
                }
            }
        } else if ((c1 & 3) == 1) {
            ++c.S;
        } else {
            ++c.U;
        }
    }
    if (FTap) FTap(dir, std::span<const uint8_t>(apdu, length));
}

void TLinkDiagnostics::NoteReason(TDisconnectReason reason) {
    if (reason == TDisconnectReason::SequenceError) ++Stats.SequenceErrors;
    if (FPending == TDisconnectReason::None) FPending = reason;
}

void TLinkDiagnostics::OnConnected() {
    ++Stats.Connects;
    Stats.ConnectedSince = FClock.Now();
    FPending = TDisconnectReason::None;
    FGiRunning = false;
}

void TLinkDiagnostics::OnDisconnected(TDisconnectReason why) {
    const bool wasConnected = Stats.ConnectedSince > 0;
    if (wasConnected) ++Stats.Disconnects;
    // A stop while nothing was connected ends no connection: the last loss stays.
    if (wasConnected || FPending != TDisconnectReason::None ||
        why != TDisconnectReason::OperatorStop) {
        if (FPending != TDisconnectReason::None)
            Stats.LastDisconnectReason = FPending;
        else
            Stats.LastDisconnectReason = wasConnected ? why : TDisconnectReason::ConnectFailed;
        Stats.LastDisconnectTime = FClock.Now();
    }
    Stats.ConnectedSince = 0;
    FPending = TDisconnectReason::None;
    FGiRunning = false;
}

void TLinkDiagnostics::OnConnectFailed() {
    Stats.LastDisconnectReason = TDisconnectReason::ConnectFailed;
    Stats.LastDisconnectTime = FClock.Now();
    Stats.ConnectedSince = 0;
    FPending = TDisconnectReason::None;
    FGiRunning = false;
}

void TLinkDiagnostics::Reset() {
    Stats = TLinkStatistics{};
    FPending = TDisconnectReason::None;
    FGiRunning = false;
}

void TStatisticsImage::Store(int kp, const TLinkStatistics& stats) {
    if (kp < 1 || kp > kStatisticsStations) return;
    std::lock_guard lock(FMu);
    FStats[static_cast<size_t>(kp)] = stats;
}

TLinkStatistics TStatisticsImage::Load(int kp) const {
    if (kp < 1 || kp > kStatisticsStations) return {};
    std::lock_guard lock(FMu);
    return FStats[static_cast<size_t>(kp)];
}

}  // namespace telegate
