// Requests from outside to close the program as the operator would: SIGINT and
// SIGTERM on Linux; on Windows Ctrl-C, Ctrl-Break and closing the console window
// (when a console is attached), the close event Local\Telegate-Close-<process id>
// ("Telegate.exe --close"), WM_CLOSE to the program's hidden window ("taskkill
// /pid N" without /f), log-off and shut-down. The request never runs work in a signal or console
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
    // False, with LastError(), when the requests cannot be watched; true with a
    // LastError() when one of the ways cannot be watched (a warning).
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

#ifdef _WIN32
// The name of the close event of the copy running as processId.
std::string CloseEventName(unsigned long processId);
// Sets the close event of the copy processId (0: of every other running process
// of this executable's name) and waits up to waitMs for each to end. report says
// what happened, one line per process. 0 when every copy reached has ended, 1
// when none could be reached, 3 when one still runs after waitMs.
int RequestClose(unsigned long processId, int waitMs, std::string& report);
#endif

}  // namespace telegate
