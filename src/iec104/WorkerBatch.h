// What a station's worker thread, running the link layer, hands to the main
// thread in one delivery: the frames of one or more blocks in the order they
// crossed the wire (received and sent), which received I frames were accepted
// and are to be decoded, the journal lines written on the worker, and the link's
// state as of the end of the batch.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "iec104/FrameText.h"
#include "iec104/StationLink.h"
#include "support/DateTime.h"

namespace telegate {

// One journal line written on the worker thread.
struct TJournalLine {
    uint32_t Flag = 0;
    std::string Text;
    TDateTime Time = 0;
};

// One frame of the batch: Octets[Offset, Offset + Length).
struct TBatchFrame {
    uint32_t Offset = 0;
    uint16_t Length = 0;
    TFrameDir Dir = TFrameDir::Received;
    // A received I frame accepted by the link layer: decode it.
    bool Decode = false;
    // Our I frames unacknowledged before this frame (statistics).
    int32_t UnackedOut = 0;
};

struct TMainBatch {
    std::string Octets;
    std::vector<TBatchFrame> Frames;
    std::vector<TJournalLine> Journal;
    // Data transfer is started (STARTDT confirmed) as of the end of the batch.
    bool DataStarted = false;
    // Data transfer was (re)started in this batch: a general interrogation is due.
    bool InterrogationDue = false;
    int32_t UnackedOut = 0;    // k at the end of the batch
    int32_t MaxUnackedIn = 0;  // the largest receive window before an acknowledgement decision
    // Why the link layer is about to close the connection (None: it is not).
    TDisconnectReason Reason = TDisconnectReason::None;
    bool T1Expired = false;
    // An accepted I frame other than cyclic, background or spontaneous data (an
    // interrogation's answer, a command's confirmation): the main thread should
    // see it at once rather than at its next pass.
    bool Urgent = false;

    // Whether the main thread should be woken for this batch, given the state it
    // was last told.
    bool Prompt(bool startedBefore) const {
        return Urgent || InterrogationDue || T1Expired || Reason != TDisconnectReason::None ||
               DataStarted != startedBefore;
    }

    void AddFrame(TFrameDir dir, const uint8_t* apdu, size_t length, int32_t unackedOut) {
        TBatchFrame f;
        f.Offset = static_cast<uint32_t>(Octets.size());
        f.Length = static_cast<uint16_t>(length);
        f.Dir = dir;
        f.UnackedOut = unackedOut;
        Octets.append(reinterpret_cast<const char*>(apdu), length);
        Frames.push_back(f);
    }
    // The accepted I frames one after the other.
    std::string DecodedFrames() const {
        std::string s;
        for (const TBatchFrame& f : Frames)
            if (f.Decode) s.append(Octets, f.Offset, f.Length);
        return s;
    }
    // Nothing for the main thread, given the state it was last told.
    bool Empty(bool startedBefore) const {
        return Frames.empty() && Journal.empty() && !InterrogationDue && !T1Expired &&
               Reason == TDisconnectReason::None && DataStarted == startedBefore;
    }
};

}  // namespace telegate
