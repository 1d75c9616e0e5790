// Exchange trace files and small file routines. Text files on disk are
// Windows-1251 with CR LF line ends; in memory text is UTF-8. The conversion
// happens here, at the file boundary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace telegate {

// Appends text and CR LF to the file (created when missing) in one write.
// Every failure is swallowed: the line is then lost. Safe to call from any thread.
void AppendTraceLine(std::string_view text, const std::string& fileName);

// prefix + each octet as two upper-case hex digits and a blank:
// HexDumpBytes("", {68 04 07 00 00 00}) == "68 04 07 00 00 00 ".
std::string HexDumpBytes(std::string_view prefix, const uint8_t* data, size_t count);
void HexDumpBytes(std::string& out, std::string_view prefix, const uint8_t* data, size_t count);
// The same for a string that carries one octet per character.
std::string HexDumpChars(std::string_view text);
void HexDumpChars(std::string& out, std::string_view text);

// The text naming a remote end: ` ""10.0.0.5=2404"" `.
std::string FormatPeer(std::string_view address, int port);

// directory + name when the directory is empty or ends with a path separator
// ("/" or "\"), otherwise directory + separator + name. The separator added is
// "\" when the directory uses only backslashes, "/" otherwise.
std::string JoinPath(std::string_view directory, std::string_view name);

// A text file opened for reading ('r'), creating ('w') or appending ('a').
// Lines are converted from/to Windows-1251; reading accepts LF or CR LF line
// ends, writing puts CR LF. Move-only; closes on destruction.
class TTextFile {
  public:
    TTextFile() = default;
    ~TTextFile() { Close(); }
    TTextFile(const TTextFile&) = delete;
    TTextFile& operator=(const TTextFile&) = delete;
    TTextFile(TTextFile&& other) noexcept;
    TTextFile& operator=(TTextFile&& other) noexcept;

    // 'r', 'w' or 'a'; any other mode opens nothing. Closes a file already open.
    bool Open(const std::string& fileName, char mode);
    void Close();
    bool IsOpen() const { return f_ != nullptr; }
    char Mode() const { return mode_; }

    // Next line without its line end, as UTF-8. False at the end of the file
    // (or when not open for reading); line is then cleared.
    bool ReadLine(std::string& line);
    bool Eof();
    // Text as Windows-1251 followed by CR LF. False on a write error.
    bool WriteLine(std::string_view line);
    // Text as Windows-1251, no line end.
    bool Write(std::string_view text);
    bool Flush();

  private:
    std::FILE* f_ = nullptr;
    char mode_ = 0;
    std::string raw_;
};

// Opens file in mode 'a', 'r' or 'w'. When 'a' cannot open the file it is created
// as with 'w'. On failure returns false with errorText
// "ERROR:Не открывается файл:" + fileName + " mode=" + mode; empty on success.
bool OpenTextFile(TTextFile& file, const std::string& fileName, char mode, std::string& errorText);

}  // namespace telegate
