#include "platform/SingleInstance.h"

#include <windows.h>

#include "platform/win32/Wide.h"

// The lock is the named mutex itself: whoever created it first holds it, and
// Windows destroys it when the last handle closes, also when the holder crashes.
// It lives in the global namespace, so that the service (session 0), desktop copies
// of every logged-on user and COM-started copies all see the same one.
// The mutex handle is kept in fd_ (Win32 handles have 32 significant bits).

namespace telegate {

namespace {

// Mutex names may not hold backslashes (they would name a namespace).
std::wstring MutexName(std::string name) {
    for (char& c : name)
        if (c == '\\') c = '/';
    return L"Global\\" + win32::ToWide(name);
}

}  // namespace

TSingleInstance::TSingleInstance(std::string name)
    : name_(name.empty() ? std::string("lock") : std::move(name)) {}

TSingleInstance::~TSingleInstance() {
    Release();
}

bool TSingleInstance::TryAcquire() {
    if (fd_ >= 0) return true;
    error_.clear();
    another_ = false;
    const std::wstring name = MutexName(name_);
    HANDLE h = ::CreateMutexW(nullptr, FALSE, name.c_str());
    const DWORD err = ::GetLastError();
    if (h == nullptr) {
        if (err == ERROR_ACCESS_DENIED) {
            // Created by a process we may not open: another instance.
            another_ = true;
            error_ = "another instance holds " + name_;
        } else {
            error_ = "cannot create the mutex " + name_ + ": " + win32::ErrorText(err);
        }
        return false;
    }
    if (err == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(h);
        another_ = true;
        error_ = "another instance holds " + name_;
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
