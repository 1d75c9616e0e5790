#include "platform/SingleInstance.h"

#include <windows.h>

#include "platform/win32/Wide.h"

// The lock is the named mutex itself: whoever created it first holds it, and
// Windows destroys it when the last handle closes, also when the holder crashes.
// The mutex handle is kept in fd_ (Win32 handles have 32 significant bits).

namespace telegate {

namespace {

// Mutex names may not hold backslashes (they would name a namespace).
std::wstring MutexName(std::string name) {
    for (char& c : name)
        if (c == '\\') c = '/';
    return win32::ToWide(name);
}

}  // namespace

TSingleInstance::TSingleInstance(std::string name, std::string directory)
    : dir_(std::move(directory)) {
    // LockPath() is the mutex name: "Telegate" for the program. A given directory
    // keeps apart locks of the same name (tests use their own).
    path_ = name.empty() ? std::string("lock") : std::move(name);
    if (!dir_.empty()) path_ += "-" + dir_;
}

TSingleInstance::~TSingleInstance() {
    Release();
}

bool TSingleInstance::TryAcquire() {
    if (fd_ >= 0) return true;
    error_.clear();
    another_ = false;
    const std::wstring name = MutexName(path_);
    HANDLE h = ::CreateMutexW(nullptr, FALSE, name.c_str());
    const DWORD err = ::GetLastError();
    if (h == nullptr) {
        if (err == ERROR_ACCESS_DENIED) {
            // Created by a process we may not open: another instance.
            another_ = true;
            error_ = "another instance holds " + path_;
        } else {
            error_ = "cannot create the mutex " + path_ + ": " + win32::ErrorText(err);
        }
        return false;
    }
    if (err == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(h);
        another_ = true;
        error_ = "another instance holds " + path_;
        return false;
    }
    fd_ = static_cast<int>(::HandleToLong(h));
    return true;
}

void TSingleInstance::Release() {
    if (fd_ < 0) return;
    ::CloseHandle(::LongToHandle(fd_));
    fd_ = -1;
}

}  // namespace telegate
