// The operating-system side of telegate-sim: TCP sockets, the readiness wait, its
// standard input and the requests to stop. tools/sim/posix (BSD sockets, poll,
// signalfd) and tools/sim/win32 (Winsock 2, WSAPoll, console control handler) hold
// the two sides, chosen by the build; the rest of the simulator speaks only this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace telegate::sim::net {

// A descriptor on Linux, a SOCKET on Windows.
using TSocket = std::intptr_t;
inline constexpr TSocket kNoSocket = -1;

// Once per process before any other call; an error text, empty on success.
std::string Startup();
// The program's arguments (without the program name) as UTF-8.
std::vector<std::string> Arguments(int argc, char** argv);

// A non-blocking socket listening on addr:port; port 0 takes any free port, and
// port is set to the one bound. kNoSocket with error on failure.
TSocket Listen(const std::string& addr, int& port, std::string& error);
// The next pending connection (non-blocking, no Nagle delay) and its peer as
// "ADDR:PORT"; kNoSocket when none is pending.
TSocket Accept(TSocket listener, std::string& peer);
// A blocking connection to 127.0.0.1:port; kNoSocket with error on failure.
TSocket ConnectLoopback(int port, std::string& error);
// Two connected sockets: what is sent on one is received on the other. a blocks
// (for a thread that feeds the pair), b does not (for the poll loop).
bool MakePair(TSocket& a, TSocket& b, std::string& error);
void Close(TSocket s);

enum class EIo { Done, WouldBlock, Closed, Failed };
struct TIo {
    EIo status = EIo::Failed;
    size_t count = 0;   // octets moved (Done)
    std::string error;  // Failed
};
// Also reads the standard input given by StandardInput().
TIo Receive(TSocket s, void* buf, size_t size);
// Never blocks, never raises SIGPIPE.
TIo Send(TSocket s, const void* data, size_t size);

struct TWaitItem {
    TSocket socket = kNoSocket;  // kNoSocket: ignored
    bool write = false;          // also wait for room to send
    // Results:
    bool readable = false;  // data, a pending connection, the peer's close
    bool writable = false;
    bool broken = false;  // error or hang-up without data
};
// Waits at most timeoutMs for any item; false with error when the wait fails.
bool Wait(std::vector<TWaitItem>& items, int timeoutMs, std::string& error);

// The process's standard input as something Wait and Receive take; its end reads
// as Closed. Call once.
TSocket StandardInput();

// Interrupt and termination requests (SIGINT and SIGTERM; Ctrl-C, Ctrl-Break and
// the console's close) arrive as a readable socket. Make it before other threads.
class TStopRequests {
  public:
    TStopRequests();
    ~TStopRequests();
    TStopRequests(const TStopRequests&) = delete;
    TStopRequests& operator=(const TStopRequests&) = delete;
    // kNoSocket when the requests cannot be watched.
    TSocket Socket() const;
    // Takes one pending request: "signal N", or empty when none was pending.
    std::string Take();

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace telegate::sim::net
