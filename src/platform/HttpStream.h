// The sending side of a response that stays open and carries text as it comes
// (Server-Sent Events). Producers on any thread push whole events; the server's
// network thread takes what is queued and writes it.
//
// The queue is bounded in octets: an event that does not fit is dropped and
// counted, never waited for, so a slow or stalled reader never slows a producer
// nor holds more memory than its queue. The next text taken then begins with a
// "lost" event that says how many events were dropped, and the stream resumes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace telegate {

class THttpStream {
  public:
    static constexpr size_t kDefaultCapacity = 256 * 1024;

    explicit THttpStream(size_t capacityOctets = kDefaultCapacity);
    THttpStream(const THttpStream&) = delete;
    THttpStream& operator=(const THttpStream&) = delete;

    // Queues one whole event (producer, any thread). False when it was dropped
    // (no room) or the stream has ended.
    bool Push(std::string_view event);
    // The producer ends the stream: what is queued is still sent, then the
    // connection closes.
    void Close();
    // The reader has gone (server side): every later Push fails.
    void Detach();
    // True once the reader has gone or the producer ended the stream.
    bool Ended() const;
    // True when the reader has gone (producers forget the stream).
    bool Detached() const;

    // Turns the queued octets into the text sent, on the server's network thread,
    // when they are taken (so producers may queue raw records cheaply). Set
    // before the first Push; it must be safe to call on another thread.
    void SetRender(std::function<std::string(std::string_view queued)> render);

    // Server side. The wake function is called (on the producer's thread) when
    // text arrives after a Take that found nothing.
    void SetWake(std::function<void()> wake);
    // Everything queued, led by the "lost" event when events were dropped; empty
    // when nothing is queued.
    std::string Take();
    // Closed by the producer and nothing left to send.
    bool Drained() const;

    uint64_t Dropped() const;
    size_t Capacity() const { return FCapacity; }

  private:
    const size_t FCapacity;
    mutable std::mutex FMu;
    std::string FQueued;
    uint64_t FLost = 0;     // dropped since the last Take
    uint64_t FDropped = 0;  // dropped in all
    bool FClosed = false;
    bool FDetached = false;
    bool FWaiting = false;  // the reader found nothing and waits for a wake
    std::function<void()> FWake;
    std::function<std::string(std::string_view)> FRender;
};

// One Server-Sent Event: "event: " + name (when not empty), one "data: " line per
// line of data, and the blank line that ends it.
std::string SseEvent(std::string_view name, std::string_view data);

}  // namespace telegate
