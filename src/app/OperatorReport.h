// Problems the operator must learn of even when nobody watches a window: a rejected
// configuration line, a configuration that is kept on close, a web server that
// cannot start. Each goes to "error_iec104.log", the journal and an error box.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "support/DateTime.h"

namespace telegate {

class TAppContext;

constexpr const char* kExceptionLogName = "error_iec104.log";

// Appends "<local date-time>: <message> . Class Name = <className>" as one line
// (line breaks in the message become blanks) to logFile, creating it when missing.
// Failures to write are ignored. Never throws.
void AppendExceptionLog(TDateTime now, std::string_view message, std::string_view className,
                        const std::string& logFile) noexcept;

// One line per text in logFile (as above), one journal line per text (category 0,
// with the time) and one error box holding every text, one per line. Never throws.
void ReportToOperator(TAppContext& ctx, const std::string& logFile,
                      const std::vector<std::string>& texts, std::string_view className) noexcept;

// Reads the configuration file into ctx.Stations and reports what the load could
// not take in (ctx.Stations.LoadProblems), once for each new set of problems, with
// the advice that the file will not be written back. Never throws.
void LoadStationConfig(TAppContext& ctx, const std::string& cfgFile, const std::string& logFile);

}  // namespace telegate
