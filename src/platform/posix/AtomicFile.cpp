#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

namespace telegate {

namespace {

constexpr std::string_view kTempInfix = kAtomicTempInfix;
constexpr size_t kTempRandomChars = kAtomicTempRandomChars;  // the XXXXXX of mkstemp
static_assert(kTempRandomChars == 6, "mkstemp replaces exactly six X");

std::string ErrnoText(const char* what, const std::string& path, int err) {
    return std::string(what) + " " + path + ": " + std::strerror(err);
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool WriteAll(int fd, std::string_view bytes) {
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool WriteFileAtomically(const std::string& path, std::string_view bytes, std::string& errorText) {
    errorText.clear();
    if (path.empty()) {
        errorText = "empty file name";
        return false;
    }
    struct stat old {};
    const bool replacing = ::stat(path.c_str(), &old) == 0;
    if (replacing && S_ISDIR(old.st_mode)) {
        errorText = ErrnoText("cannot replace", path, EISDIR);
        return false;
    }

    std::string tmpl = path + std::string(kTempInfix) + std::string(kTempRandomChars, 'X');
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
        errorText = ErrnoText("cannot create", tmpl, errno);
        return false;
    }
    const std::string tmp(name.data());
    auto fail = [&](const char* what, const std::string& subject) {
        const int err = errno;
        ::close(fd);
        ::unlink(tmp.c_str());
        errorText = ErrnoText(what, subject, err);
        return false;
    };

    const mode_t mode = replacing ? (old.st_mode & 07777) : 0644;
    if (::fchmod(fd, mode) != 0) return fail("cannot set mode of", tmp);
    if (!WriteAll(fd, bytes)) return fail("cannot write", tmp);
    if (::fsync(fd) != 0) return fail("cannot flush", tmp);
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        errorText = ErrnoText("cannot close", tmp, err);
        return false;
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        errorText = ErrnoText("cannot replace", path, err);
        return false;
    }
    // Make the rename itself durable; a failure here does not undo the write.
    const int dir = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

bool WriteFileAtomically(const std::string& path, std::string_view bytes) {
    std::string ignored;
    return WriteFileAtomically(path, bytes, ignored);
}

}  // namespace telegate
