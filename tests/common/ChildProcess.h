// A child process for the tests and benchmarks: its standard input and its
// standard output and error (together) on pipes. The two targets' sides are in
// ChildProcessPosix.h (fork and exec) and ChildProcessWin32.h (CreateProcessW),
// with the same members:
//
//   bool Start(exe, args, error)  starts exe (a UTF-8 path) with args
//   bool Write(text)              to its standard input; false once it no longer reads
//   void CloseInput()             ends its standard input
//   long Read(buf, size)          blocks for output; 0 at its end (all writers gone)
//   std::optional<int> WaitExit(timeoutMs)   its exit status, nullopt while it runs
//   void Kill()                   ends it at once and reaps it (idempotent)
//   bool Running()
//
// ExecutableName("telegate-sim") is the file name of a program of the build, and
// SelfExecutable() the path of the running test program.
#pragma once

#ifdef _WIN32
#include "ChildProcessWin32.h"
#else
#include "ChildProcessPosix.h"
#endif
