#include "platform/HttpHead.h"

#include <charconv>

namespace telegate {

namespace {

bool IEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// True when list (a comma-separated header value) holds token.
bool HasToken(std::string_view list, std::string_view token) {
    while (!list.empty()) {
        const auto comma = list.find(',');
        if (IEquals(Trim(list.substr(0, comma)), token)) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

bool IsTokenChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F) return false;
    return std::string_view("()<>@,;:\\\"/[]?={}").find(c) == std::string_view::npos;
}

THttpHead Refuse(int status) {
    THttpHead h;
    h.status = status;
    return h;
}

}  // namespace

size_t FindHeadEnd(std::string_view data, size_t scanFrom) {
    // Back up so that a line end split across two reads is found.
    size_t i = scanFrom > 3 ? scanFrom - 3 : 0;
    for (; i < data.size(); ++i) {
        if (data[i] != '\n') continue;
        if (i + 1 < data.size() && data[i + 1] == '\n') return i + 2;
        if (i + 2 < data.size() && data[i + 1] == '\r' && data[i + 2] == '\n') return i + 3;
    }
    return 0;
}

THttpHead ParseRequestHead(std::string_view head, const THttpHeadLimits& limits) {
    if (head.size() > limits.maxHeadSize) return Refuse(431);
    THttpHead h;
    // Request line.
    auto nextLine = [&head]() -> std::string_view {
        const auto lf = head.find('\n');
        std::string_view line = head.substr(0, lf);
        head.remove_prefix(lf == std::string_view::npos ? head.size() : lf + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        return line;
    };
    std::string_view line = nextLine();
    // Empty lines before a request line are tolerated.
    while (line.empty() && !head.empty()) line = nextLine();
    const auto sp1 = line.find(' ');
    const auto sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp1 == 0 || sp2 == std::string_view::npos || sp2 == sp1 + 1) return Refuse(400);
    const std::string_view method = line.substr(0, sp1);
    const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string_view version = line.substr(sp2 + 1);
    for (const char c : method)
        if (!IsTokenChar(c)) return Refuse(400);
    for (const char c : target) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F) return Refuse(400);
    }
    if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || version[6] != '.' ||
        version[5] < '0' || version[5] > '9' || version[7] < '0' || version[7] > '9')
        return Refuse(400);
    if (version[5] != '1') return Refuse(505);
    h.versionMinor = version[7] - '0';
    if (method != "GET" && method != "HEAD" && method != "POST") return Refuse(405);
    if (target.front() != '/') return Refuse(400);
    h.method = std::string(method);
    h.target = std::string(target);

    // Header fields.
    int count = 0;
    bool closeAsked = false, keepAliveAsked = false, haveLength = false;
    for (;;) {
        line = nextLine();
        if (line.empty()) break;
        if (++count > limits.maxHeaderCount) return Refuse(431);
        // A continuation line (obsolete folding) is not accepted.
        if (line.front() == ' ' || line.front() == '\t') return Refuse(400);
        const auto colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) return Refuse(400);
        const std::string_view name = line.substr(0, colon);
        for (const char c : name)
            if (!IsTokenChar(c)) return Refuse(400);
        const std::string_view value = Trim(line.substr(colon + 1));
        if (IEquals(name, "Connection")) {
            closeAsked = closeAsked || HasToken(value, "close");
            keepAliveAsked = keepAliveAsked || HasToken(value, "keep-alive");
        } else if (IEquals(name, "Content-Length")) {
            size_t n = 0;
            const auto res = std::from_chars(value.data(), value.data() + value.size(), n);
            if (value.empty() || res.ec == std::errc::result_out_of_range)
                return Refuse(value.empty() ? 400 : 413);
            if (res.ec != std::errc() || res.ptr != value.data() + value.size()) return Refuse(400);
            if (haveLength && n != h.contentLength) return Refuse(400);
            haveLength = true;
            h.contentLength = n;
        } else if (IEquals(name, "Transfer-Encoding")) {
            return Refuse(501);
        }
    }
    if (h.contentLength > limits.maxBody) return Refuse(413);
    h.keepAlive = h.versionMinor >= 1 ? !closeAsked : (keepAliveAsked && !closeAsked);
    return h;
}

std::string_view HttpReason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        case 413:
            return "Payload Too Large";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 503:
            return "Service Unavailable";
        case 505:
            return "HTTP Version Not Supported";
        default:
            return status >= 200 && status < 300 ? "OK" : "Error";
    }
}

std::string FormatResponseHead(int status, std::string_view contentType,
                               std::string_view cacheControl, size_t contentLength,
                               bool keepAlive) {
    std::string out;
    out.reserve(160);
    out += "HTTP/1.1 ";
    out += std::to_string(status);
    out += ' ';
    out += HttpReason(status);
    out += "\r\nContent-Type: ";
    out += contentType;
    out += "\r\nContent-Length: ";
    out += std::to_string(contentLength);
    if (!cacheControl.empty()) {
        out += "\r\nCache-Control: ";
        out += cacheControl;
    }
    if (status == 405) out += "\r\nAllow: GET, HEAD, POST";
    out += keepAlive ? "\r\nConnection: keep-alive\r\n\r\n" : "\r\nConnection: close\r\n\r\n";
    return out;
}

}  // namespace telegate
