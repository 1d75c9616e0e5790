// The operating-system side of OpenFileUtf8 (support/FileNames.h).
#include <cstdio>
#include <string>

#include "support/FileNames.h"

namespace telegate {

std::FILE* OpenFileUtf8(const std::string& utf8Name, const char* mode) {
    // "N": the handle is not inherited by started child processes.
    std::wstring m;
    for (const char* p = mode; *p != '\0'; ++p) m += static_cast<wchar_t>(*p);
    m += L'N';
    return ::_wfopen(Utf8Path(utf8Name).c_str(), m.c_str());
}

}  // namespace telegate
