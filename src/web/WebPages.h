// The generated web pages: the page header, the measurement and signal tables, the
// station configuration table and the page footer. Every page is built as lines,
// each followed by CR LF, into one UTF-8 string; the dispatcher converts it to
// Windows-1251 before sending.
//
// The generators read live data (station table, tag list, signal registry, station
// clients) and must run where that data cannot change under them: the web server
// runs them on the main thread.
#pragma once

#include <string>
#include <string_view>

#include "support/DateTime.h"

namespace telegate {

class TStationTable;
class TTagSignalList;
class TArmSignals;
class TClients104;

// What the pages read. Only the station table is required; a missing tag list or
// signal registry gives tables without data rows, and a missing client list (no
// polling has been started yet) gives the "Запустите сервер" row of the
// configuration table.
struct TWebView {
    const TStationTable& Stations;
    const TTagSignalList* Tags = nullptr;
    const TArmSignals* Arm = nullptr;
    const TClients104* Clients = nullptr;
};

// Rows of the measurement and signal tables shown without a query.
constexpr int kWebRowLimit = 719;

// A real number in the program's general format: up to 15 significant digits, "."
// as the separator, no trailing zeros, exponent form ("1E20", "1.5E-7") for
// exponents from 15 up and below -4. Independent of the process locale.
void AppendGeneralReal(std::string& out, double value);
std::string FormatGeneralReal(double value);
// "DD.MM.YYYY hh:nn:ss.zzz".
void AppendWebDateTime(std::string& out, TDateTime value);

// Percent-decodes a query string or path ("+" becomes a blank only when plusIsBlank).
// Decoded octets that are not valid UTF-8 are taken as Windows-1251 and converted.
// False on a malformed escape (out then holds a partial text).
bool DecodeUrlText(std::string_view in, bool plusIsBlank, std::string& out);
// The query as the table builders compare it; a malformed escape leaves the text as
// received.
std::string DecodeQuery(std::string_view rawQuery);

// True for the document paths answered by a generated page.
bool IsGeneratedPage(std::string_view path);

// The page parts. Every function appends its lines to out.
void AddPageHeader(std::string_view path, std::string& out);
// kind "ti" (measurements) or "ts" (signals); query already decoded (DecodeQuery).
void AddSignalTable(const TWebView& view, std::string_view kind, std::string_view query,
                    std::string& out);
void AddConfigTable(const TWebView& view, std::string& out);
void AddPageFooter(std::string& out);

// The whole page of a document path (see IsGeneratedPage), UTF-8; empty for any
// other path. rawQuery is the query as received (it is decoded here).
std::string BuildPage(const TWebView& view, std::string_view path, std::string_view rawQuery);

}  // namespace telegate
