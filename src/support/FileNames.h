// File names are UTF-8 everywhere in the program. These helpers hand them to the
// file system without a detour through a narrow code page, so a folder with
// Cyrillic letters or blanks works on every target.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace telegate {

// The path named by a UTF-8 string.
std::filesystem::path Utf8Path(std::string_view utf8);
// A path as UTF-8.
std::string PathToUtf8(const std::filesystem::path& path);

// std::fopen for a UTF-8 name; mode is "rb", "wb" or "ab" (optionally with '+').
// The handle is not inherited by child processes. Null on failure.
std::FILE* OpenFileUtf8(const std::string& utf8Name, const char* mode);

// Appends bytes to the end of the file (created when missing) in one write the
// system places at the end, so that lines of several writers, threads or
// processes, never tear or overwrite each other. False when it failed.
bool AppendToFileUtf8(const std::string& utf8Name, std::string_view bytes);

}  // namespace telegate
