// The Windows side of ChildProcess.h: CreateProcessW with anonymous pipes.
#pragma once

#include <windows.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace telegate::test {

inline std::string ExecutableName(const std::string& base) {
    return base + ".exe";
}

inline std::wstring WideFromUtf8(const std::string& s) {
    if (s.empty()) return {};
    const int n =
        ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

inline std::string SelfExecutable() {
    wchar_t buf[4096];
    const DWORD n = ::GetModuleFileNameW(nullptr, buf, 4096);
    if (n == 0 || n >= 4096) return {};
    const int m =
        ::WideCharToMultiByte(CP_UTF8, 0, buf, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(m > 0 ? m : 0), '\0');
    if (m > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, buf, static_cast<int>(n), s.data(), m, nullptr, nullptr);
    return s;
}

// One argument quoted the way the C runtime splits a command line.
inline std::wstring QuoteArgument(const std::wstring& a) {
    if (!a.empty() && a.find_first_of(L" \t\"") == std::wstring::npos) return a;
    std::wstring q = L"\"";
    size_t slashes = 0;
    for (wchar_t c : a) {
        if (c == L'\\') {
            ++slashes;
        } else if (c == L'"') {
            q.append(slashes * 2 + 1, L'\\');
            slashes = 0;
        } else {
            slashes = 0;
        }
        q += c;
    }
    q.append(slashes, L'\\');
    return q + L"\"";
}

class TChildProcess {
  public:
    TChildProcess() = default;
    ~TChildProcess() {
        Kill();
        CloseOutput();
    }
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    bool Start(const std::string& exe, const std::vector<std::string>& args, std::string& error) {
        Kill();
        CloseOutput();
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        HANDLE inRead = nullptr, inWrite = nullptr, outRead = nullptr, outWrite = nullptr;
        if (!::CreatePipe(&inRead, &inWrite, &sa, 0)) return Fail(error, "CreatePipe");
        if (!::CreatePipe(&outRead, &outWrite, &sa, 0)) {
            ::CloseHandle(inRead);
            ::CloseHandle(inWrite);
            return Fail(error, "CreatePipe");
        }
        // Only the child's ends are inherited.
        ::SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
        ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
        const std::wstring wexe = WideFromUtf8(exe);
        std::wstring cmd = QuoteArgument(wexe);
        for (const std::string& a : args) cmd += L" " + QuoteArgument(WideFromUtf8(a));
        STARTUPINFOW si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = inRead;
        si.hStdOutput = outWrite;
        si.hStdError = outWrite;
        PROCESS_INFORMATION pi{};
        const BOOL ok = ::CreateProcessW(wexe.c_str(), cmd.data(), nullptr, nullptr, TRUE,
                                         CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi);
        const DWORD code = ::GetLastError();
        ::CloseHandle(inRead);
        ::CloseHandle(outWrite);
        if (!ok) {
            ::CloseHandle(inWrite);
            ::CloseHandle(outRead);
            return Fail(error, "CreateProcessW failed, error " + std::to_string(code));
        }
        ::CloseHandle(pi.hThread);
        process_ = pi.hProcess;
        in_ = inWrite;
        out_ = outRead;
        exit_.reset();
        return true;
    }

    bool Write(const std::string& text) {
        size_t done = 0;
        while (in_ != nullptr && done < text.size()) {
            DWORD n = 0;
            if (!::WriteFile(in_, text.data() + done, static_cast<DWORD>(text.size() - done), &n,
                             nullptr) ||
                n == 0)
                return false;
            done += n;
        }
        return in_ != nullptr;
    }
    void CloseInput() {
        if (in_ != nullptr) ::CloseHandle(in_);
        in_ = nullptr;
    }
    long Read(char* buf, size_t size) {
        DWORD n = 0;
        if (out_ == nullptr || !::ReadFile(out_, buf, static_cast<DWORD>(size), &n, nullptr))
            return 0;
        return static_cast<long>(n);
    }
    std::optional<int> WaitExit(int timeoutMs) {
        if (process_ != nullptr) {
            if (::WaitForSingleObject(process_, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0)
                return std::nullopt;
            DWORD code = 0;
            ::GetExitCodeProcess(process_, &code);
            exit_ = static_cast<int>(code);
            ::CloseHandle(process_);
            process_ = nullptr;
        }
        return exit_;
    }
    void Kill() {
        if (process_ != nullptr) {
            ::TerminateProcess(process_, 137);
            ::WaitForSingleObject(process_, 10000);
            ::CloseHandle(process_);
            process_ = nullptr;
            exit_ = -1;
        }
        CloseInput();
    }
    bool Running() const { return process_ != nullptr; }
    void CloseOutput() {
        if (out_ != nullptr) ::CloseHandle(out_);
        out_ = nullptr;
    }

  private:
    static bool Fail(std::string& error, const std::string& why) {
        error = why;
        return false;
    }

    HANDLE process_ = nullptr;
    HANDLE in_ = nullptr;
    HANDLE out_ = nullptr;
    std::optional<int> exit_;
};

}  // namespace telegate::test
