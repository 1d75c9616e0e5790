#include "platform/IniFile.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <system_error>

#include "platform/AtomicFile.h"
#include "platform/Paths.h"
#include "support/CodePage.h"
#include "support/FileNames.h"

namespace telegate {
namespace {

constexpr size_t npos = std::string::npos;

std::string_view Trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    a = Trim(a);
    b = Trim(b);
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

// The name of a "[section]" line; false for other lines.
bool SectionName(std::string_view line, std::string_view& name) {
    std::string_view t = Trim(line);
    if (t.empty() || t.front() != '[') return false;
    size_t close = t.find(']');
    name = close == npos ? t.substr(1) : t.substr(1, close - 1);
    return true;
}

bool IsComment(std::string_view line) {
    std::string_view t = Trim(line);
    return !t.empty() && t.front() == ';';
}

std::string Clean(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c == '\r' || c == '\n') c = ' ';
    return out;
}

}  // namespace

TIniFile::TIniFile(std::string fileName) : fileName_(FindOwnFile(fileName)) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status st = fs::status(Utf8Path(fileName_), ec);
    if (st.type() == fs::file_type::not_found) return;  // reads as empty
    if (st.type() == fs::file_type::directory) {
        readError_ = "это папка, а не файл";
        return;
    }
    std::FILE* f = OpenFileUtf8(fileName_, "rb");
    if (f == nullptr) {
        readError_ = std::generic_category().message(errno);
        return;
    }
    std::string bytes;
    char buf[8192];
    for (;;) {
        const size_t n = std::fread(buf, 1, sizeof buf, f);
        bytes.append(buf, n);
        if (n < sizeof buf) break;
    }
    const bool failed = std::ferror(f) != 0;
    const int err = errno;
    std::fclose(f);
    if (failed) {
        readError_ = std::generic_category().message(err);
        return;
    }
    FromBytes(bytes);
}

void TIniFile::FromBytes(std::string_view bytes) {
    lines_.clear();
    std::string text;
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF")
        text = std::string(bytes.substr(3));  // a UTF-8 file with a byte-order mark
    else
        text = Cp1251ToUtf8(bytes);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == npos ? npos : nl - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines_.push_back(std::move(line));
        if (nl == npos) break;
        pos = nl + 1;
    }
}

std::string TIniFile::ToBytes() const {
    std::string text;
    for (const std::string& line : lines_) {
        text += line;
        text += "\r\n";
    }
    return Utf8ToCp1251(text);
}

bool TIniFile::FindSection(std::string_view section, TRange& range) const {
    for (size_t i = 0; i < lines_.size(); ++i) {
        std::string_view name;
        if (!SectionName(lines_[i], name) || !SameName(name, section)) continue;
        range.header = i;
        size_t j = i + 1;
        while (j < lines_.size() && !SectionName(lines_[j], name)) ++j;
        range.end = j;
        return true;
    }
    return false;
}

size_t TIniFile::FindKey(const TRange& range, std::string_view key) const {
    for (size_t i = range.header + 1; i < range.end; ++i) {
        const std::string& line = lines_[i];
        if (IsComment(line)) continue;
        size_t eq = line.find('=');
        if (eq == npos) continue;
        if (SameName(std::string_view(line).substr(0, eq), key)) return i;
    }
    return npos;
}

bool TIniFile::SectionExists(std::string_view section) const {
    TRange r;
    return FindSection(section, r);
}

bool TIniFile::ValueExists(std::string_view section, std::string_view key) const {
    TRange r;
    return FindSection(section, r) && FindKey(r, key) != npos;
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 std::string_view def) const {
    TRange r;
    if (!FindSection(section, r)) return std::string(def);
    size_t i = FindKey(r, key);
    if (i == npos) return std::string(def);
    std::string_view v = Trim(std::string_view(lines_[i]).substr(lines_[i].find('=') + 1));
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    return std::string(v);
}

bool TIniFile::ParseInteger(std::string_view text, int32_t& out) {
    std::string_view t = Trim(text);
    bool neg = false;
    if (!t.empty() && (t.front() == '+' || t.front() == '-')) {
        neg = t.front() == '-';
        t.remove_prefix(1);
    }
    int base = 10;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        base = 16;
        t.remove_prefix(2);
    } else if (t.size() > 1 && t[0] == '$') {
        base = 16;
        t.remove_prefix(1);
    }
    if (t.empty()) return false;
    uint64_t v = 0;
    for (char c : t) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        if (v > 0xFFFFFFFFull) return false;
    }
    int64_t s;
    if (base == 16) {
        // Hexadecimal spells the 32 bits of the value.
        uint32_t bits = static_cast<uint32_t>(v);
        if (neg) bits = 0u - bits;
        s = static_cast<int32_t>(bits);
    } else {
        s = neg ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
        if (s < std::numeric_limits<int32_t>::min() || s > std::numeric_limits<int32_t>::max())
            return false;
    }
    out = static_cast<int32_t>(s);
    return true;
}

int32_t TIniFile::ReadInteger(std::string_view section, std::string_view key, int32_t def) const {
    TRange r;
    if (!FindSection(section, r) || FindKey(r, key) == npos) return def;
    int32_t v = 0;
    return ParseInteger(ReadString(section, key, ""), v) ? v : def;
}

bool TIniFile::ReadBool(std::string_view section, std::string_view key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

bool TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    std::string line = Clean(Trim(key)) + "=" + Clean(value);
    TRange r;
    if (!FindSection(section, r)) {
        lines_.push_back("[" + Clean(Trim(section)) + "]");
        lines_.push_back(line);
        return Save();
    }
    size_t i = FindKey(r, key);
    if (i != npos) {
        lines_[i] = line;
        return Save();
    }
    // After the section's last non-blank line, so the blank line that separates
    // it from the next section stays in place.
    size_t at = r.end;
    while (at > r.header + 1 && Trim(lines_[at - 1]).empty()) --at;
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), line);
    return Save();
}

bool TIniFile::WriteInteger(std::string_view section, std::string_view key, int32_t value) {
    return WriteString(section, key, std::to_string(value));
}

bool TIniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
    return WriteString(section, key, value ? "1" : "0");
}

bool TIniFile::DeleteKey(std::string_view section, std::string_view key) {
    TRange r;
    if (!FindSection(section, r)) return true;
    size_t i = FindKey(r, key);
    if (i == npos) return true;
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i));
    return Save();
}

bool TIniFile::Save() const {
    // A file that could not be read is never replaced: its keys would be lost.
    if (!readError_.empty()) return false;
    return WriteFileAtomically(fileName_, ToBytes());
}

}  // namespace telegate
