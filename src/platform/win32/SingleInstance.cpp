#include "platform/SingleInstance.h"

// clang-format off
#include <windows.h>
#include <sddl.h>
// clang-format on

#include "platform/win32/Wide.h"

// The lock is the named mutex itself, machine-wide (Global\): whoever created it
// first holds it, and Windows destroys it when the last handle closes, also when
// the holder crashes. The mutex handle is kept in fd_ (Win32 handles have 32
// significant bits).
//
// Its security descriptor gives full access to SYSTEM, the administrators and the
// account that created it; everyone else may only wait on it and query it. So
// another account's copy finds it held (its CreateMutex is refused), but cannot
// take it over or change its security.

namespace telegate {

namespace {

// Mutex names may not hold backslashes (they would name a namespace).
std::wstring MutexName(std::string name) {
    for (char& c : name)
        if (c == '\\') c = '/';
    return L"Global\\" + win32::ToWide(name);
}

// The SDDL form of the current process's account, or empty.
std::wstring OwnSid() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
    std::wstring out;
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::string buf(size, '\0');
    if (size > 0 && ::GetTokenInformation(token, TokenUser, buf.data(), size, &size)) {
        LPWSTR text = nullptr;
        if (::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buf.data())->User.Sid, &text)) {
            out = text;
            ::LocalFree(text);
        }
    }
    ::CloseHandle(token);
    return out;
}

// Owns the security descriptor made from SDDL.
struct TSecurity {
    TSecurity() {
        std::wstring sddl = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";
        const std::wstring me = OwnSid();
        if (!me.empty()) sddl += L"(A;;GA;;;" + me + L")";
        // Everyone: SYNCHRONIZE and MUTANT_QUERY_STATE only.
        sddl += L"(A;;0x00100001;;;WD)";
        if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                   &sd, nullptr)) {
            attrs.nLength = sizeof attrs;
            attrs.lpSecurityDescriptor = sd;
            attrs.bInheritHandle = FALSE;
        }
    }
    ~TSecurity() {
        if (sd != nullptr) ::LocalFree(sd);
    }
    TSecurity(const TSecurity&) = delete;
    TSecurity& operator=(const TSecurity&) = delete;
    SECURITY_ATTRIBUTES* Attributes() { return sd != nullptr ? &attrs : nullptr; }

    PSECURITY_DESCRIPTOR sd = nullptr;
    SECURITY_ATTRIBUTES attrs{};
};

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
    TSecurity security;
    HANDLE h = ::CreateMutexW(security.Attributes(), FALSE, name.c_str());
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
