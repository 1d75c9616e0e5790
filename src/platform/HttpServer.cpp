#include "platform/HttpServer.h"

#include <httplib.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace telegate {

struct THttpServer::Impl {
    Handler handler;
    THttpServerLimits limits;
    std::mutex mu;  // guards server/thread across Start and Stop
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    std::atomic<bool> active{false};
    std::atomic<int> port{0};

    void Serve(const httplib::Request& req, httplib::Response& res) const {
        THttpRequest r;
        r.method = req.method;
        r.target = req.target;
        const auto q = req.target.find('?');
        r.path = req.target.substr(0, q);
        if (q != std::string::npos) r.query = req.target.substr(q + 1);
        THttpResponse out;
        try {
            handler(r, out);
        } catch (...) {
            out = THttpResponse{};
            out.status = 500;
        }
        res.status = out.status;
        if (!out.cacheControl.empty()) res.set_header("Cache-Control", out.cacheControl);
        const std::string type = out.contentType.empty() ? "text/plain" : out.contentType;
        if (!out.filePath.empty()) {
            std::ifstream f(out.filePath, std::ios::binary);
            std::ostringstream ss;
            if (f) {
                f.seekg(0, std::ios::end);
                const auto size = f.tellg();
                f.seekg(0);
                if (size >= 0 && static_cast<size_t>(size) <= limits.maxFileSize) ss << f.rdbuf();
            }
            if (!f || ss.str().empty()) {
                res.status = 404;
                res.set_content("", "text/plain");
                return;
            }
            res.set_content(ss.str(), type);
            return;
        }
        res.set_content(out.body, type);
    }
};

THttpServer::THttpServer(Handler handler, THttpServerLimits limits) : impl_(new Impl) {
    impl_->handler = std::move(handler);
    impl_->limits = limits;
}

THttpServer::~THttpServer() {
    Stop();
}

bool THttpServer::Start(uint16_t port, const std::string& bindAddress, std::string* error) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (impl_->active) return true;
    auto server = std::make_unique<httplib::Server>();
    const int threads = impl_->limits.threads > 0 ? impl_->limits.threads : 1;
    server->new_task_queue = [threads] {
        return new httplib::ThreadPool(static_cast<size_t>(threads));
    };
    server->set_read_timeout(impl_->limits.readTimeoutSec, 0);
    server->set_write_timeout(impl_->limits.writeTimeoutSec, 0);
    server->set_keep_alive_timeout(impl_->limits.keepAliveTimeoutSec);
    server->set_keep_alive_max_count(static_cast<size_t>(impl_->limits.keepAliveMaxCount));
    server->set_payload_max_length(impl_->limits.maxPayload);
    // SO_REUSEADDR only: with the library's default SO_REUSEPORT a second server
    // could bind a port already in use and silently share its connections.
    // On Windows SO_REUSEADDR itself would allow that; there the port is taken exclusively.
    auto listenSock = std::make_shared<socket_t>(INVALID_SOCKET);
    server->set_socket_options([listenSock](socket_t sock) {
        int yes = 1;
#ifdef SO_EXCLUSIVEADDRUSE
        const int option = SO_EXCLUSIVEADDRUSE;
#else
        const int option = SO_REUSEADDR;
#endif
        ::setsockopt(sock, SOL_SOCKET, option, reinterpret_cast<const char*>(&yes), sizeof yes);
        *listenSock = sock;
    });
    Impl* impl = impl_.get();
    auto route = [impl](const httplib::Request& req, httplib::Response& res) {
        impl->Serve(req, res);
    };
    server->Get(".*", route);
    server->Post(".*", route);
    int bound = -1;
    if (port == 0) {
        bound = server->bind_to_any_port(bindAddress);
    } else {
        bound = server->bind_to_port(bindAddress, port) ? port : -1;
    }
    if (bound <= 0) {
        if (error) *error = "cannot listen on " + bindAddress + ":" + std::to_string(port);
        return false;
    }
    // The library listens with a backlog of 5, which drops connections of a burst of
    // clients; listening again on the same socket raises the backlog.
    if (*listenSock != INVALID_SOCKET) ::listen(*listenSock, 1024);
    impl_->port = bound;
    impl_->server = std::move(server);
    impl_->active = true;
    httplib::Server* s = impl_->server.get();
    impl_->thread = std::thread([s] { s->listen_after_bind(); });
    // stop() only takes effect once the accept loop runs; wait for it so that an
    // immediate Stop() cannot leave the thread blocked in accept.
    for (int i = 0; i < 2000 && !s->is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

void THttpServer::Stop() {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (!impl_->server) return;
    impl_->server->stop();
    if (impl_->thread.joinable()) impl_->thread.join();
    impl_->server.reset();
    impl_->active = false;
    impl_->port = 0;
}

bool THttpServer::Active() const {
    return impl_->active;
}

int THttpServer::Port() const {
    return impl_->port;
}

}  // namespace telegate
