// Windows-1251 is the 8-bit code page of every text file and web page the program
// reads or writes; inside the program text is UTF-8. Conversion happens only at
// those boundaries.
#pragma once

#include <string>
#include <string_view>

namespace telegate {

// The one octet Windows-1251 leaves unassigned (0x98) is kept in UTF-8 text as a
// private-use character, so that text read from a file is written back octet for
// octet. Where text is shown to others (web pages, OPC) it appears as U+FFFD.
constexpr char32_t kCp1251Unassigned = 0xF098;
constexpr const char* kCp1251UnassignedUtf8 = "\xEF\x82\x98";

// Each octet of Windows-1251 text to UTF-8 (0x98 becomes kCp1251Unassigned).
std::string Cp1251ToUtf8(std::string_view in);
// UTF-8 to Windows-1251; characters with no Windows-1251 octet become `replacement`,
// kCp1251Unassigned becomes 0x98 again. Octets that are not valid UTF-8 pass
// through unchanged.
std::string Utf8ToCp1251(std::string_view in, char replacement = '?');
// utf8 with every kCp1251Unassigned replaced by `with`.
std::string ReplaceCp1251Unassigned(std::string_view utf8, std::string_view with);
bool IsValidUtf8(std::string_view s);
// Number of characters (code points) of UTF-8 text.
size_t Utf8Length(std::string_view s);

}  // namespace telegate
