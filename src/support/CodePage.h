// Windows-1251 is the 8-bit code page of every text file and web page the program
// reads or writes; inside the program text is UTF-8. Conversion happens only at
// those boundaries.
#pragma once

#include <string>
#include <string_view>

namespace telegate {

// Each octet of Windows-1251 text to UTF-8 (the unassigned octet 0x98 becomes U+FFFD).
std::string Cp1251ToUtf8(std::string_view in);
// UTF-8 to Windows-1251; characters with no Windows-1251 octet become `replacement`.
// Octets that are not valid UTF-8 pass through unchanged.
std::string Utf8ToCp1251(std::string_view in, char replacement = '?');
bool IsValidUtf8(std::string_view s);
// Number of characters (code points) of UTF-8 text.
size_t Utf8Length(std::string_view s);

}  // namespace telegate
