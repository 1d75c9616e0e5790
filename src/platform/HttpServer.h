// A thin HTTP/1.x server: a listener on a port, one pooled thread per connection,
// and one handler that turns a request into a status, a content type, a cache
// control and a text or file body. The HTTP library stays behind this header.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

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
};

struct THttpServerLimits {
    int threads = 32;        // connections served at once; more wait in the queue
    int readTimeoutSec = 5;  // a client that stalls longer is dropped
    int writeTimeoutSec = 5;
    int keepAliveTimeoutSec = 2;
    int keepAliveMaxCount = 100;
    size_t maxPayload = 64 * 1024;   // request bodies are not used; refuse big ones
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
    // Stops listening, ends open connections and waits for the serving thread.
    void Stop();
    bool Active() const;
    int Port() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace telegate
