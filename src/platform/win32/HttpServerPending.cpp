// The Windows build has no HTTP server yet: Debian ships cpp-httplib's code as a
// Linux shared library only, so the server comes to Windows with its move onto
// standalone Asio. Until then Start() refuses with that reason and Telegate.exe
// polls without serving pages.
#include "platform/HttpServer.h"

namespace telegate {

struct THttpServer::Impl {};

THttpServer::THttpServer(Handler, THttpServerLimits) : impl_(std::make_unique<Impl>()) {}

THttpServer::~THttpServer() = default;

bool THttpServer::Start(uint16_t, const std::string&, std::string* error) {
    if (error != nullptr) *error = "the web server is not part of the Windows build yet";
    return false;
}

void THttpServer::Stop() {}

bool THttpServer::Active() const {
    return false;
}

int THttpServer::Port() const {
    return 0;
}

}  // namespace telegate
