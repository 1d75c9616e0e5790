#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/AtomicFile.h"
#include "support/FileNames.h"

namespace telegate {

std::vector<std::string> RemoveLeftoverTempFiles(const std::string& directory,
                                                 std::string_view fileName) {
    namespace fs = std::filesystem;
    std::vector<std::string> removed;
    const std::string prefix = std::string(fileName) + std::string(kAtomicTempInfix);
    std::error_code ec;
    for (fs::directory_iterator it(Utf8Path(directory.empty() ? "." : directory), ec), end; !ec && it != end;
         it.increment(ec)) {
        const auto u8 = it->path().filename().u8string();
        const std::string name(u8.begin(), u8.end());
        if (name.size() != prefix.size() + kAtomicTempRandomChars ||
            name.compare(0, prefix.size(), prefix) != 0)
            continue;
        bool random = true;
        for (size_t i = prefix.size(); i < name.size(); ++i)
            random = random &&
                     ((name[i] >= '0' && name[i] <= '9') || (name[i] >= 'A' && name[i] <= 'Z') ||
                      (name[i] >= 'a' && name[i] <= 'z'));
        std::error_code sec;
        if (!random || !it->is_regular_file(sec) || it->is_symlink(sec)) continue;
        if (fs::remove(it->path(), sec)) removed.push_back(name);
    }
    return removed;
}

}  // namespace telegate
