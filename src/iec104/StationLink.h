// The boundary between a station client (main thread) and the worker that owns
// the station's TCP connection (its own thread). The client talks to the worker
// only through these hand-over fields; the worker reaches the main thread only
// through IWorkerEvents, which it runs there (connect and disconnect with
// IMainLoop::invokeAndWait, received octets as batches posted to the loop).
#pragma once

#include <cstdint>
#include <string>

namespace telegate {

struct TMainBatch;

// Why a station connection ended (or never came up).
enum class TDisconnectReason : uint8_t {
    None,
    T1Expired,      // the station did not acknowledge our I frames within t1
    SequenceError,  // a frame out of sequence or out of frame: the link layer closed
    StationClosed,  // the station or the network ended the connection
    ConnectFailed,  // the connect was refused or timed out
    Silence,        // nothing came from the station within its silence limit (t0)
    OperatorStop,   // asked for: the operator, the link layer, a reconnect, the end of polling
};

class IStationLink {
  public:
    virtual ~IStationLink() = default;
    // Host and port for the next connect (Host_Thread, Port_Thread).
    virtual void SetTarget(const std::string& host, int port) = 0;
    virtual std::string Host() const = 0;
    virtual int Port() const = 0;
    // must_connect / must_Disconnect: served by the worker's next pass.
    virtual void RequestConnect() = 0;
    virtual void RequestDisconnect() = 0;
    // Is_Connect as the worker sees it.
    virtual bool IsConnect() const = 0;
    // The send buffer str_To_write: takes the frame and returns true when there is
    // room for it; returns false (nothing taken) while the buffer is full.
    virtual bool TryPutToWrite(const std::string& octets) = 0;
    // With the link layer on the worker's thread: an APDU whose APCI the link
    // fills in (a general interrogation, a telecontrol step). False (nothing
    // taken) while the worker's queue of them is full.
    virtual bool TryPutAsdu(const std::string& /*apdu*/) { return false; }
};

// Events of worker n (1-based), run on the main thread.
class IWorkerEvents {
  public:
    virtual ~IWorkerEvents() = default;
    virtual void On_Connect_Main(int nom_th) = 0;
    // The connection is gone; why, as far as the worker knows it (a close the link
    // layer asked for is OperatorStop here; the link layer noted its own reason).
    virtual void On_DisConnect_Main(int nom_th, TDisconnectReason why) = 0;
    // A connect attempt failed (refused or timed out); nothing was connected.
    virtual void On_ConnectFailed_Main(int /*nom_th*/) {}
    // str_read carries one octet per character: everything read since the last
    // call, in order; host and port are those of the connection.
    virtual void On_Read_Main(int nom_th, const std::string& str_read, const std::string& host,
                              int port) = 0;
    // With the link layer on the worker's thread: the I frames (and journal lines)
    // of one or more blocks, already acknowledged there, in order.
    virtual void On_Batch_Main(int /*nom_th*/, const TMainBatch& /*batch*/) {}
};

}  // namespace telegate
