// The server runs on standalone Asio: one network thread owns the listener and
// every connection (reads, writes, deadlines), and a fixed pool of workers runs
// the request handler, which may wait for the main thread or read a file.
#include "platform/HttpServer.h"

#include <asio.hpp>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/HttpHead.h"

namespace telegate {

namespace {

using asio::ip::tcp;
using TSteady = std::chrono::steady_clock;

// A fixed number of threads taking jobs from a bounded queue.
class TWorkerPool {
  public:
    TWorkerPool(int threads, int capacity) : capacity_(capacity > 0 ? capacity : 1) {
        for (int i = 0; i < (threads > 0 ? threads : 1); ++i)
            threads_.emplace_back([this] { Run(); });
    }
    ~TWorkerPool() { Stop(); }

    // False when the queue is full or the pool stopped.
    bool Submit(std::function<void()> job) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (stopped_ || static_cast<int>(jobs_.size()) >= capacity_) return false;
            jobs_.push_back(std::move(job));
        }
        cv_.notify_one();
        return true;
    }
    // Drops the queued jobs and waits for the running ones.
    void Stop() {
        std::deque<std::function<void()>> dropped;
        {
            std::lock_guard<std::mutex> lock(mu_);
            stopped_ = true;
            dropped.swap(jobs_);
        }
        cv_.notify_all();
        for (auto& t : threads_)
            if (t.joinable()) t.join();
    }

  private:
    void Run() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(mu_);
                cv_.wait(lock, [this] { return stopped_ || !jobs_.empty(); });
                if (stopped_) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }

    const int capacity_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    bool stopped_ = false;
    std::vector<std::thread> threads_;
};

struct TRun;

// One accepted connection. Touched only on the network thread, except that a worker
// holds a reference while its handler runs and then posts the answer back.
class TConnection : public std::enable_shared_from_this<TConnection> {
  public:
    TConnection(TRun& run, tcp::socket socket, asio::ip::address peer);
    ~TConnection() {
        if (stream_) stream_->Detach();
    }
    void Start() { AwaitRequest(true); }
    void Close();
    // Closes now unless an answer is being written; then closes once it is out.
    void Finish() {
        if (outHead_.empty() || stream_) return Close();
        keepAlive_ = false;
    }
    // Sends a response (network thread).
    // contentLength: the body's length, also when body is left out (HEAD).
    void Send(int status, const std::string& contentType, const std::string& cacheControl,
              std::shared_ptr<const std::string> body, size_t contentLength, bool keepAlive);

    const asio::ip::address& Peer() const { return peer_; }
    // Waiting for a request head (none of it, or part of it), and since when.
    bool WaitingForHead() const { return waitingHead_ && !closed_; }
    TSteady::time_point WaitingSince() const { return waitingSince_; }

    // Starts a streamed answer (network thread).
    void StartStream(std::shared_ptr<THttpStream> stream, const std::string& cacheControl);

  private:
    void PumpStream();
    void AwaitRequest(bool first);
    void Read();
    void OnHead(size_t headSize);
    void ReadBody();
    void Dispatch();
    void SendError(int status);
    void WriteMore();
    void ArmTimer(int ms);

    TRun& run_;
    tcp::socket socket_;
    asio::steady_timer timer_;
    asio::ip::address peer_;
    std::string in_;      // received octets not yet consumed
    size_t scanned_ = 0;  // octets of in_ searched for the end of the head
    bool idle_ = false;   // waiting for the first octet of a kept-alive request
    bool waitingHead_ = false;
    TSteady::time_point waitingSince_{};
    THttpHead head_;
    size_t bodyLeft_ = 0;
    int served_ = 0;
    bool closed_ = false;
    bool keepAlive_ = false;
    std::string outHead_;
    std::shared_ptr<const std::string> outBody_;
    size_t outDone_ = 0;
    std::shared_ptr<THttpStream> stream_;
    bool writing_ = false;  // a write of the stream is under way
    std::array<char, 8192> buf_{};
};

struct TRun {
    TRun(THttpServer::Handler h, const THttpServerLimits& l)
        : handler(std::move(h)),
          limits(l),
          acceptor(io),
          retryTimer(io),
          pool(l.workers, l.maxQueuedRequests) {
        headLimits.maxHeadSize = l.maxHeadSize;
        headLimits.maxHeaderCount = l.maxHeaderCount;
        headLimits.maxBody = l.maxPayload;
    }

    void Accept() {
        acceptor.async_accept([this](const asio::error_code& ec, tcp::socket socket) {
            if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
            if (ec) {
                // Out of descriptors or a transient failure: try again a little later
                // instead of spinning.
                retryTimer.expires_after(std::chrono::milliseconds(100));
                retryTimer.async_wait([this](const asio::error_code& e) {
                    if (!e) Accept();
                });
                return;
            }
            Admit(std::move(socket));
            Accept();
        });
    }

    void Admit(tcp::socket socket) {
        asio::error_code ec;
        const auto remote = socket.remote_endpoint(ec);
        if (ec) return;  // already gone; the socket closes here
        const auto peer = remote.address();
        if (perPeer[peer] >= limits.maxConnectionsPerPeer ||
            (static_cast<int>(connections.size()) >= limits.maxConnections && !MakeRoom())) {
            if (perPeer[peer] == 0) perPeer.erase(peer);
            socket.close(ec);
            return;
        }
        socket.set_option(tcp::no_delay(true), ec);
        auto conn = std::make_shared<TConnection>(*this, std::move(socket), peer);
        connections.insert(conn);
        ++perPeer[peer];
        open.store(static_cast<int>(connections.size()));
        conn->Start();
    }

    // Closes the connection that has waited longest for its request head; false
    // when every connection is busy with a request.
    bool MakeRoom() {
        std::shared_ptr<TConnection> oldest;
        for (const auto& c : connections)
            if (c->WaitingForHead() && (!oldest || c->WaitingSince() < oldest->WaitingSince()))
                oldest = c;
        if (!oldest) return false;
        oldest->Close();
        return true;
    }

    void Forget(const std::shared_ptr<TConnection>& conn) {
        if (connections.erase(conn) == 0) return;
        auto it = perPeer.find(conn->Peer());
        if (it != perPeer.end() && --it->second <= 0) perPeer.erase(it);
        open.store(static_cast<int>(connections.size()));
        if (stopping && connections.empty()) io.stop();
    }

    // The end of serving: answers being written may finish (within a short grace),
    // everything else closes now; the network thread ends when no connection is left.
    void Shutdown() {
        stopping = true;
        asio::error_code ec;
        acceptor.close(ec);
        const auto all = connections;
        for (const auto& c : all) c->Finish();
        if (connections.empty()) return io.stop();
        retryTimer.expires_after(std::chrono::milliseconds(1000));
        retryTimer.async_wait([this](const asio::error_code&) {
            CloseAll();
            io.stop();
        });
    }

    void CloseAll() {
        asio::error_code ec;
        acceptor.close(ec);
        retryTimer.cancel();
        const auto all = connections;
        for (const auto& c : all) c->Close();
    }

    // Declared first: destroyed last, after everything that refers to it.
    asio::io_context io;
    // Keeps the network thread running while no operation is pending (a request in a
    // worker, the listener closed); Shutdown ends it with io.stop().
    asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
    THttpServer::Handler handler;
    THttpServerLimits limits;
    THttpHeadLimits headLimits;
    tcp::acceptor acceptor;
    asio::steady_timer retryTimer;
    std::set<std::shared_ptr<TConnection>> connections;
    std::map<asio::ip::address, int> perPeer;
    std::atomic<int> open{0};
    bool stopping = false;
    TWorkerPool pool;
    std::thread thread;
};

TConnection::TConnection(TRun& run, tcp::socket socket, asio::ip::address peer)
    : run_(run), socket_(std::move(socket)), timer_(run.io), peer_(std::move(peer)) {}

void TConnection::Close() {
    if (closed_) return;
    closed_ = true;
    if (stream_) stream_->Detach();
    asio::error_code ec;
    timer_.cancel();
    socket_.shutdown(tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    run_.Forget(shared_from_this());
}

void TConnection::ArmTimer(int ms) {
    timer_.expires_after(std::chrono::milliseconds(ms > 0 ? ms : 1));
    timer_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
        if (!ec) self->Close();
    });
}

void TConnection::AwaitRequest(bool first) {
    if (closed_) return;
    head_ = THttpHead{};
    scanned_ = 0;
    // A pipelined request may already be waiting in in_.
    idle_ = !first && in_.empty();
    waitingHead_ = true;
    waitingSince_ = TSteady::now();
    ArmTimer(idle_ ? run_.limits.keepAliveTimeoutMs : run_.limits.headTimeoutMs);
    if (!in_.empty()) {
        const size_t end = FindHeadEnd(in_);
        scanned_ = in_.size();
        if (end != 0) return OnHead(end);
    }
    Read();
}

void TConnection::Read() {
    if (in_.size() >= run_.limits.maxHeadSize) return SendError(431);
    const size_t room = std::min(buf_.size(), run_.limits.maxHeadSize - in_.size());
    socket_.async_read_some(asio::buffer(buf_.data(), room),
                            [self = shared_from_this()](const asio::error_code& ec, size_t n) {
                                if (self->closed_) return;
                                if (ec) return self->Close();
                                if (self->idle_) {
                                    // The first octet of the next request: from now on the head
                                    // deadline.
                                    self->idle_ = false;
                                    self->ArmTimer(self->run_.limits.headTimeoutMs);
                                }
                                self->in_.append(self->buf_.data(), n);
                                const size_t end = FindHeadEnd(self->in_, self->scanned_);
                                self->scanned_ = self->in_.size();
                                if (end != 0) return self->OnHead(end);
                                self->Read();
                            });
}

void TConnection::OnHead(size_t headSize) {
    waitingHead_ = false;  // from here on the request is being answered
    head_ = ParseRequestHead(std::string_view(in_).substr(0, headSize), run_.headLimits);
    in_.erase(0, headSize);
    if (head_.status != 0) return SendError(head_.status);
    bodyLeft_ = head_.contentLength;
    ReadBody();
}

void TConnection::ReadBody() {
    // The body is not used: drop it as it arrives (the deadline still runs).
    const size_t have = std::min(bodyLeft_, in_.size());
    in_.erase(0, have);
    bodyLeft_ -= have;
    if (bodyLeft_ == 0) return Dispatch();
    socket_.async_read_some(asio::buffer(buf_),
                            [self = shared_from_this()](const asio::error_code& ec, size_t n) {
                                if (self->closed_) return;
                                if (ec) return self->Close();
                                self->in_.append(self->buf_.data(), n);
                                self->ReadBody();
                            });
}

void TConnection::Dispatch() {
    timer_.cancel();
    ++served_;
    const bool keepAlive = head_.keepAlive && served_ < run_.limits.keepAliveMaxCount;
    THttpRequest req;
    req.method = head_.method;
    req.target = head_.target;
    const auto q = req.target.find('?');
    req.path = req.target.substr(0, q);
    if (q != std::string::npos) req.query = req.target.substr(q + 1);
    const bool isHead = req.method == "HEAD";
    TRun* run = &run_;
    auto job = [run, self = shared_from_this(), req = std::move(req), isHead, keepAlive]() mutable {
        THttpResponse out;
        try {
            run->handler(req, out);
        } catch (...) {
            out = THttpResponse{};
            out.status = 500;
        }
        if (out.stream && !isHead && out.status == 200) {
            asio::post(run->io, [self = std::move(self), stream = std::move(out.stream),
                                 cache = std::move(out.cacheControl)]() mutable {
                self->StartStream(std::move(stream), cache);
            });
            return;
        }
        if (out.stream) out.stream->Detach();
        std::string type = out.contentType.empty() ? "text/plain" : out.contentType;
        auto body = std::make_shared<std::string>();
        if (!out.filePath.empty()) {
            std::ifstream f(out.filePath, std::ios::binary);
            bool ok = false;
            if (f) {
                f.seekg(0, std::ios::end);
                const auto size = f.tellg();
                f.seekg(0);
                if (size > 0 && static_cast<size_t>(size) <= run->limits.maxFileSize) {
                    body->resize(static_cast<size_t>(size));
                    f.read(body->data(), size);
                    ok = f.gcount() == size;
                }
            }
            if (!ok) {
                body->clear();
                out.status = 404;
                out.cacheControl.clear();
                type = "text/plain";
            }
        } else {
            *body = std::move(out.body);
        }
        // A HEAD answer carries the length of the body it leaves out.
        const size_t length = body->size();
        if (isHead) body.reset();
        asio::post(run->io, [self = std::move(self), status = out.status, type = std::move(type),
                             cache = std::move(out.cacheControl), body = std::move(body), length,
                             keepAlive]() mutable {
            self->Send(status, type, cache, std::move(body), length, keepAlive);
        });
    };
    if (!run_.pool.Submit(std::move(job))) {
        // Every worker busy and the queue full: answer at once rather than queue more.
        Send(503, "text/plain", "", nullptr, 0, false);
    }
}

void TConnection::SendError(int status) {
    Send(status, "text/plain", "", nullptr, 0, false);
}

void TConnection::Send(int status, const std::string& contentType, const std::string& cacheControl,
                       std::shared_ptr<const std::string> body, size_t contentLength,
                       bool keepAlive) {
    if (closed_) return;
    waitingHead_ = false;
    keepAlive_ = keepAlive && !run_.stopping;
    outBody_ = std::move(body);
    outHead_ = FormatResponseHead(status, contentType, cacheControl, contentLength, keepAlive);
    outDone_ = 0;
    ArmTimer(run_.limits.writeTimeoutMs);
    WriteMore();
}

void TConnection::WriteMore() {
    if (closed_) return;
    const size_t headLen = outHead_.size();
    const size_t total = headLen + (outBody_ ? outBody_->size() : 0);
    if (outDone_ >= total) {
        if (stream_) {
            writing_ = false;
            return PumpStream();
        }
        if (!keepAlive_) {
            // Let the client read the answer before the connection goes.
            asio::error_code ec;
            socket_.shutdown(tcp::socket::shutdown_send, ec);
            return Close();
        }
        outBody_.reset();
        outHead_.clear();
        return AwaitRequest(false);
    }
    std::array<asio::const_buffer, 2> bufs;
    size_t count = 0;
    if (outDone_ < headLen)
        bufs[count++] = asio::buffer(outHead_.data() + outDone_, headLen - outDone_);
    if (outBody_) {
        const size_t bodyDone = outDone_ > headLen ? outDone_ - headLen : 0;
        bufs[count++] = asio::buffer(outBody_->data() + bodyDone,
                                     std::min<size_t>(outBody_->size() - bodyDone, 256 * 1024));
    }
    socket_.async_write_some(
        std::vector<asio::const_buffer>(bufs.begin(), bufs.begin() + static_cast<long>(count)),
        [self = shared_from_this()](const asio::error_code& ec, size_t n) {
            if (self->closed_) return;
            if (ec) return self->Close();
            self->outDone_ += n;
            // Progress: the write deadline starts again.
            self->ArmTimer(self->run_.limits.writeTimeoutMs);
            self->WriteMore();
        });
}

void TConnection::StartStream(std::shared_ptr<THttpStream> stream,
                              const std::string& cacheControl) {
    if (closed_) {
        stream->Detach();
        return;
    }
    stream_ = std::move(stream);
    keepAlive_ = false;
    // No length: the body ends when the connection does.
    outHead_ = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream; charset=utf-8\r\n";
    outHead_ += "Cache-Control: " + (cacheControl.empty() ? std::string("no-cache") : cacheControl);
    outHead_ += "\r\nX-Accel-Buffering: no\r\nConnection: close\r\n\r\n";
    outBody_.reset();
    outDone_ = 0;
    writing_ = true;
    // Producers wake the network thread only when it found the queue empty.
    std::weak_ptr<TConnection> weak = weak_from_this();
    asio::io_context& io = run_.io;
    stream_->SetWake([weak, &io] {
        asio::post(io, [weak] {
            if (auto self = weak.lock()) self->PumpStream();
        });
    });
    ArmTimer(run_.limits.writeTimeoutMs);
    WriteMore();
}

void TConnection::PumpStream() {
    if (closed_ || !stream_ || writing_) return;
    if (run_.stopping) return Close();
    std::string text = stream_->Take();
    if (text.empty()) {
        if (stream_->Drained()) {
            asio::error_code ec;
            socket_.shutdown(tcp::socket::shutdown_send, ec);
            return Close();
        }
        // Idle: the head deadline applies until the next text.
        ArmTimer(run_.limits.headTimeoutMs);
        return;
    }
    outHead_.clear();
    outBody_ = std::make_shared<const std::string>(std::move(text));
    outDone_ = 0;
    writing_ = true;
    ArmTimer(run_.limits.writeTimeoutMs);
    WriteMore();
}

}  // namespace

struct THttpServer::Impl {
    Handler handler;
    THttpServerLimits limits;
    std::mutex mu;  // guards run across Start and Stop
    std::unique_ptr<TRun> run;
    std::atomic<bool> active{false};
    std::atomic<int> port{0};
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
    auto run = std::make_unique<TRun>(impl_->handler, impl_->limits);
    asio::error_code ec;
    const auto address = asio::ip::make_address(bindAddress, ec);
    if (!ec) {
        const tcp::endpoint endpoint(address, port);
        run->acceptor.open(endpoint.protocol(), ec);
#if defined(_WIN32)
        // On Windows SO_REUSEADDR would let a second server take a port in use, and
        // without exclusive use another program's could: take the port for ourselves.
        if (!ec)
            run->acceptor.set_option(
                asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>(true), ec);
#else
        // Listen again at once after a restart.
        if (!ec) run->acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
#endif
        if (!ec) run->acceptor.bind(endpoint, ec);
        if (!ec) run->acceptor.listen(asio::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        if (error)
            *error = "cannot listen on " + bindAddress + ":" + std::to_string(port) + ": " +
                     ec.message();
        run->pool.Stop();
        return false;
    }
    impl_->port = run->acceptor.local_endpoint(ec).port();
    TRun* r = run.get();
    r->Accept();
    r->thread = std::thread([r] {
        for (;;) {
            try {
                r->io.run();
                return;
            } catch (...) {
                // A handler that throws must not end the network thread.
            }
        }
    });
    impl_->run = std::move(run);
    impl_->active = true;
    return true;
}

void THttpServer::Stop() {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (!impl_->run) return;
    TRun* r = impl_->run.get();
    // No new connections; the handlers running now finish and their answers are
    // queued on the network thread ahead of the final close.
    asio::post(r->io, [r] {
        asio::error_code ec;
        r->acceptor.close(ec);
    });
    r->pool.Stop();
    asio::post(r->io, [r] { r->Shutdown(); });
    if (r->thread.joinable()) r->thread.join();
    impl_->run.reset();
    impl_->active = false;
    impl_->port = 0;
}

bool THttpServer::Active() const {
    return impl_->active;
}

int THttpServer::Port() const {
    return impl_->port;
}

int THttpServer::OpenConnections() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->run ? impl_->run->open.load() : 0;
}

}  // namespace telegate
