// The built-in web server: an HTTP listener with the web request handler. It runs
// while polling runs; a failure to activate (port in use) is reported as false and
// the program goes on without web access.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/HttpServer.h"
#include "web/WebDispatch.h"

namespace telegate {

class TWebServer {
  public:
    // webFolder: the "web" folder beside the executable. source gives the view of
    // the live data and runs on the main thread, where post (IMainLoop::post)
    // queues each page build.
    TWebServer(std::filesystem::path webFolder, TWebDispatch::TViewSource source,
               TWebDispatch::TPostToMain post, THttpServerLimits limits = {},
               int pageWaitMs = TWebDispatch::kDefaultPageWaitMs);
    ~TWebServer();
    TWebServer(const TWebServer&) = delete;
    TWebServer& operator=(const TWebServer&) = delete;

    // Listens on the low 16 bits of port (0: any free port, see Port()) on all local
    // addresses unless bindAddress says otherwise. True when listening (also when it
    // already was); false, with the reason in *error, when it cannot.
    bool Activate(int32_t port, std::string* error = nullptr,
                  const std::string& bindAddress = "0.0.0.0");
    // Answers waiting page requests with 503, closes the listener and the open
    // connections and waits for the connection threads. Safe on the main thread and
    // when not active.
    void Deactivate();
    bool Active() const;
    int Port() const;

    TWebDispatch& Dispatch() { return FDispatch; }

  private:
    TWebDispatch FDispatch;
    THttpServer FHttp;
};

}  // namespace telegate
