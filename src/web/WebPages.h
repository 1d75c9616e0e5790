// The generated web pages: the page header, the measurement and signal tables, the
// station configuration table and the page footer. Every page is built as lines,
// each followed by CR LF, into one UTF-8 string; the dispatcher converts it to
// Windows-1251 before sending.
//
// A page is made in two steps: TakePageData copies what the page shows out of the
// live data (station table, tag list, signal registry, station clients), which must
// happen where that data cannot change under it, the main thread; it is quick (a
// copy, no text). FormatPage then writes the text from that copy on any thread, so
// the formatting of a large page never holds up the main thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// What one page shows, copied from the live data.
struct TWebPageData {
    struct TStation {
        std::string NameKP;
        std::string IP;
        int32_t ASDU_Adr = 0;
        int32_t Kol_TI = 0;
        int32_t Kol_TS = 0;
        int32_t Popravka_Time = 0;
        bool Connected = false;
        bool PereschetTI = false;
        bool Time_To_OPC = false;
        bool HasParams = false;  // the station has a client whose parameters are shown
        // The client's Port, then t0, t1, t2, t3, kMax, wMax, OriginatorAddress,
        // LinkAddress1, sz_LinkAddress, PollingCycle, ConfirmationTimeout,
        // TerminationTimeout, RetryCount, RetryTimeOut, CommonAsduAddress,
        // sz_ASDUAddress, sz_InfObjAddress, sz_COT.
        std::array<int32_t, 19> Params{};
    };
    // One data row of a measurement or signal table.
    struct TRow {
        int Station = 0;  // 1-based index into Stations
        std::string Name;
        int32_t AsduAddress = 0;
        int32_t ObjAddress = 0;
        int32_t IValue = 0;
        uint8_t Quality = 0;
        double FValue = 0.0;
        double Eng = 0.0;  // the engineering value (measurements of a converting station)
        TDateTime Stamp = 0.0;
    };

    std::string Path;
    std::string Query;               // decoded (DecodeQuery)
    std::vector<TStation> Stations;  // stations 1..count
    bool HaveClients = false;        // polling has been started at least once
    std::vector<TRow> Rows;          // the rows of the page's table, in order
    bool Cut = false;                // the row limit left rows out
};

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

// The copy of what the page of a document path (see IsGeneratedPage) shows; query
// already decoded. Main thread.
TWebPageData TakePageData(const TWebView& view, std::string_view path, std::string_view query);
// The page's text, UTF-8; empty for a path that is no generated page. Any thread.
std::string FormatPage(const TWebPageData& data);

// The page parts. Every function appends its lines to out.
void AddPageHeader(std::string_view path, std::string& out);
// kind "ti" (measurements) or "ts" (signals); query already decoded (DecodeQuery).
void AddSignalTable(const TWebView& view, std::string_view kind, std::string_view query,
                    std::string& out);
void AddConfigTable(const TWebView& view, std::string& out);
void AddPageFooter(std::string& out);

// The whole page of a document path (see IsGeneratedPage), UTF-8; empty for any
// other path. rawQuery is the query as received (it is decoded here).
// FormatPage(TakePageData(...)) in one call.
std::string BuildPage(const TWebView& view, std::string_view path, std::string_view rawQuery);

}  // namespace telegate
