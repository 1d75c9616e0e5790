#include "platform/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace telegate {

namespace {

// $XDG_RUNTIME_DIR, else our own private directory in the temporary directory.
std::string DefaultDirectory(bool& own) {
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    own = !(xdg != nullptr && xdg[0] == '/');
    if (!own) return xdg;
    std::error_code ec;
    std::filesystem::path tmp = std::filesystem::temp_directory_path(ec);
    if (ec || tmp.empty()) tmp = std::filesystem::path("/") / "tmp";
    return (tmp / ("telegate-" + std::to_string(::getuid()))).string();
}

// Creates the private directory when missing; refuses one that belongs to another
// user or is reachable by others, so nobody can hold our lock for us.
bool PrepareDirectory(const std::string& dir, bool own, std::string& error) {
    if (!own) {
        struct stat st {};
        if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            error = "lock directory " + dir + " does not exist";
            return false;
        }
        return true;
    }
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create " + dir + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 0077) != 0) {
        error = "unsafe lock directory " + dir;
        return false;
    }
    return true;
}

std::string SafeName(std::string name) {
    for (char& c : name)
        if (c == '/' || c == '\\' || c == '\0') c = '_';
    if (name.empty() || name == "." || name == "..") name = "lock";
    return name;
}

}  // namespace

TSingleInstance::TSingleInstance(std::string name, std::string directory)
    : dir_(std::move(directory)) {
    // The fallback directory is ours to create; a given one or the runtime
    // directory must already exist.
    if (dir_.empty()) dir_ = DefaultDirectory(ownDir_);
    path_ = dir_ + "/" + SafeName(std::move(name)) + ".lock";
}

TSingleInstance::~TSingleInstance() {
    Release();
}

bool TSingleInstance::TryAcquire() {
    if (fd_ >= 0) return true;
    error_.clear();
    another_ = false;
    if (!PrepareDirectory(dir_, ownDir_, error_)) return false;
    const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error_ = "cannot open " + path_ + ": " + std::strerror(errno);
        return false;
    }
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int err = errno;
        ::close(fd);
        if (err == EWOULDBLOCK) {
            another_ = true;
            error_ = "another instance holds " + path_;
        } else {
            error_ = "cannot lock " + path_ + ": " + std::strerror(err);
        }
        return false;
    }
    fd_ = fd;
    return true;
}

void TSingleInstance::Release() {
    if (fd_ < 0) return;
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
}

}  // namespace telegate
