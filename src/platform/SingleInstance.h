// The single-instance lock: an advisory lock on a file in the user's runtime
// directory. The operating system releases it when the process ends, however it
// ends, so a crashed instance never blocks the next start.
#pragma once

#include <string>

namespace telegate {

class TSingleInstance {
  public:
    // name: the lock's name ("Telegate"); directory: where the lock file lives,
    // by default $XDG_RUNTIME_DIR, else "telegate-<uid>" in the temporary directory.
    explicit TSingleInstance(std::string name, std::string directory = {});
    ~TSingleInstance();
    TSingleInstance(const TSingleInstance&) = delete;
    TSingleInstance& operator=(const TSingleInstance&) = delete;

    // True when this object now holds the lock (also when it already did). False
    // when another holder has it, or when the lock file cannot be made (then
    // LastError() says why and AnotherInstance() is false).
    bool TryAcquire();
    void Release();
    bool Held() const { return fd_ >= 0; }
    bool AnotherInstance() const { return another_; }
    const std::string& LockPath() const { return path_; }
    const std::string& LastError() const { return error_; }

  private:
    std::string dir_;
    std::string path_;
    std::string error_;
    int fd_ = -1;
    bool another_ = false;
    bool ownDir_ = false;
};

}  // namespace telegate
