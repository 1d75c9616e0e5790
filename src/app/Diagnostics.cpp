#include "app/Diagnostics.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <utility>

#include "app/AppContext.h"
#include "app/Polling.h"
#include "iec104/FrameText.h"
#include "model/Tags.h"
#include "support/CodePage.h"
#include "support/FileNames.h"
#include "support/TraceFiles.h"
#include "web/WebApi.h"
#include "web/WebDispatch.h"
#include "web/WebPages.h"

namespace telegate {

namespace {

constexpr const char* kJsonType = "application/json; charset=utf-8";
constexpr const char* kHtmlType = "text/html; charset=windows-1251";
constexpr int kMaxKp = 32;

void Answer(THttpResponse& response, int status, const char* type, std::string body) {
    response.status = status;
    response.contentType = type;
    response.cacheControl = "no-cache";
    response.body = std::move(body);
    response.filePath.clear();
}

void Refuse(THttpResponse& response, int status, const std::string& why) {
    Answer(response, status, "text/plain; charset=utf-8", why + "\n");
}

// The monitor page: the lines arrive as events and are appended to a list that
// keeps the last 2000.
std::string MonitorPage(int kp, const std::string& name) {
    std::string out;
    AddPageHeader("/monitor.php", out);
    out += "</div>\r\n</section>\r\n<section class=\"row-2\">\r\n<div class=\"container_12\">\r\n";
    out += "<h7>Монитор обмена: КП " + std::to_string(kp) + " ";
    for (const char c : name) out += (c == '<' || c == '>' || c == '&') ? ' ' : c;
    out += "</h7>\r\n";
    out += "<pre id=\"lines\" style=\"font-size:11px;white-space:pre-wrap\"></pre>\r\n";
    out +=
        "<script type=\"text/javascript\">\r\n"
        "var box=document.getElementById('lines');\r\n"
        "function add(t){var d=document.createElement('div');d.textContent=t;"
        "box.appendChild(d);while(box.childNodes.length>2000)box.removeChild(box.firstChild);}\r\n"
        "var es=new EventSource('api/v1/monitor?kp=" +
        std::to_string(kp) +
        "');\r\n"
        "es.onmessage=function(e){add(e.data);};\r\n"
        "es.addEventListener('lost',function(e){add('... '+e.data+' строк потеряно');});\r\n"
        "es.onerror=function(){add('... нет связи с сервером');};\r\n"
        "</script>\r\n";
    AddPageFooter(out);
    return out;
}

}  // namespace

TDiagnostics::TDiagnostics(TAppContext& ctx, TPolling& polling, TWebDispatch& dispatch,
                           std::string traceDir)
    : FCtx(ctx), FPolling(polling), FDispatch(dispatch), FTraceDir(std::move(traceDir)) {
    FConnected.assign(kMaxKp + 1, false);
    FTapped.assign(kMaxKp + 1, false);
    FDispatch.SetExtraHandler([this](const THttpRequest& request, THttpResponse& response) {
        return Handle(request, response);
    });
}

TDiagnostics::~TDiagnostics() {
    FDispatch.SetExtraHandler({});
    for (int n = 1; n <= kMaxKp; ++n)
        if (TLinkDiagnostics* d = FPolling.Diagnostics(n)) d->SetTap({});
    std::lock_guard<std::mutex> lock(FMu);
    for (auto& s : FEventStreams) s->Close();
    for (auto& v : FViewers) v.stream->Close();
}

int TDiagnostics::EventStreams() const {
    std::lock_guard<std::mutex> lock(FMu);
    return static_cast<int>(std::count_if(FEventStreams.begin(), FEventStreams.end(),
                                          [](const auto& s) { return !s->Detached(); }));
}

int TDiagnostics::MonitorViewers() const {
    std::lock_guard<std::mutex> lock(FMu);
    return static_cast<int>(std::count_if(FViewers.begin(), FViewers.end(),
                                          [](const auto& v) { return !v.stream->Detached(); }));
}

// ------------------------------------------------------------------ main thread

void TDiagnostics::Publish() {
    const TTagSignalList* tags = FPolling.Publisher().Tags();
    const TWebView view = FPolling.WebView();
    const TDateTime now = FCtx.Clock.Now();
    std::vector<std::shared_ptr<THttpStream>> streams;
    {
        std::lock_guard<std::mutex> lock(FMu);
        std::erase_if(FEventStreams, [](const auto& s) { return s->Detached(); });
        streams = FEventStreams;
    }
    const auto send = [&streams](const std::string& event) {
        for (auto& s : streams) s->Push(event);
    };
    const int count = std::clamp<int>(FCtx.Stations.Kol_KP, 0, kMaxKp);

    // Tag changes against the last pass; a new tag list starts a new baseline.
    const size_t size = tags != nullptr ? tags->List.size() : 0;
    const bool fresh = tags != FTagsSeen || size != FLast.size();
    if (fresh) {
        FTagsSeen = tags;
        FLast.assign(size, TLast{});
        FReceived.assign(size, 0.0);
    }
    TApiSnapshot::TValue v;
    for (size_t i = 0; i < size; ++i) {
        TLast now1;
        tags->List[i].GetArmValue(now1.iValue, now1.quality, now1.fValue, now1.stamp);
        TLast& last = FLast[i];
        const bool changed = now1.iValue != last.iValue || now1.quality != last.quality ||
                             now1.fValue != last.fValue || now1.stamp != last.stamp;
        last = now1;
        if (!changed || fresh) continue;
        FReceived[i] = now;
        if (streams.empty() || !CopyTagValue(view, i, 0, v)) continue;
        v.Received = now;
        send(SseEvent("value", FormatValueJson(v, FCtx.Stations.KP_arr[v.Kp].NameKP)));
    }

    // Link state changes.
    for (int n = 1; n <= kMaxKp; ++n) {
        const bool connected = n <= count && FCtx.Stations.KP_arr[n].Connected;
        if (connected == FConnected[static_cast<size_t>(n)]) continue;
        FConnected[static_cast<size_t>(n)] = connected;
        if (n <= count)
            send(SseEvent("link",
                          FormatLinkJson(n, FCtx.Stations.KP_arr[n].NameKP, connected, now)));
    }
    // The statistics for the OPC items and the operator window.
    for (int n = 1; n <= count; ++n)
        if (const TLinkDiagnostics* d = FPolling.Diagnostics(n)) FCtx.Statistics.Store(n, d->Stats);
    UpdateTaps();
}

TDateTime TDiagnostics::ReceivedAt(size_t tagIndex) const {
    return tagIndex < FReceived.size() ? FReceived[tagIndex] : 0.0;
}

void TDiagnostics::UpdateTaps() {
    std::vector<bool> watched(kMaxKp + 1, false);
    {
        std::lock_guard<std::mutex> lock(FMu);
        std::erase_if(FViewers, [](const TViewer& v) { return v.stream->Detached(); });
        for (const TViewer& v : FViewers) watched[static_cast<size_t>(v.kp)] = true;
    }
    const bool decoded = FCtx.Settings.Save_Obmen_v_File && FCtx.Settings.Trace_Decoded;
    for (int n = 1; n <= kMaxKp; ++n) {
        TLinkDiagnostics* d = FPolling.Diagnostics(n);
        if (d == nullptr) continue;
        const bool want = watched[static_cast<size_t>(n)] || decoded;
        if (want == FTapped[static_cast<size_t>(n)]) continue;
        FTapped[static_cast<size_t>(n)] = want;
        if (want) {
            d->SetTap([this, n](TFrameDir dir, std::span<const uint8_t> apdu) {
                FrameSeen(n, dir, apdu);
            });
        } else {
            d->SetTap({});
        }
    }
}

// A monitor record as queued for a viewer: direction, time, length, octets. The
// viewer's stream renders the lines when the network thread takes them, so a
// watched station costs the main thread a copy per frame, not the text.
void TDiagnostics::FrameSeen(int kp, TFrameDir dir, std::span<const uint8_t> apdu) {
    const TLinkDiagnostics* d = FPolling.Diagnostics(kp);
    if (d == nullptr) return;
    const TDateTime now = FCtx.Clock.Now();
    if (FCtx.Settings.Save_Obmen_v_File && FCtx.Settings.Trace_Decoded)
        AppendTraceLine(RenderFrameLine(now, dir, apdu, d->Layout, &FCtx.TypeIdentList),
                        JoinPath(FTraceDir, "Socket" + std::to_string(kp - 1) + ".txt"));
    std::lock_guard<std::mutex> lock(FMu);
    if (FViewers.empty()) return;
    const auto length = static_cast<uint16_t>(std::min<size_t>(apdu.size(), 0xFFFF));
    char record[1 + sizeof now + sizeof length + 256];
    record[0] = static_cast<char>(dir);
    std::memcpy(record + 1, &now, sizeof now);
    std::memcpy(record + 1 + sizeof now, &length, sizeof length);
    const size_t head = 1 + sizeof now + sizeof length;
    const size_t copied = std::min<size_t>(length, sizeof record - head);
    std::memcpy(record + head, apdu.data(), copied);
    const std::string_view rec(record, head + copied);
    for (const TViewer& v : FViewers)
        if (v.kp == kp) v.stream->Push(rec);
}

std::string RenderMonitorRecords(std::string_view queued, const TFrameLayout& layout,
                                 const TTypeIdentList* types) {
    std::string out;
    TDateTime time = 0;
    uint16_t length = 0;
    constexpr size_t head = 1 + sizeof time + sizeof length;
    while (queued.size() >= head) {
        const auto dir = static_cast<TFrameDir>(queued[0]);
        std::memcpy(&time, queued.data() + 1, sizeof time);
        std::memcpy(&length, queued.data() + 1 + sizeof time, sizeof length);
        const size_t n = std::min<size_t>(length, queued.size() - head);
        const auto* octets = reinterpret_cast<const uint8_t*>(queued.data() + head);
        out += SseEvent(
            {}, RenderFrameLine(time, dir, std::span<const uint8_t>(octets, n), layout, types));
        queued.remove_prefix(head + n);
    }
    return out;
}

// ------------------------------------------------------------------ web workers

bool TDiagnostics::Handle(const THttpRequest& request, THttpResponse& response) {
    const std::string& path = request.path;
    const bool stations = path == "/api/v1/stations";
    const bool values = path == "/api/v1/values";
    const bool page = path == "/stations.php";
    if (stations || values || page) {
        const int kp = values ? QueryKp(request.query) : 0;
        if (kp < 0) {
            Refuse(response, 400, "kp must be a station number");
            return true;
        }
        auto snap = std::make_shared<TApiSnapshot>();
        auto known = std::make_shared<bool>(true);
        const bool ran = FDispatch.RunOnMain([this, snap, known, kp, values] {
            if (kp > std::clamp<int>(FCtx.Stations.Kol_KP, 0, kMaxKp)) {
                *known = false;
                return;
            }
            TApiSources sources;
            sources.Polling = FPolling.Polling();
            sources.Diagnostics = [this](int n) -> const TLinkDiagnostics* {
                return FPolling.Diagnostics(n);
            };
            sources.Received = [this](size_t i) { return ReceivedAt(i); };
            *snap = TakeApiSnapshot(FPolling.WebView(), sources, FCtx.Clock.Now(), values, kp);
        });
        if (!ran) {
            Refuse(response, 503, "busy");
            return true;
        }
        if (!*known) {
            Refuse(response, 404, "no such station");
            return true;
        }
        if (page) {
            std::string out;
            AddPageHeader("/stations.php", out);
            out += "<meta http-equiv=\"refresh\" content=\"5\">\r\n";
            AddStationsTable(*snap, out);
            AddPageFooter(out);
            Answer(response, 200, kHtmlType, Utf8ToCp1251(out));
        } else {
            Answer(response, 200, kJsonType,
                   stations ? FormatStationsJson(*snap) : FormatValuesJson(*snap));
        }
        return true;
    }
    if (path == "/api/v1/events") {
        auto stream = std::make_shared<THttpStream>(kEventQueueOctets);
        {
            std::lock_guard<std::mutex> lock(FMu);
            std::erase_if(FEventStreams, [](const auto& s) { return s->Detached(); });
            if (static_cast<int>(FEventStreams.size()) >= kMaxEventStreams) {
                Refuse(response, 503, "too many event streams");
                return true;
            }
            FEventStreams.push_back(stream);
        }
        stream->Push("retry: 2000\n\n");
        response.status = 200;
        response.stream = std::move(stream);
        return true;
    }
    if (path == "/monitor.php" || path == "/api/v1/monitor") {
        std::string query = request.query;
        if (query.starts_with("p_ti=")) query.clear();
        const int kp = QueryKp(request.query);
        auto name = std::make_shared<std::string>();
        auto known = std::make_shared<bool>(false);
        if (kp > 0 && !FDispatch.RunOnMain([this, kp, name, known] {
                if (kp <= std::clamp<int>(FCtx.Stations.Kol_KP, 0, kMaxKp)) {
                    *known = true;
                    *name = FCtx.Stations.KP_arr[kp].NameKP;
                }
            })) {
            Refuse(response, 503, "busy");
            return true;
        }
        if (!*known) {
            Refuse(response, 404, "no such station (monitor.php?kp=N)");
            return true;
        }
        if (path == "/monitor.php") {
            Answer(response, 200, kHtmlType, Utf8ToCp1251(MonitorPage(kp, *name)));
            return true;
        }
        auto stream = std::make_shared<THttpStream>(kMonitorQueueOctets);
        auto layout = std::make_shared<TFrameLayout>();
        FDispatch.RunOnMain([this, kp, layout] {
            if (const TLinkDiagnostics* d = FPolling.Diagnostics(kp)) *layout = d->Layout;
        });
        // The catalogue is built at start and only read afterwards.
        const TTypeIdentList* types = &FCtx.TypeIdentList;
        stream->SetRender([layout, types](std::string_view queued) {
            return RenderMonitorRecords(queued, *layout, types);
        });
        {
            std::lock_guard<std::mutex> lock(FMu);
            std::erase_if(FViewers, [](const TViewer& v) { return v.stream->Detached(); });
            if (static_cast<int>(FViewers.size()) >= kMaxMonitorViewers) {
                Refuse(response, 503, "at most 4 monitor viewers");
                return true;
            }
            FViewers.push_back(TViewer{kp, stream});
        }
        // The tap goes on now rather than at the next publication pass.
        FDispatch.RunOnMain([this] { UpdateTaps(); });
        response.status = 200;
        response.stream = std::move(stream);
        return true;
    }
    return false;
}

}  // namespace telegate
