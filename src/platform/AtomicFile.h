// Replacing a file so that a reader sees either the old or the new content, never
// a half-written one: the bytes go to a temporary file beside the target, are
// flushed to disk, and the temporary file is then renamed over the target. The
// temporary file is named "<target>.tmp." followed by six letters or digits; a
// write interrupted by a power loss or a kill can leave one behind.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace telegate {

// The temporary file's name: target + kAtomicTempInfix + kAtomicTempRandomChars
// letters or digits.
inline constexpr std::string_view kAtomicTempInfix = ".tmp.";
inline constexpr size_t kAtomicTempRandomChars = 6;

// True on success. On failure the target keeps its old content (or stays absent),
// no temporary file is left behind, and errorText says what failed (empty on
// success). A new file gets mode 0644; a replaced file keeps its mode.
bool WriteFileAtomically(const std::string& path, std::string_view bytes, std::string& errorText);
bool WriteFileAtomically(const std::string& path, std::string_view bytes);

// Removes the temporary files that interrupted writes of directory/fileName left
// behind: regular files named exactly as above, nothing else. Returns the names
// removed (without the directory).
std::vector<std::string> RemoveLeftoverTempFiles(const std::string& directory,
                                                 std::string_view fileName);

}  // namespace telegate
