// The sockets of telegate-sim: one listening socket per port (one station each),
// any number of connections, standard input commands and signals, all served by a
// single poll loop on one thread.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "SimLink.h"
#include "SimNet.h"
#include "SimOptions.h"
#include "SimStation.h"
#include "support/Clock.h"

namespace telegate::sim {

// Lines to a stdio stream, flushed one by one so that a reading process sees each at once.
class TStreamLog : public ISimLog {
  public:
    TStreamLog(std::FILE* f, bool quiet, bool verbose) : f_(f), quiet_(quiet), verbose_(verbose) {}
    void Put(ELineKind kind, const std::string& line) override;
    bool Wants(ELineKind kind) const override;

  private:
    std::FILE* f_;
    bool quiet_;
    bool verbose_;
};

class TSimServer {
  public:
    // One station per port of the options, in order.
    TSimServer(const TSimOptions& options, std::vector<TSimStation> stations, const IClock& clock,
               ISimLog& log);
    ~TSimServer();
    TSimServer(const TSimServer&) = delete;
    TSimServer& operator=(const TSimServer&) = delete;

    // Binds and listens on every port; prints "listening ADDR:PORT" lines and "ready".
    // Returns an error text, empty on success.
    std::string Open();
    // The ports actually bound (after Open).
    std::vector<int> Ports() const;
    // Serves until "quit", a stop request, --duration or --exit-on-count. Commands
    // come from input (net::kNoSocket: none); stop may be null.
    void Run(net::TSocket input, net::TStopRequests* stop);
    // Executes one command line; false when it asks to quit.
    bool Command(const std::string& line);

  private:
    struct TStationSlot {
        std::unique_ptr<TSimStation> station;
        TSimLinkParams params;
        net::TSocket listener = net::kNoSocket;
        int port = 0;
        bool countDone = false;
    };
    struct TConn {
        net::TSocket socket = net::kNoSocket;
        size_t slot = 0;
        std::string peer;
        std::unique_ptr<TSimLink> link;
    };

    void Accept(size_t slot);
    void ReadConn(TConn& c);
    void Flush(TConn& c);
    void CloseConn(TConn& c, const std::string& reason);
    void ReadStdin(net::TSocket input);
    void Event(const std::string& line);

    TSimOptions options_;
    const IClock& clock_;
    ISimLog& log_;
    std::vector<TStationSlot> slots_;
    std::vector<std::unique_ptr<TConn>> conns_;
    std::string stdinBuf_;
    bool stdinOpen_ = true;
    bool stop_ = false;
};

}  // namespace telegate::sim
