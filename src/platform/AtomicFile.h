// Replacing a file so that a reader sees either the old or the new content, never
// a half-written one: the bytes go to a temporary file beside the target, are
// flushed to disk, and the temporary file is then renamed over the target.
#pragma once

#include <string>
#include <string_view>

namespace telegate {

// True on success. On failure the target keeps its old content (or stays absent),
// no temporary file is left behind, and errorText says what failed (empty on
// success). A new file gets mode 0644; a replaced file keeps its mode.
bool WriteFileAtomically(const std::string& path, std::string_view bytes, std::string& errorText);
bool WriteFileAtomically(const std::string& path, std::string_view bytes);

}  // namespace telegate
