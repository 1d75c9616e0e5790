// Commissioning and diagnostics on the web server: the JSON API, the station
// statistics page, the live change stream and the protocol monitor, and the
// decoded trace files.
//
//   /api/v1/stations, /api/v1/values[?kp=N], /stations.php   documents (WebApi)
//   /api/v1/events     one event per changed tag and per link state change
//   /monitor.php?kp=N  the page of the protocol monitor; its lines come from
//   /api/v1/monitor?kp=N  (at most kMaxMonitorViewers at once)
//
// Streams get a bounded queue each (THttpStream): a reader that falls behind
// loses events, is told so, and never slows polling. Change events come from
// Publish(), called once per publication pass on the main thread; monitor lines
// are rendered only for stations somebody watches (or whose trace is decoded).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "iec104/FrameText.h"
#include "platform/HttpServer.h"
#include "platform/HttpStream.h"
#include "support/DateTime.h"

namespace telegate {

class TAppContext;
class TPolling;
class TWebDispatch;

class TTypeIdentList;

constexpr int kMaxMonitorViewers = 4;
constexpr size_t kEventQueueOctets = 256 * 1024;
constexpr size_t kMonitorQueueOctets = 64 * 1024;
constexpr int kMaxEventStreams = 16;

// The monitor records queued for a viewer as Server-Sent Events, one line each.
// Any thread.
std::string RenderMonitorRecords(std::string_view queued, const TFrameLayout& layout,
                                 const TTypeIdentList* types);

class TDiagnostics {
  public:
    // Installs its handler on the dispatcher; polling and ctx outlive it.
    // traceDir: folder of the "Socket" trace files.
    TDiagnostics(TAppContext& ctx, TPolling& polling, TWebDispatch& dispatch, std::string traceDir);
    ~TDiagnostics();
    TDiagnostics(const TDiagnostics&) = delete;
    TDiagnostics& operator=(const TDiagnostics&) = delete;

    // Main thread, after each publication pass: change times, change events, link
    // state events, monitor taps switched on and off.
    void Publish();

    // Web worker threads.
    bool Handle(const THttpRequest& request, THttpResponse& response);

    // Streams open now (for tests and figures).
    int EventStreams() const;
    int MonitorViewers() const;

  private:
    struct TViewer {
        int kp = 0;
        std::shared_ptr<THttpStream> stream;
    };
    struct TLast {
        int32_t iValue = 0;
        uint8_t quality = 0;
        double fValue = 0.0;
        TDateTime stamp = 0.0;
    };

    void UpdateTaps();
    void FrameSeen(int kp, TFrameDir dir, std::span<const uint8_t> apdu);
    TDateTime ReceivedAt(size_t tagIndex) const;

    TAppContext& FCtx;
    TPolling& FPolling;
    TWebDispatch& FDispatch;
    std::string FTraceDir;

    // Main thread only.
    const void* FTagsSeen = nullptr;  // the tag list the baseline belongs to
    std::vector<TLast> FLast;
    std::vector<TDateTime> FReceived;
    std::vector<bool> FConnected;
    std::vector<bool> FTapped;

    // Shared with the web workers.
    mutable std::mutex FMu;
    std::vector<std::shared_ptr<THttpStream>> FEventStreams;
    std::vector<TViewer> FViewers;
};

}  // namespace telegate
