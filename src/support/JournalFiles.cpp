#include "support/JournalFiles.h"

#include "support/CodePage.h"
#include "support/FileNames.h"

namespace telegate {

namespace {

bool Digits(std::string_view s) {
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return !s.empty();
}

}  // namespace

std::string JournalFileName(std::string_view line) {
    if (line.size() < 11 || line[2] != '.' || line[5] != '.' || line[10] != ' ' ||
        !Digits(line.substr(0, 2)) || !Digits(line.substr(3, 2)) || !Digits(line.substr(6, 4)))
        return "journal.txt";
    const int day = (line[0] - '0') * 10 + (line[1] - '0');
    const int month = (line[3] - '0') * 10 + (line[4] - '0');
    if (day < 1 || day > 31 || month < 1 || month > 12) return "journal.txt";
    std::string name = "journal_";
    name += line.substr(6, 4);
    name += '-';
    name += line.substr(3, 2);
    name += '-';
    name += line.substr(0, 2);
    name += ".txt";
    return name;
}

bool AppendJournalLine(const std::string& folder, std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    std::string bytes = Utf8ToCp1251(line);
    bytes += "\r\n";
    std::string path = folder;
    if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '/';
    path += JournalFileName(line);
    return AppendToFileUtf8(path, bytes);
}

}  // namespace telegate
