// The boundary between a station client (main thread) and the worker that owns
// the station's TCP connection (its own thread). The client talks to the worker
// only through these hand-over fields; the worker reaches the main thread only
// through IWorkerEvents, which it runs there with IMainLoop::invokeAndWait.
#pragma once

#include <string>

namespace telegate {

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
    // The send slot str_To_write: takes the octets only when the slot is free and
    // returns true; returns false (nothing taken) while the previous frame is still there.
    virtual bool TryPutToWrite(const std::string& octets) = 0;
    // The most I frames the next slice of received octets may hold: the frames the
    // link layer still takes before its acknowledgement at w is due. Received octets
    // are handed to the main thread in such slices and the send slot is written
    // between slices, so that acknowledgement goes out in the middle of a long
    // block. 0 hands over whole blocks.
    virtual void SetAckWindow(int /*iFrames*/) {}
};

// Events of worker n (1-based), run on the main thread while the worker waits.
class IWorkerEvents {
  public:
    virtual ~IWorkerEvents() = default;
    virtual void On_Connect_Main(int nom_th) = 0;
    virtual void On_DisConnect_Main(int nom_th) = 0;
    // str_read carries one octet per character; host and port are those of the connection.
    virtual void On_Read_Main(int nom_th, const std::string& str_read, const std::string& host,
                              int port) = 0;
};

}  // namespace telegate
