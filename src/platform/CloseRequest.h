// Requests from outside to close the program as the operator would: SIGINT and
// SIGTERM on Linux; Ctrl-C, Ctrl-Break, closing the console window, log-off and
// shut-down on Windows. The request never runs work in a signal or console
// handler: it calls onClose on a thread of its own, which typically posts the
// close to the main loop.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace telegate {

class TCloseRequests {
  public:
    // Create before any other thread starts (on Linux the signals are blocked here
    // so that every thread inherits the mask). Only one object exists at a time.
    TCloseRequests();
    ~TCloseRequests();
    TCloseRequests(const TCloseRequests&) = delete;
    TCloseRequests& operator=(const TCloseRequests&) = delete;

    // Starts watching; onClose runs once per request, on the watcher's thread.
    // False, with LastError(), when the requests cannot be watched.
    bool Start(std::function<void()> onClose);
    // Stops watching and tells a pending console close that the program has
    // finished closing. Call after the main loop has returned.
    void Stop();
    const std::string& LastError() const { return error_; }

    struct Impl;  // the target's side (public so that its handlers reach it)

  private:
    std::unique_ptr<Impl> impl_;
    std::string error_;
};

}  // namespace telegate
