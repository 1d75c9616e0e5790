#include "web/WebApi.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "iec104/ClientList.h"
#include "model/Registries.h"
#include "model/StationTable.h"
#include "model/Tags.h"

namespace telegate {

namespace {

using nlohmann::json;

constexpr int kMaxStations = 32;
// Unix epoch as a date-time (days since 1899-12-30).
constexpr double kUnixEpochDays = 25569.0;

json Time(TDateTime t) {
    const std::string s = IsoTime(t);
    return s.empty() ? json(nullptr) : json(s);
}

json QualityFlags(uint8_t q) {
    json flags = json::array();
    if (q & 0x80) flags.push_back("IV");
    if (q & 0x40) flags.push_back("NT");
    if (q & 0x20) flags.push_back("SB");
    if (q & 0x10) flags.push_back("BL");
    if (q & 0x01) flags.push_back("OV");
    return flags;
}

json StatsJson(const TLinkStatistics& s) {
    json byType = json::object();
    for (size_t t = 0; t < s.AsduByType.size(); ++t)
        if (s.AsduByType[t] != 0) byType[std::to_string(t)] = s.AsduByType[t];
    const int64_t gi = s.LastGIDurationMs();
    return json{
        {"connectedSince", Time(s.ConnectedSince)},
        {"connects", s.Connects},
        {"disconnects", s.Disconnects},
        {"lastDisconnectReason", DisconnectReasonText(s.LastDisconnectReason)},
        {"lastDisconnectTime", Time(s.LastDisconnectTime)},
        {"framesIn", {{"I", s.In.I}, {"S", s.In.S}, {"U", s.In.U}, {"octets", s.In.Octets}}},
        {"framesOut", {{"I", s.Out.I}, {"S", s.Out.S}, {"U", s.Out.U}, {"octets", s.Out.Octets}}},
        {"asduByType", byType},
        {"objectsReceived", s.ObjectsReceived},
        {"lastGI",
         {{"start", Time(s.LastGIStart)},
          {"end", Time(s.LastGIEnd)},
          {"durationMs", gi < 0 ? json(nullptr) : json(gi)},
          {"objects", s.LastGIObjects}}},
        {"t1Expiries", s.T1Expiries},
        {"sequenceErrors", s.SequenceErrors},
        {"negativeConfirmations", s.NegativeConfirmations},
        {"missingConfirmations", s.MissingConfirmations},
        {"maxUnackedOut", s.MaxUnackedOut},
        {"maxUnackedIn", s.MaxUnackedIn},
    };
}

std::string Dump(const json& j) {
    // Names and texts that are not valid UTF-8 are replaced, never an exception.
    return j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

void Cell(std::string& out, const std::string& text) {
    out += "<td>";
    for (const char c : text) {
        switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            default:
                out += c;
        }
    }
    out += "</td>";
}

std::string WebTime(TDateTime t) {
    if (t <= 0) return {};
    std::string s;
    AppendWebDateTime(s, t);
    return s;
}

}  // namespace

std::string IsoTime(TDateTime local) {
    if (local <= 0) return {};
    const TDateTimeParts p = DecodeDateTime(local);
    const int64_t utcMs = LocalDateTimeToUnixMs(local);
    const auto localMs = static_cast<int64_t>(std::llround((local - kUnixEpochDays) * kMsPerDay));
    long offsetMin =
        static_cast<long>(std::llround(static_cast<double>(localMs - utcMs) / 60000.0));
    const char sign = offsetMin < 0 ? '-' : '+';
    offsetMin = std::labs(offsetMin);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld", p.year,
                  p.month, p.day, p.hour, p.minute, p.second, p.msec, sign, offsetMin / 60,
                  offsetMin % 60);
    return buf;
}

int QueryKp(std::string_view query) {
    int kp = 0;
    bool seen = false;
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view part = query.substr(0, amp);
        if (part.starts_with("kp=")) {
            const std::string_view digits = part.substr(3);
            const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), kp);
            if (digits.empty() || r.ec != std::errc() || r.ptr != digits.data() + digits.size() ||
                kp < 1)
                return -1;
            seen = true;
        }
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return seen ? kp : 0;
}

TApiSnapshot TakeApiSnapshot(const TWebView& view, const TApiSources& sources, TDateTime now,
                             bool values, int kp) {
    TApiSnapshot snap;
    snap.Now = now;
    snap.Polling = sources.Polling;
    const TStationTable& st = view.Stations;
    const int count = std::clamp<int>(st.Kol_KP, 0, kMaxStations);
    for (int n = 1; n <= count; ++n) {
        if (kp != 0 && n != kp) continue;
        const T_KP& rec = st.KP_arr[n];
        TApiSnapshot::TStation& s = snap.Stations.emplace_back();
        s.Kp = n;
        s.Name = rec.NameKP;
        s.Host = rec.IP;
        s.Port = rec.Port;
        s.AsduAddress = rec.ASDU_Adr;
        s.Signals = rec.Kol_TS;
        s.Measurements = rec.Kol_TI;
        s.Connected = rec.Connected;
        if (view.Clients != nullptr)
            if (const T104Client* c = view.Clients->GetPcl(n - 1); c != nullptr && c->prm.Port != 0)
                s.Port = c->prm.Port;
        if (sources.Diagnostics)
            if (const TLinkDiagnostics* d = sources.Diagnostics(n); d != nullptr) {
                s.HasStats = true;
                s.Stats = d->Stats;
            }
    }
    if (!values || view.Tags == nullptr || view.Arm == nullptr) return snap;
    const size_t tags = view.Tags->List.size();
    snap.Values.reserve(tags);
    TApiSnapshot::TValue v;
    for (size_t i = 0; i < tags; ++i) {
        if (!CopyTagValue(view, i, kp, v)) continue;
        if (sources.Received) v.Received = sources.Received(i);
        snap.Values.push_back(v);
    }
    return snap;
}

bool CopyTagValue(const TWebView& view, size_t i, int kp, TApiSnapshot::TValue& v) {
    if (view.Tags == nullptr || view.Arm == nullptr || i >= view.Tags->List.size()) return false;
    const TStationTable& st = view.Stations;
    const int count = std::clamp<int>(st.Kol_KP, 0, kMaxStations);
    const TTagSignal& tag = view.Tags->List[i];
    const TArmRec* rec = view.Arm->GetRec(tag.FIndArm);
    if (rec == nullptr || (rec->Fst != stTIT && rec->Fst != stTS)) return false;
    const long long s = static_cast<long long>(rec->FsstID) - kStationIdBase;
    if (s < 1 || s > count || (kp != 0 && s != kp)) return false;
    const T_KP& station = st.KP_arr[s];
    v.Kp = static_cast<int>(s);
    v.Measurement = rec->Fst == stTIT;
    v.Name = tag.FName;
    v.AsduAddress = tag.FAsduAddress;
    v.ObjAddress = tag.FObjAddress;
    tag.GetArmValue(v.IValue, v.Quality, v.Raw, v.Stamp);
    v.Eng = v.Measurement && station.PereschetTI ? rec->RawToEng(v.Raw) : v.Raw;
    if (v.Stamp > 0) v.Stamp += station.Popravka_Time * kOneHour;
    v.Received = 0;
    return true;
}

std::string FormatStationsJson(const TApiSnapshot& snap) {
    json stations = json::array();
    for (const auto& s : snap.Stations) {
        json j{{"kp", s.Kp},
               {"name", s.Name},
               {"host", s.Host},
               {"port", s.Port},
               {"asduAddress", s.AsduAddress},
               {"signals", s.Signals},
               {"measurements", s.Measurements},
               {"connected", s.Connected}};
        j["statistics"] = s.HasStats ? StatsJson(s.Stats) : json(nullptr);
        stations.push_back(std::move(j));
    }
    return Dump(json{{"time", Time(snap.Now)}, {"polling", snap.Polling}, {"stations", stations}});
}

namespace {

json ValueJson(const TApiSnapshot::TValue& v, const std::string& station) {
    json j{{"kp", v.Kp},
           {"station", station},
           {"name", v.Name},
           {"kind", v.Measurement ? "TI" : "TS"},
           {"asduAddress", v.AsduAddress},
           {"objectAddress", v.ObjAddress}};
    if (v.Measurement) {
        j["raw"] = v.Raw;
        j["value"] = v.Eng;
    } else {
        j["value"] = v.IValue;
    }
    j["quality"] = json{{"iec", v.Quality}, {"flags", QualityFlags(v.Quality)}};
    j["time"] = Time(v.Stamp);
    j["received"] = Time(v.Received);
    return j;
}

}  // namespace

std::string FormatValueJson(const TApiSnapshot::TValue& v, const std::string& station) {
    return ValueJson(v, station).dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string FormatLinkJson(int kp, const std::string& station, bool connected, TDateTime time) {
    return json{{"kp", kp}, {"station", station}, {"connected", connected}, {"time", Time(time)}}
        .dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string FormatValuesJson(const TApiSnapshot& snap) {
    std::vector<std::string> names(static_cast<size_t>(kMaxStations + 1));
    for (const auto& s : snap.Stations) names[static_cast<size_t>(s.Kp)] = s.Name;
    json values = json::array();
    for (const auto& v : snap.Values)
        values.push_back(ValueJson(v, names[static_cast<size_t>(v.Kp)]));
    return Dump(json{{"time", Time(snap.Now)}, {"values", values}});
}

void AddStationsTable(const TApiSnapshot& snap, std::string& out) {
    out += "</div>\r\n</section>\r\n<section class=\"row-2\">\r\n<div class=\"container_12\">\r\n";
    out += "<table>\r\n";
    out +=
        "<tr><th>№</th><th>Имя КП</th><th>IP адрес</th><th>Соединение</th>"
        "<th>Соединено с</th><th>Соединений</th><th>Разрывов</th>"
        "<th>Причина последнего разрыва</th><th>I/S/U принято</th><th>Байт принято</th>"
        "<th>I/S/U передано</th><th>Байт передано</th><th>ASDU</th><th>Объектов</th>"
        "<th>Последний общий опрос</th><th>Длительность, мс</th><th>Объектов опроса</th>"
        "<th>t1</th><th>Ошибок последовательности</th><th>Отрицательных подтверждений</th><th>Неполученных подтверждений</th>"
        "<th>Макс. неподтв. передано/принято</th></tr>\r\n";
    int r = 0;
    for (const auto& s : snap.Stations) {
        ++r;
        out += (r % 2) != 0 ? "<tr class=\"even\" >" : "<tr class=\"odd\" >";
        const TLinkStatistics& t = s.Stats;
        const auto u = [](uint64_t v) { return std::to_string(v); };
        Cell(out, std::to_string(s.Kp));
        Cell(out, s.Name);
        Cell(out, s.Host);
        Cell(out, s.Connected ? "Есть" : "Нет");
        Cell(out, WebTime(t.ConnectedSince));
        Cell(out, u(t.Connects));
        Cell(out, u(t.Disconnects));
        Cell(out, DisconnectReasonText(t.LastDisconnectReason));
        Cell(out, u(t.In.I) + "/" + u(t.In.S) + "/" + u(t.In.U));
        Cell(out, u(t.In.Octets));
        Cell(out, u(t.Out.I) + "/" + u(t.Out.S) + "/" + u(t.Out.U));
        Cell(out, u(t.Out.Octets));
        Cell(out, u(t.AsduTotal()));
        Cell(out, u(t.ObjectsReceived));
        Cell(out, WebTime(t.LastGIStart));
        const int64_t gi = t.LastGIDurationMs();
        Cell(out, gi < 0 ? std::string() : std::to_string(gi));
        Cell(out, u(t.LastGIObjects));
        Cell(out, u(t.T1Expiries));
        Cell(out, u(t.SequenceErrors));
        Cell(out, u(t.NegativeConfirmations));
        Cell(out, u(t.MissingConfirmations));
        Cell(out, std::to_string(t.MaxUnackedOut) + "/" + std::to_string(t.MaxUnackedIn));
        out += "</tr>\r\n";
    }
    out += "</table>\r\n";
}

}  // namespace telegate
