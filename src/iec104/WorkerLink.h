// The link layer of one station as it runs on the station's worker thread
// (TWorkerLink): framing, sequence numbers, t1/t2/t3 and acknowledgements,
// beside the socket, without waiting for the main thread.
//
// The worker hands it every block it reads (TakeBlock) and runs its service at
// every pass (Service). What it decides to send (S and U frames, the I frames
// of its window) collects in an output string the worker writes after the step.
// Accepted I frames are not decoded here: their octets go into the batch for
// the main thread (TMainBatch), which decodes them into tags, checks command
// confirmations and counts the statistics, in order. The main thread orders an
// ASDU to be sent (a general interrogation, a telecontrol step) through the
// worker (QueueAsdu); this link gives it N(S)/N(R) and keeps the k window.
//
// Journal lines the link layer writes go to a journal of its own (worker
// thread); the worker moves them into the batch so that the main thread puts
// them into the program's journal before it decodes the frames of the batch.
//
// Worker thread only, except where noted.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "iec104/StationClient.h"

namespace telegate {

// One journal line written on the worker thread.
struct TJournalLine {
    uint32_t Flag = 0;
    std::string Text;
    TDateTime Time = 0;
};

// What the worker hands to the main thread in one delivery.
struct TMainBatch {
    // Complete APDUs (received I frames accepted in sequence), one after the other.
    std::string IFrames;
    std::vector<TJournalLine> Journal;
    // Data transfer is started (STARTDT confirmed) as of the end of the batch.
    bool DataStarted = false;
    int32_t UnackedOut = 0;  // k
    bool Empty() const { return IFrames.empty() && Journal.empty(); }
};

// Constructed before the link layer that writes to it.
struct TOwnJournal {
    explicit TOwnJournal(uint32_t mask) : FOwnJournal(4096, mask) {}
    TMessBuff FOwnJournal;
};

class TWorkerLink final : private TOwnJournal, public TSubj104 {
  public:
    // env.journal is not used: the link writes to its own journal with env's mask.
    TWorkerLink(const TPrmn& prm, const TLinkEnv& env, uint32_t journalMask);

    // TSubj104 transport, against the worker's output and connection state.
    bool GetConnected() override { return FConnected; }
    bool SendToSocket(const T104APDU& papdu, bool Save_Obmen, int nomer_socket) override;
    void StopConnect() override;

    // The worker's connection came up / went down.
    void Connected();
    void Disconnected();
    // Whether the link asked the worker to close the connection (t1, sequence).
    bool TakeStopRequest();

    // One block read from the socket: cut, checked, acknowledged; accepted I frames
    // into batch.
    void TakeBlock(const std::string& block, TMainBatch& batch, bool Save_Obmen, int nomer_socket);
    // The pass: due acknowledgements, t1/t2/t3, the send window, STARTDT.
    void Service(TMainBatch& batch, bool Save_Obmen, int nomer_socket);
    // An ASDU (APDU with its APCI still blank) the main thread ordered; false when
    // the window's queue is full (the main thread keeps it and tries again).
    bool QueueAsdu(const std::string& apdu);
    // Data transfer is wanted: STARTDT activation goes out at the next pass.
    void WantStartDt() { flag.Op(FSet, bsb_STARTDT_Want); }

    // Octets to write, taken by the worker.
    std::string TakeOutput();
    // Moves the link's journal lines into the batch.
    void MoveJournal(TMainBatch& batch);

  protected:
    void DrainReceiveQueue(bool Save_Obmen, int nomer_socket) override;

  private:
    void DrainInto(TMainBatch& batch, bool Save_Obmen, int nomer_socket);

    std::string FOut;
    TMainBatch* FBatch = nullptr;  // the batch of the block being taken
    bool FConnected = false;
    bool FStopRequested = false;
    TIEC_ASDUt FAsdu;
};

}  // namespace telegate
