// The message journal kept as files, one per day, for a program that has no
// console to print it to (the Windows service): "journal_<yyyy-mm-dd>.txt" in the
// data folder, in the code page and line ends of the program's other text files.
#pragma once

#include <string>
#include <string_view>

namespace telegate {

// The file of the day a journal line begins with ("dd.mm.yyyy ...", as
// FormatJournalLine makes it): "journal_yyyy-mm-dd.txt"; "journal.txt" for a line
// without a valid date.
std::string JournalFileName(std::string_view line);

// Appends one journal line (its line end, if any, made CR LF) to its day's file in
// folder (empty: the working directory), converted to Windows-1251. False when
// the file cannot be written. Any thread; lines of several writers never tear.
bool AppendJournalLine(const std::string& folder, std::string_view line);

}  // namespace telegate
