#include "support/TraceFiles.h"

#include <cstdio>
#include <utility>

#include "support/CodePage.h"
#include "support/FileNames.h"
#include "support/TextFields.h"

namespace telegate {

void AppendTraceLine(std::string_view text, const std::string& fileName) {
    std::string line = Utf8ToCp1251(text);
    line += "\r\n";
    AppendToFileUtf8(fileName, line);
}

std::string HexDumpBytes(std::string_view prefix, const uint8_t* data, size_t count) {
    return HexDump(prefix, data, count);
}

void HexDumpBytes(std::string& out, std::string_view prefix, const uint8_t* data, size_t count) {
    HexDump(out, prefix, data, count);
}

std::string HexDumpChars(std::string_view text) {
    return HexDump({}, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

void HexDumpChars(std::string& out, std::string_view text) {
    HexDump(out, {}, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::string FormatPeer(std::string_view address, int port) {
    std::string out = " \"\"";
    out.append(address);
    out += '=';
    out += std::to_string(port);
    out += "\"\" ";
    return out;
}

std::string JoinPath(std::string_view directory, std::string_view name) {
    std::string out;
    out.reserve(directory.size() + name.size() + 1);
    out.append(directory);
    if (!directory.empty() && directory.back() != '/' && directory.back() != '\\') {
        const bool backslashes = directory.find('\\') != std::string_view::npos &&
                                 directory.find('/') == std::string_view::npos;
        out += backslashes ? '\\' : '/';
    }
    out.append(name);
    return out;
}

TTextFile::TTextFile(TTextFile&& other) noexcept
    : f_(std::exchange(other.f_, nullptr)),
      mode_(std::exchange(other.mode_, 0)),
      raw_(std::move(other.raw_)) {}

TTextFile& TTextFile::operator=(TTextFile&& other) noexcept {
    if (this != &other) {
        Close();
        f_ = std::exchange(other.f_, nullptr);
        mode_ = std::exchange(other.mode_, 0);
        raw_ = std::move(other.raw_);
    }
    return *this;
}

bool TTextFile::Open(const std::string& fileName, char mode) {
    Close();
    const char* fm = nullptr;
    switch (mode) {
        case 'r':
            fm = "rb";
            break;
        case 'w':
            fm = "wb";
            break;
        case 'a':
            fm = "ab";
            break;
        default:
            return false;
    }
    f_ = OpenFileUtf8(fileName, fm);
    if (f_ == nullptr) return false;
    mode_ = mode;
    return true;
}

void TTextFile::Close() {
    if (f_ != nullptr) std::fclose(f_);
    f_ = nullptr;
    mode_ = 0;
}

bool TTextFile::ReadLine(std::string& line) {
    line.clear();
    if (f_ == nullptr || mode_ != 'r') return false;
    raw_.clear();
    bool any = false;
    for (int c = getc_unlocked(f_); c != EOF; c = getc_unlocked(f_)) {
        any = true;
        if (c == '\n') break;
        raw_ += static_cast<char>(c);
    }
    if (!any) return false;
    if (!raw_.empty() && raw_.back() == '\r') raw_.pop_back();
    line = Cp1251ToUtf8(raw_);
    return true;
}

bool TTextFile::Eof() {
    if (f_ == nullptr || mode_ != 'r') return true;
    const int c = std::fgetc(f_);
    if (c == EOF) return true;
    std::ungetc(c, f_);
    return false;
}

bool TTextFile::Write(std::string_view text) {
    if (f_ == nullptr || mode_ == 'r') return false;
    raw_ = Utf8ToCp1251(text);
    return std::fwrite(raw_.data(), 1, raw_.size(), f_) == raw_.size();
}

bool TTextFile::WriteLine(std::string_view line) {
    if (f_ == nullptr || mode_ == 'r') return false;
    raw_ = Utf8ToCp1251(line);
    raw_ += "\r\n";
    return std::fwrite(raw_.data(), 1, raw_.size(), f_) == raw_.size();
}

bool TTextFile::Flush() {
    return f_ != nullptr && std::fflush(f_) == 0;
}

bool OpenTextFile(TTextFile& file, const std::string& fileName, char mode, std::string& errorText) {
    errorText.clear();
    bool ok = false;
    if (mode == 'a' || mode == 'r' || mode == 'w') {
        ok = file.Open(fileName, mode);
        if (!ok && mode == 'a') {
            ok = file.Open(fileName, 'w');
            if (ok) return true;
        }
    } else {
        file.Close();
    }
    if (!ok) {
        errorText = "ERROR:Не открывается файл:";
        errorText += fileName;
        errorText += " mode=";
        errorText += mode;
    }
    return ok;
}

}  // namespace telegate
