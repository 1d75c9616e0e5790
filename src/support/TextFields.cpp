#include "support/TextFields.h"

#include <charconv>
#include <cmath>
#include <cstdint>

#include "support/CodePage.h"

namespace telegate {

namespace {

bool IsTrimmed(char c) {
    return static_cast<unsigned char>(c) <= 0x20;
}

std::string_view Trim(std::string_view s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && IsTrimmed(s[b])) ++b;
    while (e > b && IsTrimmed(s[e - 1])) --e;
    return s.substr(b, e - b);
}

// Octet offset of the first n characters of UTF-8 text (the whole text when shorter).
size_t Utf8Prefix(std::string_view s, size_t n) {
    size_t chars = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
            if (chars == n) return i;
            ++chars;
        }
    }
    return s.size();
}

[[noreturn]] void ThrowConvert(std::string_view field, const char* what) {
    std::string msg = "'";
    msg.append(field);
    msg += "' ";
    msg += what;
    throw EConvertError(msg);
}

}  // namespace

TSplitArray::TSplitArray(int size, char dev)
    : List(static_cast<size_t>(size > 0 ? size : 1)), FSize(size > 0 ? size : 1), Fdev(dev) {}

void TSplitArray::SplitString(std::string_view strInp) {
    for (auto& f : List) f.clear();
    nvar = 0;
    bool quoted = false;
    size_t start = 0;
    const size_t len = strInp.size();
    for (size_t i = 0; i < len; ++i) {
        const char c = strInp[i];
        if (c == '"') quoted = !quoted;
        const bool isSep = c == Fdev;
        if ((isSep || i + 1 == len) && !quoted) {
            const size_t end = isSep ? i : i + 1;
            List[static_cast<size_t>(nvar)].assign(Trim(strInp.substr(start, end - start)));
            start = i + 1;
            ++nvar;
            if (nvar >= FSize) break;
        }
    }
}

const std::string& TSplitArray::GetField(int ind) const {
    if (ind < 0 || ind >= nvar) return empty_;
    return List[static_cast<size_t>(ind)];
}

int32_t FieldToInt(std::string_view field) {
    if (field.empty()) return 0;
    std::string_view digits = field;
    bool negative = false;
    if (digits.front() == '+' || digits.front() == '-') {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty() || digits.front() < '0' || digits.front() > '9')
        ThrowConvert(field, "is not a valid integer");
    int64_t value = 0;
    const char* last = digits.data() + digits.size();
    const auto [ptr, ec] = std::from_chars(digits.data(), last, value, 10);
    if (ec == std::errc::result_out_of_range) ThrowConvert(field, "is out of the integer range");
    if (ec != std::errc() || ptr != last) ThrowConvert(field, "is not a valid integer");
    if (negative) value = -value;
    if (value < INT32_MIN || value > INT32_MAX) ThrowConvert(field, "is out of the integer range");
    return static_cast<int32_t>(value);
}

double FieldToReal(std::string_view field, char sep) {
    if (field.empty()) return 0.0;
    if (sep == '_') sep = field.find('.') != std::string_view::npos ? '.' : ',';
    std::string_view body = field;
    if (body.front() == '+') {
        body.remove_prefix(1);  // from_chars takes no plus sign
        if (body.empty() || body.front() == '-' || body.front() == '+')
            ThrowConvert(field, "is not a valid floating point value");
    }
    char buf[128];
    if (body.empty() || body.size() >= sizeof buf)
        ThrowConvert(field, "is not a valid floating point value");
    size_t n = 0;
    for (char c : body) {
        if (c == sep)
            c = '.';
        else if (c == '.' || c == ',')
            ThrowConvert(field, "is not a valid floating point value");
        buf[n++] = c;
    }
    double value = 0.0;
    const auto [ptr, ec] = std::from_chars(buf, buf + n, value, std::chars_format::general);
    if (ec != std::errc() || ptr != buf + n || !std::isfinite(value))
        ThrowConvert(field, "is not a valid floating point value");
    return value;
}

std::string RemoveQuotes(std::string_view text) {
    if (text.size() > 1 && text.front() == '"' && text.back() == '"')
        return std::string(text.substr(1, text.size() - 2));
    return std::string(text);
}

std::string FixedWidth(std::string_view text, int width) {
    const size_t w = width > 0 ? static_cast<size_t>(width) : 0;
    const size_t chars = Utf8Length(text);
    std::string out;
    if (chars <= w) {
        out.reserve(text.size() + (w - chars));
        out.append(text);
        out.append(w - chars, ' ');
    } else if (w <= 3) {
        out.assign(text.substr(0, Utf8Prefix(text, w)));
    } else {
        out.reserve(text.size());
        out.assign(text.substr(0, Utf8Prefix(text, w - 3)));
        out += "...";
    }
    return out;
}

void HexDump(std::string& out, std::string_view prefix, const uint8_t* bytes, size_t count) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    const size_t at = out.size();
    out.resize(at + prefix.size() + count * 3);
    char* p = out.data() + at;
    for (char c : prefix) *p++ = c;
    for (size_t i = 0; i < count; ++i) {
        *p++ = kHex[bytes[i] >> 4];
        *p++ = kHex[bytes[i] & 0x0F];
        *p++ = ' ';
    }
}

std::string HexDump(std::string_view prefix, const uint8_t* bytes, size_t count) {
    std::string out;
    HexDump(out, prefix, bytes, count);
    return out;
}

void TCrcCheck::Add(int32_t value) {
    FCRC = static_cast<int32_t>(static_cast<uint32_t>(FCRC) + static_cast<uint32_t>(value));
}

void TCrcCheck::Add(const void* buf, size_t ABufSize) {
    const auto* p = static_cast<const uint8_t*>(buf);
    int64_t crc = FCRC;
    for (size_t i = 0; i < ABufSize; ++i) {
        crc += p[i];
        if (crc > 0x0FFFFFFF) crc -= 0x0FFFFFFF;
    }
    FCRC = static_cast<int32_t>(crc);
}

void AppendRealGeneral(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NAN";
        return;
    }
    if (std::isinf(value)) {
        out += value > 0 ? "INF" : "-INF";
        return;
    }
    if (value == 0.0) {
        out += '0';
        return;
    }
    // Fifteen significant digits, correctly rounded: "-d.ddddddddddddde+xx".
    char buf[48];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, 14);
    const char* p = buf;
    const char* end = res.ptr;
    if (*p == '-') {
        out += '-';
        ++p;
    }
    char digits[16];
    int nd = 0;
    while (p < end && *p != 'e') {
        if (*p != '.' && nd < 15) digits[nd++] = *p;
        ++p;
    }
    int exponent = 0;
    if (p < end) std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), end, exponent);
    while (nd > 1 && digits[nd - 1] == '0') --nd;
    if (exponent >= 15 || exponent < -5) {
        out += digits[0];
        if (nd > 1) {
            out += '.';
            out.append(digits + 1, static_cast<size_t>(nd - 1));
        }
        out += 'E';
        char eb[16];
        const auto er = std::to_chars(eb, eb + sizeof eb, exponent);
        out.append(eb, er.ptr);
        return;
    }
    if (exponent < 0) {
        out += "0.";
        out.append(static_cast<size_t>(-exponent - 1), '0');
        out.append(digits, static_cast<size_t>(nd));
        return;
    }
    const int intDigits = exponent + 1;
    if (nd <= intDigits) {
        out.append(digits, static_cast<size_t>(nd));
        out.append(static_cast<size_t>(intDigits - nd), '0');
        return;
    }
    out.append(digits, static_cast<size_t>(intDigits));
    out += '.';
    out.append(digits + intDigits, static_cast<size_t>(nd - intDigits));
}

std::string FormatRealGeneral(double value) {
    std::string out;
    AppendRealGeneral(out, value);
    return out;
}

}  // namespace telegate
