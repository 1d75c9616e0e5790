// The link layer of one station as it runs on the station's worker thread
// (TWorkerLink): framing, sequence numbers, t1/t2/t3, STARTDT and
// acknowledgements, beside the socket, without waiting for the main thread.
//
// The worker hands it every block it reads (TakeBlock) and runs its service at
// every pass (Service). What it decides to send (S and U frames, the I frames
// of its window) collects in an output string the worker writes after the step.
// Accepted I frames are not decoded here: they go into the batch for the main
// thread (TMainBatch), together with every other frame for the statistics and
// the frame tap; the main thread decodes them into tags and checks command
// confirmations, in order. The main thread orders an ASDU to be sent (a general
// interrogation, a telecontrol step) through the worker (QueueAsdu); this link
// gives it N(S)/N(R) and keeps the k window.
//
// Journal lines the link layer writes go to a journal of its own; the worker
// moves them into the batch, so that the main thread puts them into the
// program's journal before it decodes the frames of the batch.
//
// Worker thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "iec104/StationClient.h"
#include "iec104/WorkerBatch.h"

namespace telegate {

class Toprosdevice;

// Settings the main thread may change while polling runs; asked at every step
// from the worker's thread. Empty members: off / the mask given at creation.
struct TWorkerLinkSettings {
    std::function<bool()> Trace;           // the exchange trace "Socket" + n + ".txt"
    std::function<uint32_t()> JournalMask;  // the journal's category mask
};

// Constructed before the link layer that writes to it.
struct TOwnJournal {
    explicit TOwnJournal(uint32_t mask) : FOwnJournal(4096, mask) {}
    TMessBuff FOwnJournal;
};

class TWorkerLink final : private TOwnJournal, public TSubj104 {
  public:
    // env.journal is not written: the link writes to its own journal, with
    // env.journal's mask until settings.JournalMask says otherwise.
    TWorkerLink(const TPrmn& prm, const TLinkEnv& env, TWorkerLinkSettings settings = {});

    // TSubj104 transport, against the worker's output and connection state.
    bool GetConnected() override { return FConnected; }
    bool SendToSocket(const T104APDU& papdu, bool Save_Obmen, int nomer_socket) override;
    void StopConnect() override;

    // The worker's connection came up (STARTDT activation goes out at the next
    // Service) / went down.
    void Connected();
    void Disconnected();
    // Whether the link asked the worker to close the connection (t1, sequence).
    bool TakeStopRequest();

    // One block read from the socket: cut, checked, acknowledged; its frames into
    // the batch. Ends with a Service pass.
    void TakeBlock(std::string block, TMainBatch& batch, int nomer_socket);
    // The pass: due acknowledgements and confirmations, t1/t2/t3, STARTDT, the
    // send window.
    void Service(TMainBatch& batch, int nomer_socket);
    // An APDU (APCI still blank) the main thread ordered; false when the window's
    // queue is full (the worker keeps it and tries again).
    bool QueueAsdu(const std::string& apdu);

    // Milliseconds until the next timer of the link is due (t2 of unacknowledged
    // frames, t1 of unacknowledged own frames, t3); 0 when one is due now.
    int64_t MsToNextTimer();
    // Octets to write, taken by the worker.
    std::string TakeOutput();
    // Moves the link's journal lines into the batch.
    void MoveJournal(TMainBatch& batch);

  protected:
    void DrainReceiveQueue(bool Save_Obmen, int nomer_socket) override;
    void NoteFrame(TFrameDir dir, const uint8_t* apdu, size_t length, int32_t unackedOut) override;
    void NoteWindow(int32_t unackedIn) override;
    void NoteReason(TDisconnectReason reason) override;
    void NoteT1Expired() override;

  private:
    void DrainInto(TMainBatch& batch, bool Save_Obmen, int nomer_socket);
    void ServicePass(TMainBatch& batch, int nomer_socket, bool trace);
    bool TraceOn() const { return FSettings.Trace && FSettings.Trace(); }
    void ApplySettings();

    const TWorkerLinkSettings FSettings;
    std::string FOut;
    TMainBatch* FBatch = nullptr;  // the batch of the step being run
    bool FConnected = false;
    bool FStopRequested = false;
    TIEC_ASDUt FAsdu;
};

// Runs client's link layer on worker's thread from now on: call before the
// worker starts, after the client's parameters are final.
void RunLinkOnWorker(Toprosdevice& worker, T104Client& client, const TLinkEnv& env,
                     TWorkerLinkSettings settings = {});

}  // namespace telegate
