// UTF-8 <-> UTF-16 for the wide Win32 API, and readable Win32 error texts.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace telegate::win32 {

std::wstring ToWide(std::string_view utf8);
std::string FromWide(std::wstring_view wide);
// "text of the error (code)" for a GetLastError/WSAGetLastError code.
std::string ErrorText(DWORD code);

}  // namespace telegate::win32
