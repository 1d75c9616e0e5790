// A small HTTP/1.x server: a listener on a port, every connection served by one
// event-driven network thread, and one handler that turns a request into a status,
// a content type, a cache control and a text or file body. The handler runs on a
// small fixed pool of worker threads, never one thread per connection.
//
// Hostile clients are bounded: the whole request head must arrive within a
// deadline, its size and its number of header fields are limited, and so are the
// connections open at once, in total and per peer address, so the server never
// holds more than maxConnections sockets whatever its clients do. A connection
// beyond its address's limit is closed as soon as it is accepted. When the total
// is reached, the connection that has waited longest for its request head (or,
// kept alive, for its next request) is closed to make room; one whose request is
// being answered never is. So slow clients from many addresses cannot keep a
// client with a complete request from being served.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/HttpStream.h"

namespace telegate {

struct THttpRequest {
    std::string method;
    std::string target;  // as received: path and query, still percent-encoded
    std::string path;    // the part of target before '?', still percent-encoded
    std::string query;   // the part after '?', as received
};

struct THttpResponse {
    int status = 200;
    std::string contentType;
    std::string cacheControl;  // empty: no Cache-Control header
    std::string body;          // text body (already in its final encoding)
    std::string filePath;      // when not empty: send this file's bytes instead of body
    // When set: the answer is a stream (Server-Sent Events) that stays open and
    // carries what the producers push, until either side ends it. It counts
    // against the connection limits like any connection, and is closed when it
    // has had nothing to send for the head deadline or its reader makes no
    // progress for the write deadline.
    std::shared_ptr<THttpStream> stream;
};

struct THttpServerLimits {
    int workers = 2;             // threads that run the handler
    int maxQueuedRequests = 64;  // requests waiting for a worker; beyond: 503 at once
    int maxConnections = 48;     // open connections in total
    int maxConnectionsPerPeer = 12;
    int headTimeoutMs = 10000;      // from accept (or the first octet of a keep-alive request)
                                    // to the end of the request head and its body
    int writeTimeoutMs = 5000;      // a response that makes no progress this long is dropped
    int keepAliveTimeoutMs = 2000;  // an idle kept-alive connection is closed after this
    int keepAliveMaxCount = 100;    // requests on one connection
    size_t maxHeadSize = 64 * 1024;
    int maxHeaderCount = 100;
    size_t maxPayload = 64 * 1024;   // request bodies are read and dropped up to this size
    size_t maxFileSize = 16u << 20;  // static files larger than this answer 404
};

class THttpServer {
  public:
    using Handler = std::function<void(const THttpRequest&, THttpResponse&)>;

    explicit THttpServer(Handler handler, THttpServerLimits limits = {});
    ~THttpServer();
    THttpServer(const THttpServer&) = delete;
    THttpServer& operator=(const THttpServer&) = delete;

    // Binds and starts serving on its own thread. Port 0 takes a free port (see Port()).
    // False, with a reason in *error, when the port cannot be bound.
    bool Start(uint16_t port, const std::string& bindAddress = "0.0.0.0",
               std::string* error = nullptr);
    // Stops listening, ends open connections and waits for the network thread and
    // the workers (a handler that is running finishes first).
    void Stop();
    bool Active() const;
    int Port() const;
    // Connections open now (for tests and figures).
    int OpenConnections() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace telegate
