// Raw writes to the process's standard output, below the C library's buffers: a
// reader that has gone or stopped reading can block or fail only the writing
// thread, never the flush at process exit.
#pragma once

#include <string_view>

namespace telegate {

// All of the bytes; false once the output is gone (a closed pipe).
bool WriteStandardOutput(std::string_view bytes);

}  // namespace telegate
