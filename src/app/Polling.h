// Polling of the configured stations: starting and stopping it, one station client,
// worker thread and channel controller per station, the worker events on the main
// thread, the four timers of the main thread, periodic general interrogation,
// telecontrol entry, publication into the item image and the web server.
//
// Runs: every start builds new clients, workers and controllers (a "run"); a stop
// terminates the run's workers without waiting. The clients of a stopped run stay
// alive (shared ownership) until its workers have finished, so their late
// disconnect reports still reach them and mark their stations disconnected. Data a
// worker of a stopped run still reads is dropped.
//
// Threads: everything runs on the main thread of the loop, except each station's
// link layer (framing, acknowledgements, link timers), which runs on its worker's
// thread and hands the frames over in batches, and ExecuteTU, which may be called
// from any thread (it runs on the main thread through
// invokeAndWait). Destroy the object only when the loop has quit or nothing else
// waits on it: the destructor terminates every worker and waits for it, and a
// worker's last report needs the loop (a quit loop drops it).
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/Publish.h"
#include "iec104/ChannelController.h"
#include "iec104/ClientList.h"
#include "iec104/CommandResult.h"
#include "iec104/LinkStatistics.h"
#include "iec104/StationLink.h"
#include "iec104/StationWorker.h"
#include "iec104/WorkerLink.h"
#include "iec104/TuTypes.h"
#include "platform/HttpServer.h"
#include "platform/MainLoop.h"
#include "web/WebPages.h"

namespace telegate {

class TAppContext;
class TWebServer;
class TDiagnostics;

// Timer intervals, ms.
constexpr int kTimerCommandMs = 50;
constexpr int kTimerShowMs = 200;
constexpr int kTimerOutGridMs = 1000;
constexpr int kTimerMs = 500;
// Silence limit of a worker whose parameter record gives none.
constexpr int kDefaultT0 = 30000;
// Channel controllers are created for at most this many clients.
constexpr int kMaxChannels = 32;
constexpr int kMaxClients = 64;

// What the operator interface shows of polling; every member may be empty. All
// calls come on the main thread.
struct TPollingView {
    // Polling started (true) or stopped: button caption, station editing commands.
    std::function<void(bool polling)> PollStateChanged;
    // A journal line for the debug view.
    std::function<void(const std::string& line, TDateTime dt)> JournalLine;
    // Select the first station of the device list and show it.
    std::function<void()> ShowFirstStation;
    // Timeroutgrid: refresh the value columns of the selected station.
    std::function<void()> RefreshGrid;
    // A substation changed its flags: refill the substation selector.
    std::function<void()> SubstationsChanged;
    // Timer (500 ms): the OPC object counters.
    std::function<void()> ShowCounters;
};

struct TPollingOptions {
    // Folder of "iec104.cfg", "iec104sr.bin", "zzz.dat" and the trace files; empty
    // is the working directory (the executable's, in the running program).
    std::string Dir;
    // The "web" folder served by the web server.
    std::filesystem::path WebFolder = "web";
    // The address the web server listens on; empty: the "Bind_WebServ" setting.
    std::string WebBindAddress;
    THttpServerLimits WebLimits;
    TWorkerTimings WorkerTimings;
    // Where problems that polling otherwise swallows are logged (headless: stderr).
    std::function<void(const std::string&)> Log;
};

class TPolling : public IWorkerEvents {
  public:
    // ctx and loop must outlive the object. The 500 ms timer starts now; the
    // three polling timers start with polling.
    TPolling(TAppContext& ctx, IMainLoop& loop, TPollingOptions options = {},
             TPollingView view = {});
    ~TPolling() override;
    TPolling(const TPolling&) = delete;
    TPolling& operator=(const TPolling&) = delete;

    // Applies ctx.OprosFlag: starts polling when it is true, stops it otherwise.
    void Begin_Opros();
    // The operator's start/stop button: inverts the flag and applies it; after a
    // start the first station is shown and the operator advised to restart.
    void ButtonStartStop();

    // Starts polling; false (the flag cleared, everything of the run undone) when the
    // registries could not be built. LastError() tells why.
    bool Start_IEC104();
    void Stop_IEC104();
    // Reads "iec104sr.bin" and creates the clients, workers and controllers.
    void CreateClients();

    // Worker events of the current run (main thread).
    void On_Connect_Main(int nom_th) override;
    void On_DisConnect_Main(int nom_th, TDisconnectReason why) override;
    void On_ConnectFailed_Main(int nom_th) override;
    void On_Read_Main(int nom_th, const std::string& str_read, const std::string& host,
                      int port) override;
    void On_Batch_Main(int nom_th, const TMainBatch& batch) override;

    // Starts a select-before-operate command for tag ind of the tag list. Any
    // thread. False when nothing was started (no such tag, the tag cannot be
    // operated, its station or client is unknown, the loop is gone).
    bool ExecuteTU(int ind, TTUCommand TUCommand);
    // The same, with the command's result: refused at once (why nothing was
    // started), or pending until the station confirms or rejects it.
    std::shared_ptr<TCommandResult> StartTU(int ind, TTUCommand TUCommand);

    // The work of one tick of each timer (the timers call these).
    void TimerCommandTick();
    void TimerShowTick();
    void TimeroutgridTick();
    void TimerTick();

    // The OPC counters as the 500 ms timer last took them from the core: server
    // objects (connected clients) and their groups.
    int32_t OpcServerCount() const { return opcServers_; }
    int32_t OpcGroupCount() const { return opcGroups_; }

    bool Polling() const { return polling_; }
    const std::string& LastError() const { return lastError_; }
    // The effective port of station n: its record's port, or the station table's
    // when the record gives 0.
    int32_t StationPort(int n) const;
    // The silence limit of station n's worker: the record's t0, or 30000 when 0.
    int32_t StationT0(int n) const;

    TPublisher& Publisher() { return publisher_; }
    TClients104& Clients() { return *clients_; }
    int32_t ThreadCount() const { return threadCount_; }
    // Worker and controller of station n of the current run (nullptr outside).
    std::shared_ptr<Toprosdevice> Worker(int n) const;
    TClient104Frm* Controller(int n) const;
    // True when every worker of every run, stopped ones included, has finished.
    bool WorkersFinished() const;
    // The view the web pages read; no client list before the first start.
    TWebView WebView() const;
    TWebServer* WebServer() { return web_.get(); }
    TDiagnostics* Diagnostics() { return diagnostics_.get(); }
    // Link statistics and frame tap of station n (1..kMaxClients); reset when
    // polling starts. Main thread.
    TLinkDiagnostics* Diagnostics(int n) const {
        return n >= 1 && n <= static_cast<int>(diag_.size())
                   ? diag_[static_cast<size_t>(n - 1)].get()
                   : nullptr;
    }
    IMainLoop::TimerId TimerId(int intervalMs) const;

  private:
    struct TRun;
    class TRunEvents;
    void HandleConnect(TRun& run, int n);
    void HandleDisconnect(TRun& run, int n, TDisconnectReason why);
    void HandleConnectFailed(TRun& run, int n);
    void HandleRead(TRun& run, int n, const std::string& data, const std::string& host, int port);
    void HandleBatch(TRun& run, int n, const TMainBatch& batch);
    void DrainJournal();
    void StartWeb();
    void StopWeb();
    void ReportWebNotStarted(const std::string& why);
    // The connection parameter records from "iec104sr.bin"; every record fully
    // default when the file is missing or cannot be used (reported).
    void LoadPrmnRecords();
    void Log(const std::string& text) const;
    // The link layer writes its hex trace unless the trace is decoded instead.
    bool LinkTrace() const;
    void PruneFinishedRuns();
    std::string FilePath(const char* name) const;

    TAppContext& ctx_;
    IMainLoop& loop_;
    TPollingOptions opt_;
    TPollingView view_;
    TPublisher publisher_;
    std::unique_ptr<TClients104> clients_;
    std::unique_ptr<TWebServer> web_;
    std::vector<std::unique_ptr<TLinkDiagnostics>> diag_;  // station n at n - 1
    std::shared_ptr<std::atomic<bool>> traceOn_;           // read by the workers' threads
    std::shared_ptr<std::atomic<bool>> linkTraceOn_;       // the link layers' trace, likewise
    std::shared_ptr<std::atomic<uint32_t>> journalMask_;   // the journal mask, likewise
    std::vector<std::unique_ptr<TRun>> runs_;              // the last one is current while polling
    TRun* current_ = nullptr;
    bool everStarted_ = false;
    bool polling_ = false;
    int32_t threadCount_ = 0;
    int32_t opcServers_ = 0, opcGroups_ = 0;
    std::string lastError_;
    std::string reportedPrmnProblem_;  // the parameter file problem last reported
    IMainLoop::TimerId timerCommand_ = 0, timerShow_ = 0, timerOutGrid_ = 0, timer_ = 0;
    // Last: gone before the web server and the statistics it reads.
    std::unique_ptr<TDiagnostics> diagnostics_;
};

}  // namespace telegate
