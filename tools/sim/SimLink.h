// The link and application behaviour of one connection of the simulated station,
// without sockets: bytes go in through OnBytes, bytes to send pile up in Output(),
// and Service() runs the timers, the spontaneous changes and the send window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "SimCodec.h"
#include "SimStation.h"
#include "support/Clock.h"

namespace telegate::sim {

enum class ELineKind { Rx, Tx, Event };

// Where the station's lines go (stdout in the program, a recorder in tests).
class ISimLog {
  public:
    virtual ~ISimLog() = default;
    virtual void Put(ELineKind kind, const std::string& line) = 0;
    // False when lines of this kind would be thrown away (they are then not built).
    virtual bool Wants(ELineKind) const { return true; }
};

struct TSimLinkParams {
    int k = 12;
    int w = 8;
    int t1Ms = 15000;
    int t2Ms = 10000;
    int t3Ms = 20000;
    double rate = 0;     // spontaneous objects per second, 0 = none
    int64_t count = -1;  // stop spontaneous changes after this many objects; -1 = no limit
    bool negativeConfirm = false;
    bool endOfInit = false;   // send M_EI_NA after the first STARTDT
    bool acknowledge = true;  // false: never acknowledge received I frames
    // Misbehaviour after this many I frames sent on the connection (-1 = never).
    int64_t garbageAfter = -1;
    int64_t gapAfter = -1;
    int64_t badStartAfter = -1;
    int64_t dropAfter = -1;
    int64_t silenceAfter = -1;
    size_t maxQueue = 65536;  // ASDUs waiting for the send window
};

class TSimLink {
  public:
    TSimLink(TSimStation& station, const TSimLinkParams& params, const IClock& clock, ISimLog& log,
             std::string tag);

    // Received octets. Protocol errors mark the link for closing (WantsClose).
    void OnBytes(const uint8_t* data, size_t n);
    // Timers, spontaneous changes, sending from the queue. Call often.
    void Service();

    // Octets to send, oldest first; the owner removes what it wrote.
    const TBytes& Output() const { return out_; }
    void Consume(size_t n);
    bool WantsClose() const { return close_; }
    const std::string& CloseReason() const { return closeReason_; }

    // Control, from options or the command interface.
    void SendGarbage();
    void MakeGap();       // the next I frame skips one send sequence number
    void SendBadStart();  // a TESTFR act with a wrong start octet, now
    void Drop(const std::string& why);
    void SetSilence(bool on);
    void SetAcknowledge(bool on);
    void SetNegativeConfirm(bool on) { params_.negativeConfirm = on; }
    void SetRate(double perSecond);
    void AddBurst(int64_t n);
    void QueueChange(size_t pointIndex);  // one object, cause spontaneous

    bool Started() const { return started_; }
    bool Silent() const { return silent_; }
    uint16_t SendSeq() const { return vs_; }
    uint16_t ReceiveSeq() const { return vr_; }
    size_t Unacknowledged() const { return sent_.size(); }
    size_t Queued() const { return queue_.size(); }
    int64_t SpontaneousSent() const { return spontaneous_; }
    int64_t IFramesSent() const { return iSent_; }
    std::string Status() const;
    // True once --count objects were sent and all of them acknowledged.
    bool CountAcknowledged() const { return ackedReported_; }
    // The most I frames one received N(R) acknowledged at once.
    int64_t LargestAck() const { return largestAck_; }

  private:
    struct TSent {
        uint16_t ns;
        int64_t ms;
    };

    void HandleFrame(const TBytes& f);
    void HandleU(uint8_t code);
    void HandleAsdu(const TBytes& asdu);
    void HandleInterrogation(const TBytes& asdu, const TAsduHeader& h);
    void HandleSingleCommand(const TBytes& asdu, const TAsduHeader& h);
    bool Acknowledge(uint16_t nr);
    void Emit(const TBytes& frame);
    void EmitU(uint8_t code);
    void SendS();
    void SendI(const TBytes& asdu);
    void Enqueue(TBytes asdu);
    void Fail(const std::string& why);
    void Event(const char* word, const std::string& text);
    void EmitRaw(const TBytes& bytes);
    void QueuePoints(const std::vector<size_t>& idx, uint8_t cot, bool withTime);
    int64_t Generate(int64_t maxObjects);
    void AfterISent();

    TSimStation& station_;
    TSimLinkParams params_;
    const IClock& clock_;
    ISimLog& log_;
    std::string tag_;

    TFrameReader reader_;
    TBytes out_;
    std::deque<TBytes> queue_;
    std::deque<TSent> sent_;

    bool started_ = false;
    bool everStarted_ = false;
    bool silent_ = false;
    bool gapPending_ = false;
    bool close_ = false;
    std::string closeReason_;
    uint16_t vs_ = 0;
    uint16_t vr_ = 0;
    uint16_t ackedUpTo_ = 0;   // oldest unacknowledged send number
    uint16_t reportedVr_ = 0;  // last N(R) we sent
    int receivedUnacked_ = 0;
    int64_t firstUnackedRxMs_ = 0;
    int64_t lastRxMs_ = 0;
    int64_t testfrSentMs_ = -1;

    int64_t iSent_ = 0;
    int64_t spontaneous_ = 0;
    int64_t rateStartMs_ = 0;
    int64_t rateGenerated_ = 0;
    int64_t burst_ = 0;
    size_t cursorTwoState_ = 0;
    size_t cursorMeasured_ = 0;
    bool nextMeasured_ = false;
    bool countReported_ = false;
    bool ackedReported_ = false;
    int64_t largestAck_ = 0;
};

}  // namespace telegate::sim
