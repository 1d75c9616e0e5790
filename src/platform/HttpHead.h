// The HTTP/1.x request head as the web server reads it: finding its end in the
// received bytes, parsing the request line and the header fields under fixed
// limits, and forming the head of a response. No sockets here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace telegate {

struct THttpHeadLimits {
    size_t maxHeadSize = 64 * 1024;  // request line and header fields, with line ends
    int maxHeaderCount = 100;
    size_t maxBody = 64 * 1024;  // request bodies are read and dropped up to this size
};

struct THttpHead {
    int status = 0;  // 0: a request to serve; otherwise the error status to answer
    std::string method;
    std::string target;
    int versionMinor = 1;  // HTTP/1.x
    bool keepAlive = false;
    size_t contentLength = 0;
};

// The length of the head (through its empty line) at the start of data, or 0 when
// the empty line has not arrived yet. Lines end with CR LF or a bare LF.
// scanFrom: how many octets were already searched by an earlier call (saves
// rescanning a head that arrives in small pieces).
size_t FindHeadEnd(std::string_view data, size_t scanFrom = 0);

// Parses a complete head (as delimited by FindHeadEnd). On a malformed or refused
// request status tells what to answer: 400 (malformed), 405 (method other than GET,
// HEAD, POST), 413 (body above the limit), 431 (too many or too long header fields),
// 501 (transfer codings), 505 (not HTTP/1.x).
THttpHead ParseRequestHead(std::string_view head, const THttpHeadLimits& limits);

// The reason phrase of a status code ("OK", "Not Found", ...).
std::string_view HttpReason(int status);

// The head of a response: status line, Content-Type, Content-Length, Cache-Control
// (when not empty), Connection, and the empty line.
std::string FormatResponseHead(int status, std::string_view contentType,
                               std::string_view cacheControl, size_t contentLength, bool keepAlive);

}  // namespace telegate
