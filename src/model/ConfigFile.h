// The device and tag configuration file "iec104.cfg": the persistent form of the
// station table. On disk it is Windows-1251 text with CR LF line ends (LF alone is
// accepted when reading); in memory names are UTF-8.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "model/StationTable.h"
#include "support/TextFields.h"  // FormatRealGeneral, the number format of the file

namespace telegate {

class INotifier;

constexpr const char* kConfigFileName = "iec104.cfg";

// Raised when the configuration file cannot be created or written.
class EInOutError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Raised instead of writing a table that did not load completely (LoadProblems):
// writing it would lose the lines the load could not take in.
class EConfigIncomplete : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Replaces the station table by the file's content.
//  - Missing file: the table is left as it is, nothing is shown.
//  - File that cannot be opened (unreadable, a directory): Kol_KP becomes 0 and
//    notifier shows "Чтение списка сигналов 000 Error".
//  - A field that must be a number and is not one raises EConvertError (support/TextFields.h)
//    whose text names the file, the line (from 1) and the field (from 0, the keyword);
//    stations and tags of the lines before the bad one stay in the table, the bad line
//    adds nothing.
//  - Reading stops at a 33rd station line; tags beyond 7000 of a kind in one station
//    and tag or option lines before the first station line are not taken in.
//  Every line not taken in, and a file that cannot be opened, is named in
//  table.LoadProblems (cleared by every load that finds the file).
void ReadConfigFile(const std::string& FileName, TStationTable& table, INotifier& notifier);

// The same reading rules applied to text already in memory (UTF-8, LF or CR LF);
// name is the file name used in the problem texts.
void ReadConfigText(std::string_view text, TStationTable& table,
                    const std::string& name = kConfigFileName);

// Writes the whole table (stations 1..Kol_KP), replacing the file atomically: on
// failure the old file is kept and EInOutError is raised. A table whose load was
// incomplete is not written: EConfigIncomplete says why.
void WriteConfigFile(const std::string& FileName, const TStationTable& table);

// The file's text as the writer produces it, UTF-8 with CR LF line ends.
std::string FormatConfigText(const TStationTable& table);

}  // namespace telegate
