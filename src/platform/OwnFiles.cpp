#include <filesystem>
#include <system_error>

#include "platform/Paths.h"
#include "support/FileNames.h"

namespace telegate {

namespace {

bool SameIgnoringAsciiCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

}  // namespace

std::string FindOwnFile(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path p = Utf8Path(path);
    if (fs::exists(fs::symlink_status(p, ec))) return path;
    const std::string name = PathToUtf8(p.filename());
    if (name.empty() || name == "." || name == "..") return path;
    const fs::path dir = p.has_parent_path() ? p.parent_path() : fs::path(".");
    std::string best;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string entry = PathToUtf8(it->path().filename());
        if (SameIgnoringAsciiCase(entry, name) && (best.empty() || entry < best)) best = entry;
    }
    if (best.empty()) return path;
    return PathToUtf8(p.has_parent_path() ? p.parent_path() / Utf8Path(best) : Utf8Path(best));
}

}  // namespace telegate
