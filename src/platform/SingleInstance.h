// The single-instance lock: one holder per machine, whoever runs the program and
// whatever its environment. The operating system releases it when the holder ends,
// however it ends, so a crashed instance never blocks the next start.
#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace telegate {

class TSingleInstance {
  public:
    // name: the lock's name ("Telegate").
    explicit TSingleInstance(std::string name);
    ~TSingleInstance();
    TSingleInstance(const TSingleInstance&) = delete;
    TSingleInstance& operator=(const TSingleInstance&) = delete;

    // True when this object now holds the lock (also when it already did). False
    // when another instance has it, or when the lock cannot be made (then
    // LastError() says why and AnotherInstance() is false). Where any account can
    // take the lock's name, a holder that is not an instance of this program does
    // not count: the start goes on and Warning() says so, for the operator.
    bool TryAcquire();
    void Release();
    bool Held() const { return fd_ >= 0; }
    bool AnotherInstance() const { return another_; }
    const std::string& Name() const { return name_; }
    const std::string& LastError() const { return error_; }
    // Set by TryAcquire when a foreign holder of the name was ignored; else empty.
    const std::string& Warning() const { return warning_; }

  private:
    enum class TTry { Acquired, Another, Foreign, Error };
    // Takes the lock under one name, or finds out who holds it.
    TTry TryName(const std::string& name);

    std::string name_;
    std::string error_;
    std::string warning_;
    int fd_ = -1;
    bool another_ = false;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;  // answers the holder questions of later starts
};

}  // namespace telegate
