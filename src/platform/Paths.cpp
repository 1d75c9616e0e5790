#include "platform/Paths.h"

namespace telegate {

std::string IniPathForExe(std::string_view exePath) {
    const size_t slash = exePath.find_last_of("/\\");
    const size_t nameStart = slash == std::string_view::npos ? 0 : slash + 1;
    const size_t dot = exePath.rfind('.');
    std::string out;
    // A dot that starts the file name (".telegate") marks no extension.
    if (dot != std::string_view::npos && dot > nameStart)
        out.assign(exePath.substr(0, dot));
    else
        out.assign(exePath);
    out += ".ini";
    return out;
}

}  // namespace telegate
