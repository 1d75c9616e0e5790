// The single-instance lock: one holder per machine, whoever runs the program and
// whatever its environment. The operating system releases it when the holder ends,
// however it ends, so a crashed instance never blocks the next start.
#pragma once

#include <string>

namespace telegate {

class TSingleInstance {
  public:
    // name: the lock's name ("Telegate").
    explicit TSingleInstance(std::string name);
    ~TSingleInstance();
    TSingleInstance(const TSingleInstance&) = delete;
    TSingleInstance& operator=(const TSingleInstance&) = delete;

    // True when this object now holds the lock (also when it already did). False
    // when another holder has it, or when the lock cannot be made (then
    // LastError() says why and AnotherInstance() is false).
    bool TryAcquire();
    void Release();
    bool Held() const { return fd_ >= 0; }
    bool AnotherInstance() const { return another_; }
    const std::string& Name() const { return name_; }
    const std::string& LastError() const { return error_; }

  private:
    std::string name_;
    std::string error_;
    int fd_ = -1;
    bool another_ = false;
};

}  // namespace telegate
