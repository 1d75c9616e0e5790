#include <gtest/gtest.h>

#include <string>

#include "platform/HttpHead.h"

namespace telegate {
namespace {

TEST(HttpHeadTest, FindsTheEndOfTheHeadAcrossPieces) {
    EXPECT_EQ(FindHeadEnd("GET / HTTP/1.1\r\nA: b\r\n\r\nrest"), 24u);
    EXPECT_EQ(FindHeadEnd("GET / HTTP/1.0\n\nrest"), 16u);
    EXPECT_EQ(FindHeadEnd("GET / HTTP/1.1\r\nA: b\r\n\r"), 0u);
    // The empty line split between two reads: the second call starts where the first
    // stopped and still finds it.
    const std::string head = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    EXPECT_EQ(FindHeadEnd(head.substr(0, head.size() - 1)), 0u);
    EXPECT_EQ(FindHeadEnd(head, head.size() - 1), head.size());
}

TEST(HttpHeadTest, ParsesOrRefusesRequestHeads) {
    const THttpHeadLimits limits{/*maxHeadSize=*/4096, /*maxHeaderCount=*/5, /*maxBody=*/100};
    std::string many = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 6; ++i) many += "X" + std::to_string(i) + ": v\r\n";
    struct Case {
        std::string head;
        int status;
        bool keepAlive;
        size_t length;
    } cases[] = {
        {"GET /a?b=1 HTTP/1.1\r\nHost: x\r\n\r\n", 0, true, 0},
        {"GET / HTTP/1.1\r\nConnection: Keep-Alive, Close\r\n\r\n", 0, false, 0},
        {"GET / HTTP/1.0\r\n\r\n", 0, false, 0},
        {"HEAD / HTTP/1.0\r\nconnection: keep-alive\r\n\r\n", 0, true, 0},
        {"\r\nPOST /p HTTP/1.1\nContent-Length: 100\n\n", 0, true, 100},
        {"POST /p HTTP/1.1\r\nContent-Length: 101\r\n\r\n", 413, false, 0},
        {"POST /p HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n", 413, false, 0},
        {"POST /p HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 400, false, 0},
        {"POST /p HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n", 400, false, 0},
        {"POST /p HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 501, false, 0},
        {"PUT / HTTP/1.1\r\n\r\n", 405, false, 0},
        {"GET / HTTP/2.0\r\n\r\n", 505, false, 0},
        {"GET / FTP/1.0\r\n\r\n", 400, false, 0},
        {"GET  / HTTP/1.1\r\n\r\n", 400, false, 0},
        {"GET /\x01 HTTP/1.1\r\n\r\n", 400, false, 0},
        {"GET http://x/ HTTP/1.1\r\n\r\n", 400, false, 0},
        {"GET / HTTP/1.1\r\nNoColon\r\n\r\n", 400, false, 0},
        {"GET / HTTP/1.1\r\nA: b\r\n folded\r\n\r\n", 400, false, 0},
        {"GET / HTTP/1.1\r\nBad Name: b\r\n\r\n", 400, false, 0},
        {"\r\n\r\n", 400, false, 0},
        {many + "\r\n", 431, false, 0},
        {"GET /" + std::string(5000, 'a') + " HTTP/1.1\r\n\r\n", 431, false, 0},
    };
    for (const auto& c : cases) {
        const THttpHead h = ParseRequestHead(c.head, limits);
        EXPECT_EQ(h.status, c.status) << c.head.substr(0, 80);
        if (c.status == 0) {
            EXPECT_EQ(h.keepAlive, c.keepAlive) << c.head;
            EXPECT_EQ(h.contentLength, c.length) << c.head;
        }
    }
    const THttpHead h = ParseRequestHead("GET /a?b=1 HTTP/1.1\r\nHost: x\r\n\r\n", limits);
    EXPECT_EQ(h.method, "GET");
    EXPECT_EQ(h.target, "/a?b=1");
}

TEST(HttpHeadTest, FormsTheResponseHead) {
    EXPECT_EQ(FormatResponseHead(200, "text/html", "no-cache", 12, true),
              "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 12\r\n"
              "Cache-Control: no-cache\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_EQ(FormatResponseHead(404, "text/plain", "", 0, false),
              "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n"
              "Connection: close\r\n\r\n");
}

}  // namespace
}  // namespace telegate
