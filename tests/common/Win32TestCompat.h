// Included before every test source of the Windows build: the few POSIX calls the
// tests use for scratch folders and the time zone, on the C runtime of Windows.
// Permission bits do not lock a file there, so the tests see a user to whom every
// file is readable (geteuid() == 0) and leave out their "unreadable file" cases.
#pragma once

#include <direct.h>
#include <io.h>
#include <process.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

inline char* mkdtemp(char* tmpl) {
    const size_t n = strlen(tmpl);
    if (n < 6 || strcmp(tmpl + n - 6, "XXXXXX") != 0) return nullptr;
    for (int attempt = 0; attempt < 100; ++attempt) {
        static unsigned counter = 0;
        unsigned v = static_cast<unsigned>(_getpid()) * 7919u + (++counter) * 104729u +
                     static_cast<unsigned>(attempt);
        for (size_t i = n - 6; i < n; ++i) {
            tmpl[i] = "abcdefghijklmnopqrstuvwxyz0123456789"[v % 36];
            v /= 36;
        }
        if (_mkdir(tmpl) == 0) return tmpl;
    }
    return nullptr;
}

inline int geteuid() {
    return 0;
}

inline int setenv(const char* name, const char* value, int /*overwrite*/) {
    return _putenv_s(name, value);
}

inline int unsetenv(const char* name) {
    return _putenv_s(name, "");
}
