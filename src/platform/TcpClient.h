// A TCP client on POSIX sockets with time-outs: connect, read, write all,
// disconnect. Every wait can also be cut short by a wake event that another
// thread signals, so a thread that owns a connection can sleep on "octets
// arrived, somebody wants something from me, or time is up" at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace telegate {

// A wake-up signal between threads (an eventfd). Signal() may be called from any
// thread at any time; the owning thread waits on it and drains it.
class TWakeEvent {
  public:
    TWakeEvent();
    ~TWakeEvent();
    TWakeEvent(const TWakeEvent&) = delete;
    TWakeEvent& operator=(const TWakeEvent&) = delete;

    // Thread-safe, never blocks. Signals coalesce until the next Drain().
    void Signal() noexcept;
    // Clears pending signals.
    void Drain() noexcept;
    // Waits at most ms for a signal; true when signalled (the signal is drained).
    bool WaitFor(int ms) noexcept;
    // Sleeps ms. Every signal that arrives meanwhile is drained and stop() asked;
    // returns true (early) as soon as stop() is true, false when the time is over.
    bool SleepFor(int ms, const std::function<bool()>& stop);
    int Fd() const { return fd_; }

  private:
    int fd_ = -1;
};

// True when host (a name or a dotted address) resolves to an IPv4 address. May
// block for as long as the system's name resolution takes.
bool ResolvesToIPv4(const std::string& host);

class TTcpClient {
  public:
    enum class TWaitResult { Readable, Woken, Timeout };

    // wake (optional) cuts every wait of this client short; when it fires during a
    // connect, the connect gives up if cancelled() (optional) returns true. Both
    // must outlive the client.
    explicit TTcpClient(TWakeEvent* wake = nullptr, std::function<bool()> cancelled = {});
    ~TTcpClient();
    TTcpClient(const TTcpClient&) = delete;
    TTcpClient& operator=(const TTcpClient&) = delete;

    // Called when the connection drops under us (peer closed, reset, write stalled),
    // from inside Read/ReadAvailable/WriteAll. Not called by Disconnect().
    void SetOnDisconnected(std::function<void()> fn) { onDisconnected_ = std::move(fn); }

    // Connects to host (IPv4 name or dotted address) and port within timeoutMs.
    // A connection that is still open is closed first. False on failure, on
    // time-out and on cancellation; LastError() says which.
    bool Connect(const std::string& host, int port, int timeoutMs);
    // Closes the connection (no notification). False only when closing failed.
    bool Disconnect();
    bool Connected() const { return fd_ >= 0; }
    // Target of the last Connect.
    const std::string& Host() const { return host_; }
    int Port() const { return port_; }
    const std::string& LastError() const { return lastError_; }
    // Octets that can be read at once without waiting.
    size_t Available() const;

    // Waits at most timeoutMs for the first octet, then reads what is there, up
    // to max. Returns the count (> 0); 0 on time-out or wake; -1 when the
    // connection is gone or not open (a dropped connection is closed and
    // reported through the disconnect notification).
    long Read(void* buf, size_t max, int timeoutMs);
    // Reads what is there without waiting, up to max; same results as Read.
    long ReadAvailable(void* buf, size_t max) { return Read(buf, max, 0); }
    // Writes every octet, waiting at most timeoutMs in total for room. A failure
    // or a stall closes the connection (with notification) and returns false.
    bool WriteAll(const void* data, size_t len, int timeoutMs = 5000);

    // Waits for the first of: octets to read (only when watchSocket and connected;
    // a closed or failed connection also counts as readable), a wake signal
    // (drained), or the time-out.
    TWaitResult Wait(int timeoutMs, bool watchSocket = true);

    // Reads what is there without waiting, up to max: the count, 0 when nothing
    // is there, -1 when the connection is closed or failed. Unlike Read it reports
    // nothing and leaves the connection as it is; the owner's next Read finds it.
    long ReadNow(void* buf, size_t max);
    // The connection's handle for a shared wait (WaitAnyReadable); -1 when closed.
    int Handle() const { return fd_; }
    // Sends what the socket takes at once, without waiting: the count sent (0 when
    // there is no room), or -1 on an error. Reports nothing and leaves the
    // connection as it is; the owner's next write or read finds the fault.
    long SendNow(const void* data, size_t len);

  private:
    void Close() noexcept;
    void Dropped();
    // poll on fd (events) and the wake event until the deadline; 1 fd ready,
    // 0 time-out, 2 woken (drained), -1 error.
    int PollUntil(int fd, short events, long long deadlineMs, short* revents);

    TWakeEvent* wake_;
    std::function<bool()> cancelled_;
    std::function<void()> onDisconnected_;
    int fd_ = -1;
    std::string host_;
    int port_ = 0;
    std::string lastError_;
};

// Waits at most timeoutMs for the first of: one of handles readable (octets, or a
// closed or failed connection), or a signal of wake (drained). ready[i] is set
// (and everything else cleared) for each readable handle; negative handles are
// not watched. Returns the count of readable handles: 0 on time-out or wake,
// -1 on an error of the wait itself (a handle closed meanwhile).
int WaitAnyReadable(const std::vector<int>& handles, TWakeEvent& wake, int timeoutMs,
                    std::vector<uint8_t>& ready);

// Lowers the calling thread's scheduling priority one step below normal.
void LowerThreadPriority() noexcept;

}  // namespace telegate
