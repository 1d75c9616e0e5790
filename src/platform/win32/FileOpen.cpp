// The operating-system side of OpenFileUtf8 and AppendToFileUtf8 (support/FileNames.h).
#include <windows.h>

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

bool AppendToFileUtf8(const std::string& utf8Name, std::string_view bytes) {
    // Append access alone (no FILE_WRITE_DATA): the system writes at the end of
    // the file as it is at that moment, as O_APPEND does; the C runtime's "a"
    // mode only seeks there first, so two writers could overwrite each other.
    // Two writers creating the file at the same moment may see a passing
    // sharing or access failure: a few quick retries keep their lines.
    const std::wstring name = Utf8Path(utf8Name).wstring();
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 20; ++attempt) {
        h = ::CreateFileW(name.c_str(), FILE_APPEND_DATA,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) break;
        const DWORD err = ::GetLastError();
        if (err != ERROR_SHARING_VIOLATION && err != ERROR_ACCESS_DENIED &&
            err != ERROR_FILE_NOT_FOUND && err != ERROR_FILE_EXISTS)
            return false;
        ::Sleep(1);
    }
    if (h == INVALID_HANDLE_VALUE) return false;
    // Writers also take turns through a lock on a byte far beyond any end of
    // file (Wine does not place concurrent appends atomically by itself).
    OVERLAPPED turn{};
    turn.Offset = 0xFFFFFFFEu;
    turn.OffsetHigh = 0x7FFFFFFFu;
    const bool locked = ::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &turn) != 0;
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        const DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!::WriteFile(h, p, chunk, &written, nullptr) || written == 0) break;
        p += written;
        left -= written;
    }
    if (locked) ::UnlockFileEx(h, 0, 1, 0, &turn);
    ::CloseHandle(h);
    return left == 0;
}

}  // namespace telegate
