#include "support/JournalFile.h"

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "support/CodePage.h"
#include "support/FileNames.h"
#include "support/LinePrinter.h"

namespace telegate {

namespace {

// The date key year * 10000 + month * 100 + day of a line that starts with
// "dd.mm.yyyy "; 0 for any other line.
int LineDay(std::string_view line) {
    if (line.size() < 11 || line[2] != '.' || line[5] != '.' || line[10] != ' ') return 0;
    int v[3] = {0, 0, 0};
    const size_t at[3][2] = {{6, 4}, {3, 2}, {0, 2}};
    for (int k = 0; k < 3; ++k)
        for (size_t i = at[k][0]; i < at[k][0] + at[k][1]; ++i) {
            if (line[i] < '0' || line[i] > '9') return 0;
            v[k] = v[k] * 10 + (line[i] - '0');
        }
    TDateTime probe = 0;
    return TryEncodeDate(v[0], v[1], v[2], probe) ? v[0] * 10000 + v[1] * 100 + v[2] : 0;
}

}  // namespace

struct TJournalFile::TWriter {
    std::string folder;
    int keepDays = kKeepDays;
    std::FILE* file = nullptr;
    int day = 0;  // the date key of the open file
    uint64_t maxDayBytes = kMaxDayBytes;
    uint64_t dayBytes = 0;      // size of the open file
    bool capped = false;        // the open day reached the cap
    uint64_t droppedToday = 0;  // lines of the open day not written since
    std::string lastStamp;      // "dd.mm.yyyy hh:nn:ss.zzz" of the last line not written
    mutable std::mutex mu;
    std::string lastError;
    std::mutex fileMu;  // the file, between the writer's thread and the owner's close
    bool closed = false;

    ~TWriter() {
        if (file != nullptr) std::fclose(file);
    }

    void SetError(std::string text) {
        std::lock_guard<std::mutex> lock(mu);
        lastError = std::move(text);
    }

    std::string PathOf(int key) const {
        return PathToUtf8(Utf8Path(folder) /
                          Utf8Path(FileName(key / 10000, key / 100 % 100, key % 100)));
    }

    // Writes one line (Windows-1251, CR LF) to the open file.
    bool Put(std::string_view line) {
        std::string bytes = Utf8ToCp1251(line);
        bytes += "\r\n";
        dayBytes += bytes.size();
        return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    }

    // The day's file ends: the number of lines the cap kept out of it, if any.
    void FinishDay() {
        if (file != nullptr && droppedToday > 0)
            Put(lastStamp + " Журнал: строк за день не записано из-за предела размера файла: " +
                std::to_string(droppedToday));
        droppedToday = 0;
        capped = false;
    }

    // Opens the file of the day key, and removes files gone out of the window.
    bool Open(int key) {
        FinishDay();
        if (file != nullptr) std::fclose(file);
        day = key;
        file = OpenFileUtf8(PathOf(key), "ab");
        if (file == nullptr) {
            SetError("cannot open " + PathOf(key));
            return false;
        }
        // A file of an earlier run of the day counts towards the cap.
        dayBytes = 0;
        if (std::fseek(file, 0, SEEK_END) == 0) {
            const long size = std::ftell(file);
            if (size > 0) dayBytes = static_cast<uint64_t>(size);
        }
        RemoveExpired(key);
        return true;
    }

    void RemoveExpired(int key) {
        TDateTime today = 0;
        if (!TryEncodeDate(key / 10000, key / 100 % 100, key % 100, today)) return;
        const TDateTimeParts first = DecodeDateTime(today - (keepDays - 1));
        const int firstKept = first.year * 10000 + first.month * 100 + first.day;
        std::error_code ec;
        for (std::filesystem::directory_iterator it(Utf8Path(folder), ec), end; !ec && it != end;
             it.increment(ec)) {
            if (Expired(PathToUtf8(it->path().filename()), firstKept)) {
                std::error_code rmEc;
                std::filesystem::remove(it->path(), rmEc);
            }
        }
    }

    // Called on the printer's thread with whole lines, each ending in '\n'. Always
    // true: a failed write is told through LastError, and the next one tries again.
    bool Write(std::string_view chunk) {
        std::lock_guard<std::mutex> lock(fileMu);
        if (closed) return true;
        bool ok = true;
        while (!chunk.empty()) {
            const size_t end = chunk.find('\n');
            const std::string_view line = chunk.substr(0, end);
            chunk.remove_prefix(end == std::string_view::npos ? chunk.size() : end + 1);
            const int key = LineDay(line);
            if (key == 0 && day == 0) continue;  // no day known yet for an undated line
            if ((file == nullptr || (key != 0 && key != day)) && !Open(key != 0 ? key : day)) {
                ok = false;
                continue;
            }
            if (!capped && dayBytes + line.size() + 2 > maxDayBytes) {
                capped = true;
                if (!Put(std::string(line.substr(0, 23)) + " Журнал: файл дня достиг предела " +
                         std::to_string(maxDayBytes) +
                         " байт; дальнейшие строки дня не пишутся, их число будет в конце файла"))
                    ok = false;
            }
            if (capped) {
                ++droppedToday;
                lastStamp = std::string(line.substr(0, 23));
                continue;
            }
            if (!Put(line)) ok = false;
        }
        if (file != nullptr && std::fflush(file) != 0) ok = false;
        if (ok)
            SetError({});
        else if (file != nullptr)
            SetError("cannot write " + PathOf(day));
        return true;
    }
};

TJournalFile::TJournalFile(std::string folder, int keepDays, uint64_t maxDayBytes)
    : writer_(std::make_shared<TWriter>()) {
    writer_->folder = std::move(folder);
    writer_->maxDayBytes = maxDayBytes;
    writer_->keepDays = keepDays > 0 ? keepDays : 1;
    printer_ = std::make_unique<TLinePrinter>(
        [w = writer_](std::string_view bytes) { return w->Write(bytes); });
}

TJournalFile::~TJournalFile() {
    printer_.reset();  // writes out the queue; a stuck disk is left behind with the writer
    // The file is closed now, not when the thread lets go of the writer: the folder
    // may be removed or the file opened by somebody else right after.
    std::unique_lock<std::mutex> lock(writer_->fileMu, std::try_to_lock);
    if (!lock.owns_lock()) return;
    writer_->closed = true;
    writer_->FinishDay();
    if (writer_->file != nullptr) std::fclose(writer_->file);
    writer_->file = nullptr;
}

void TJournalFile::Put(TDateTime dt, std::string_view utf8Text) noexcept {
    try {
        printer_->Print(FormatJournalLine(dt, utf8Text));
    } catch (...) {
    }
}

std::string TJournalFile::LastError() const {
    std::lock_guard<std::mutex> lock(writer_->mu);
    return writer_->lastError;
}

uint64_t TJournalFile::Dropped() const {
    return printer_->Dropped();
}

std::string TJournalFile::FileName(int year, int month, int day) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "journal-%04d-%02d-%02d.log", year, month, day);
    return buf;
}

bool TJournalFile::Expired(std::string_view name, int firstKept) {
    constexpr std::string_view prefix = "journal-";
    constexpr std::string_view suffix = ".log";
    if (name.size() != prefix.size() + 10 + suffix.size() ||
        name.substr(0, prefix.size()) != prefix ||
        name.substr(name.size() - suffix.size()) != suffix)
        return false;
    const std::string_view d = name.substr(prefix.size(), 10);
    if (d[4] != '-' || d[7] != '-') return false;
    int key = 0;
    for (size_t i = 0; i < d.size(); ++i) {
        if (i == 4 || i == 7) continue;
        if (d[i] < '0' || d[i] > '9') return false;
        key = key * 10 + (d[i] - '0');
    }
    return key < firstKept;
}

}  // namespace telegate
