// The POSIX side of ChildProcess.h.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace telegate::test {

inline std::string ExecutableName(const std::string& base) {
    return base;
}

inline std::string SelfExecutable() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
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
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0) return Fail(error, "pipe failed");
        if (::pipe2(out, O_CLOEXEC) != 0) {
            ::close(in[0]);
            ::close(in[1]);
            return Fail(error, "pipe failed");
        }
        // Everything the child needs is prepared before fork: only async-signal-safe
        // calls happen between fork and exec.
        std::vector<std::string> argvS{exe};
        argvS.insert(argvS.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argvS) argv.push_back(a.data());
        argv.push_back(nullptr);
        const pid_t parent = ::getpid();
        const pid_t pid = ::fork();
        if (pid == 0) {
            // The child dies with the process that started it.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) ::_exit(126);
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::dup2(out[1], 2);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        if (pid < 0) {
            ::close(in[1]);
            ::close(out[0]);
            return Fail(error, "fork failed");
        }
        pid_ = pid;
        inFd_ = in[1];
        outFd_ = out[0];
        exit_.reset();
        return true;
    }

    bool Write(const std::string& text) {
        size_t done = 0;
        while (inFd_ >= 0 && done < text.size()) {
            const ssize_t n = ::write(inFd_, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return inFd_ >= 0;
    }
    void CloseInput() {
        if (inFd_ >= 0) ::close(inFd_);
        inFd_ = -1;
    }
    long Read(char* buf, size_t size) {
        for (;;) {
            const ssize_t n = ::read(outFd_, buf, size);
            if (n < 0 && errno == EINTR) continue;
            return n < 0 ? 0 : static_cast<long>(n);
        }
    }
    std::optional<int> WaitExit(int timeoutMs) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (pid_ > 0) {
            int st = 0;
            if (::waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                exit_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return exit_;
    }
    void Kill() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int st = 0;
            while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
            }
            pid_ = -1;
            exit_ = -1;
        }
        CloseInput();
    }
    bool Running() const { return pid_ > 0; }
    // The output's read end; call after the reader has stopped.
    void CloseOutput() {
        if (outFd_ >= 0) ::close(outFd_);
        outFd_ = -1;
    }

  private:
    static bool Fail(std::string& error, const char* why) {
        error = why;
        return false;
    }

    pid_t pid_ = -1;
    int inFd_ = -1;
    int outFd_ = -1;
    std::optional<int> exit_;
};

}  // namespace telegate::test
