#include "platform/AtomicFile.h"

#include <windows.h>

#include <random>
#include <string>

#include "platform/win32/Wide.h"

namespace telegate {

namespace {

// How long a replace waits for other handles on the target to close (Windows
// refuses to rename over an open file): short steps, so that even a reader that
// reopens the file again and again leaves a gap to take.
constexpr ULONGLONG kReplaceWaitMs = 2000;

std::string Failure(const char* what, const std::string& path, DWORD err) {
    return std::string(what) + " " + path + ": " + win32::ErrorText(err);
}

// target + ".tmp." + six random letters or digits, as on every target, so that a
// leftover of an interrupted write is recognised at the next start.
std::string TempName(const std::string& path) {
    static constexpr char kChars[] =
        "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::random_device rd;
    std::uniform_int_distribution<size_t> pick(0, sizeof(kChars) - 2);
    std::string name = path + std::string(kAtomicTempInfix);
    for (size_t i = 0; i < kAtomicTempRandomChars; ++i) name += kChars[pick(rd)];
    return name;
}

bool WriteAll(HANDLE h, std::string_view bytes) {
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        const DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!::WriteFile(h, p, chunk, &written, nullptr) || written == 0) return false;
        p += written;
        left -= written;
    }
    return true;
}

}  // namespace

bool WriteFileAtomically(const std::string& path, std::string_view bytes, std::string& errorText) {
    errorText.clear();
    if (path.empty()) {
        errorText = "empty file name";
        return false;
    }
    const std::wstring target = win32::ToWide(path);
    const DWORD attrs = ::GetFileAttributesW(target.c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        errorText = Failure("cannot replace", path, ERROR_DIRECTORY);
        return false;
    }

    std::string tmp;
    std::wstring wtmp;
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 16 && h == INVALID_HANDLE_VALUE; ++attempt) {
        tmp = TempName(path);
        wtmp = win32::ToWide(tmp);
        h = ::CreateFileW(wtmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (h == INVALID_HANDLE_VALUE) {
        errorText = Failure("cannot create", tmp, ::GetLastError());
        return false;
    }
    auto fail = [&](const char* what, const std::string& subject, DWORD err, bool open) {
        if (open) ::CloseHandle(h);
        ::DeleteFileW(wtmp.c_str());
        errorText = Failure(what, subject, err);
        return false;
    };
    if (!WriteAll(h, bytes)) return fail("cannot write", tmp, ::GetLastError(), true);
    if (!::FlushFileBuffers(h)) return fail("cannot flush", tmp, ::GetLastError(), true);
    if (!::CloseHandle(h)) return fail("cannot close", tmp, ::GetLastError(), false);

    const ULONGLONG deadline = ::GetTickCount64() + kReplaceWaitMs;
    for (int attempt = 0;; ++attempt) {
        if (::MoveFileExW(wtmp.c_str(), target.c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        const DWORD err = ::GetLastError();
        const bool busy = err == ERROR_SHARING_VIOLATION || err == ERROR_ACCESS_DENIED ||
                          err == ERROR_LOCK_VIOLATION;
        if (!busy || ::GetTickCount64() >= deadline)
            return fail("cannot replace", path, err, false);
        // Sleep(0) first: it only yields, so a reader between two opens is caught.
        ::Sleep(attempt < 50 ? 0 : 1);
    }
}

bool WriteFileAtomically(const std::string& path, std::string_view bytes) {
    std::string ignored;
    return WriteFileAtomically(path, bytes, ignored);
}

}  // namespace telegate
