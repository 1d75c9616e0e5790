// The read-only JSON API and the station statistics page.
//
//   GET /api/v1/stations        configuration, link state and link statistics
//   GET /api/v1/values[?kp=N]   every tag (of station N) with value, quality and times
//   /stations.php               the statistics as an HTML page beside the others
//
// As with the pages, what a document shows is copied on the main thread
// (TakeApiSnapshot, no text) and written out on the web worker (the Format
// functions). JSON is UTF-8; times are ISO 8601 local time with the UTC offset.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "iec104/LinkStatistics.h"
#include "support/DateTime.h"
#include "web/WebPages.h"

namespace telegate {

struct TApiSnapshot {
    struct TStation {
        int Kp = 0;
        std::string Name, Host;
        int32_t Port = 0;
        int32_t AsduAddress = 0;
        int32_t Signals = 0, Measurements = 0;
        bool Connected = false;
        bool HasStats = false;
        TLinkStatistics Stats;
    };
    struct TValue {
        int Kp = 0;
        bool Measurement = false;
        std::string Name;
        int32_t AsduAddress = 0, ObjAddress = 0;
        int32_t IValue = 0;
        double Raw = 0.0, Eng = 0.0;
        uint8_t Quality = 0;
        TDateTime Stamp = 0.0;     // the station's time tag (with the station's correction)
        TDateTime Received = 0.0;  // when the value last changed here; 0: not yet
    };
    TDateTime Now = 0.0;
    bool Polling = false;
    std::vector<TStation> Stations;
    std::vector<TValue> Values;
};

// What the snapshot reads besides the page view; every member may be empty.
struct TApiSources {
    std::function<const TLinkDiagnostics*(int kp)> Diagnostics;
    // The time tag index i (tag-list order) last changed; 0 when unknown.
    std::function<TDateTime(size_t tagIndex)> Received;
    bool Polling = false;
};

// Main thread. kp: 0 for all stations; values: copy the tags as well.
TApiSnapshot TakeApiSnapshot(const TWebView& view, const TApiSources& sources, TDateTime now,
                             bool values, int kp);

// The value of tag i of the tag list, as the values document shows it; false when
// the tag belongs to no configured station (or not to station kp when kp != 0).
// Main thread.
bool CopyTagValue(const TWebView& view, size_t i, int kp, TApiSnapshot::TValue& v);

std::string FormatStationsJson(const TApiSnapshot& snap);
// One tag as a JSON object (the values document's entries, the change events).
std::string FormatValueJson(const TApiSnapshot::TValue& v, const std::string& station);
// A station's link state change: {"kp", "station", "connected", "time"}.
std::string FormatLinkJson(int kp, const std::string& station, bool connected, TDateTime time);
std::string FormatValuesJson(const TApiSnapshot& snap);
// The body of /stations.php (between the common header and footer), UTF-8.
void AddStationsTable(const TApiSnapshot& snap, std::string& out);

// "2026-12-09T12:13:12.345+03:00"; "" for 0 (never).
std::string IsoTime(TDateTime local);

// The query parameter kp of "kp=N" (1..count); 0 when absent; -1 when malformed.
int QueryKp(std::string_view query);

}  // namespace telegate
