// The operating-system side of OpenFileUtf8 (support/FileNames.h).
#include <string>

#include "support/FileNames.h"

namespace telegate {

std::FILE* OpenFileUtf8(const std::string& utf8Name, const char* mode) {
    // "e": close-on-exec, so a started child never holds our files.
    const std::string m = std::string(mode) + "e";
    return std::fopen(utf8Name.c_str(), m.c_str());
}

}  // namespace telegate
