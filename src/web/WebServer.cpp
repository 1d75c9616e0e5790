#include "web/WebServer.h"

#include <utility>

namespace telegate {

TWebServer::TWebServer(std::filesystem::path webFolder, TWebDispatch::TViewSource source,
                       TWebDispatch::TPostToMain post, THttpServerLimits limits, int pageWaitMs)
    : FDispatch(std::move(webFolder), std::move(source), std::move(post), pageWaitMs),
      FHttp([this](const THttpRequest& request,
                   THttpResponse& response) { FDispatch.CommandGet(request, response); },
            limits) {}

TWebServer::~TWebServer() {
    Deactivate();
}

bool TWebServer::Activate(int32_t port, std::string* error, const std::string& bindAddress) {
    if (FHttp.Active()) return true;
    FDispatch.Resume();
    const auto port16 = static_cast<uint16_t>(static_cast<uint32_t>(port) & 0xFFFFu);
    try {
        return FHttp.Start(port16, bindAddress, error);
    } catch (const std::exception& e) {
        if (error) *error = e.what();
        return false;
    }
}

void TWebServer::Deactivate() {
    FDispatch.Cancel();
    FHttp.Stop();
}

bool TWebServer::Active() const {
    return FHttp.Active();
}

int TWebServer::Port() const {
    return FHttp.Port();
}

}  // namespace telegate
