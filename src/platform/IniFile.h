// Ini files read and written the way the Windows profile routines do it: a missing
// file, section or key, or a value that does not parse, gives the caller's default;
// section and key names compare without regard to case; writing a key keeps every
// other line of the file (comments, order, unknown keys) as it was. On disk the
// file is Windows-1251 with CR LF line ends; in memory all text is UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace telegate {

class TIniFile {
  public:
    // Reads the file now; a missing or unreadable file reads as empty.
    explicit TIniFile(std::string fileName);

    const std::string& FileName() const { return fileName_; }
    // Why a file that exists could not be read (a folder, no permission, an I/O
    // error); empty when it was read or is missing. Such a file is never written:
    // every write then returns false and leaves it as it is.
    const std::string& ReadError() const { return readError_; }

    // The value with surrounding blanks removed and, when it is wrapped in a pair
    // of matching quotes, without them. The first of duplicate sections or keys wins.
    std::string ReadString(std::string_view section, std::string_view key,
                           std::string_view def) const;
    // Decimal with an optional sign, or hexadecimal with "0x" or "$" (up to 32
    // bits, taken as a signed 32-bit value). Anything else, including trailing
    // characters or a decimal outside the 32-bit range, gives def.
    int32_t ReadInteger(std::string_view section, std::string_view key, int32_t def) const;
    // True for any integer other than 0; a value that is not an integer gives def.
    bool ReadBool(std::string_view section, std::string_view key, bool def) const;

    bool SectionExists(std::string_view section) const;
    bool ValueExists(std::string_view section, std::string_view key) const;

    // Each write changes the one line of the key (or adds it at the end of its
    // section, adding the section at the end of the file when needed) and saves the
    // file at once, atomically. Line breaks inside a value become blanks. False
    // when the file could not be saved; the value is kept in memory either way.
    bool WriteString(std::string_view section, std::string_view key, std::string_view value);
    bool WriteInteger(std::string_view section, std::string_view key, int32_t value);
    bool WriteBool(std::string_view section, std::string_view key, bool value);
    // Removes the key's line; false when the file could not be saved.
    bool DeleteKey(std::string_view section, std::string_view key);

    // The file's bytes as they would be written (Windows-1251, CR LF).
    std::string ToBytes() const;
    // Replaces the contents with the given file bytes (Windows-1251, LF or CR LF).
    void FromBytes(std::string_view bytes);

    // Integer parsing used by ReadInteger; false when text is not an integer.
    static bool ParseInteger(std::string_view text, int32_t& out);

  private:
    struct TRange {
        size_t header = 0;  // line of "[section]"
        size_t end = 0;     // one past the section's last line
    };
    bool FindSection(std::string_view section, TRange& range) const;
    // Line index of the key inside the range; npos when absent.
    size_t FindKey(const TRange& range, std::string_view key) const;
    bool Save() const;

    std::string fileName_;
    std::string readError_;
    std::vector<std::string> lines_;  // UTF-8, without line ends
};

}  // namespace telegate
