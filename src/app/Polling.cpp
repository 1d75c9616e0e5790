#include "app/Polling.h"

#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <utility>

#include "app/AppContext.h"
#include "app/Diagnostics.h"
#include "app/OperatorReport.h"
#include "model/ConfigFile.h"
#include "opc/Core.h"
#include "support/FileNames.h"
#include "support/TraceFiles.h"
#include "web/WebServer.h"

namespace telegate {

namespace {
// Periodic general interrogation, counted on the monotonic clock: a change of the
// wall clock (daylight saving, the operator) neither delays nor hastens it.
constexpr int64_t kOprosPeriodMs = 60000;
constexpr const char* kRestartAdvice =
    "Желательно полностью перезапустить программу, чтобы изменения вступили в силу!";
}  // namespace

// One start of polling: its workers, clients and controllers.
struct TPolling::TRun {
    std::vector<std::shared_ptr<Toprosdevice>> workers;  // index n - 1
    std::vector<std::shared_ptr<T104Client>> clients;    // kept alive for late reports
    std::vector<std::unique_ptr<TClient104Frm>> controllers;
    std::unique_ptr<TRunEvents> events;
    // Reads every station that sends now and then, so that its thread sleeps.
    std::shared_ptr<TStationPoller> poller;
    // Monotonic ms of the last connection or periodic request per station (index
    // n - 1); -1 while the station has never been connected.
    std::vector<int64_t> lastOprosMs;
    bool active = true;
};

// The events the workers of one run report to: they reach the run they belong to,
// whether or not it is still the current one.
class TPolling::TRunEvents : public IWorkerEvents {
  public:
    TRunEvents(TPolling& owner, TRun& run) : owner_(owner), run_(run) {}
    void On_Connect_Main(int nom_th) override { owner_.HandleConnect(run_, nom_th); }
    void On_DisConnect_Main(int nom_th, TDisconnectReason why) override {
        owner_.HandleDisconnect(run_, nom_th, why);
    }
    void On_ConnectFailed_Main(int nom_th) override { owner_.HandleConnectFailed(run_, nom_th); }
    void On_Read_Main(int nom_th, const std::string& str_read, const std::string& host,
                      int port) override {
        owner_.HandleRead(run_, nom_th, str_read, host, port);
    }
    void On_Batch_Main(int nom_th, const TMainBatch& batch) override {
        owner_.HandleBatch(run_, nom_th, batch);
    }

  private:
    TPolling& owner_;
    TRun& run_;
};

TPolling::TPolling(TAppContext& ctx, IMainLoop& loop, TPollingOptions options, TPollingView view)
    : ctx_(ctx),
      loop_(loop),
      opt_(std::move(options)),
      view_(std::move(view)),
      publisher_(ctx),
      traceOn_(std::make_shared<std::atomic<bool>>(ctx.Settings.Save_Obmen_v_File)),
      linkTraceOn_(std::make_shared<std::atomic<bool>>(false)),
      journalMask_(std::make_shared<std::atomic<uint32_t>>(ctx.MessBuff.MBufFlag)) {
    clients_ = std::make_unique<TClients104>(
        kMaxClients, TLinkEnv{ctx_.Clock, ctx_.MessBuff, ctx_.TypeIdentList, opt_.Dir}, ctx_.Prmn);
    for (int i = 0; i < kMaxClients; ++i)
        diag_.push_back(std::make_unique<TLinkDiagnostics>(ctx_.Clock));
    web_ = std::make_unique<TWebServer>(
        opt_.WebFolder, [this] { return WebView(); },
        [this](std::function<void()> fn) {
            loop_.post(std::move(fn));
            return true;
        },
        opt_.WebLimits);
    diagnostics_ = std::make_unique<TDiagnostics>(ctx_, *this, web_->Dispatch(), opt_.Dir);
    timerCommand_ = loop_.addTimer(kTimerCommandMs, [this] { TimerCommandTick(); });
    timerShow_ = loop_.addTimer(kTimerShowMs, [this] { TimerShowTick(); });
    timerOutGrid_ = loop_.addTimer(kTimerOutGridMs, [this] { TimeroutgridTick(); });
    timer_ = loop_.addTimer(kTimerMs, [this] { TimerTick(); });
    loop_.startTimer(timer_);
    // OPC clients' writes of two-state items become telecontrol commands here.
    ctx_.SetTelecontrol([this](int32_t tag, TTUCommand command) { return StartTU(tag, command); });
}

TPolling::~TPolling() {
    ctx_.SetTelecontrol({});
    for (IMainLoop::TimerId id : {timerCommand_, timerShow_, timerOutGrid_, timer_})
        loop_.removeTimer(id);
    if (web_ != nullptr) web_->Deactivate();
    for (auto& run : runs_)
        if (run->poller != nullptr) {
            run->poller->Stop();
            run->poller->Join();
        }
    for (auto& run : runs_)
        for (auto& w : run->workers)
            if (w != nullptr) w->Terminate();
    // Every worker's last report runs on the loop or, once it has quit, is dropped.
    for (auto& run : runs_)
        for (auto& w : run->workers)
            if (w != nullptr) w->Join();
    diagnostics_.reset();
    web_.reset();
}

bool TPolling::LinkTrace() const {
    return ctx_.Settings.Save_Obmen_v_File && !ctx_.Settings.Trace_Decoded;
}

std::string TPolling::FilePath(const char* name) const {
    return opt_.Dir.empty() ? std::string(name) : JoinPath(opt_.Dir, name);
}

void TPolling::Log(const std::string& text) const {
    if (opt_.Log) opt_.Log(text);
}

// ------------------------------------------------------------------ start, stop

void TPolling::Begin_Opros() {
    if (view_.PollStateChanged) view_.PollStateChanged(ctx_.OprosFlag);
    if (ctx_.OprosFlag) {
        if (!Start_IEC104() && view_.PollStateChanged) view_.PollStateChanged(false);
    } else {
        Stop_IEC104();
    }
}

void TPolling::ButtonStartStop() {
    ctx_.OprosFlag = !ctx_.OprosFlag;
    Begin_Opros();
    if (ctx_.OprosFlag) {
        if (view_.ShowFirstStation) view_.ShowFirstStation();
        ctx_.Notifier.ShowMessage(kRestartAdvice);
    }
}

bool TPolling::Start_IEC104() {
    if (polling_) Stop_IEC104();
    PruneFinishedRuns();
    lastError_.clear();
    // 1. An empty station registry.
    publisher_.Registries().KpList.Clear();
    // 2. The configuration as stored on disk.
    // Polling goes on with the stations read before a bad line; the operator is told.
    LoadStationConfig(ctx_, FilePath(kConfigFileName), FilePath(kExceptionLogName));
    // The OPC address space, and with it every station's item identifiers, from
    // the table just read: built here, before the first publication and before any
    // client can read, rather than when the first client connects. Built once per
    // process; later starts keep the identifiers.
    ctx_.BuildOpcAddressSpace();
    // 3. Clients, workers and controllers.
    CreateClients();
    everStarted_ = true;
    // 4. The station list file.
    std::string why;
    if (!CreateStationListFile(
            FilePath(kStationListFileName), ctx_.Stations, [this](int n) { return StationPort(n); },
            &why))
        Log("zzz.dat: " + why);
    // 5, 6. Category lists, a new tag list, the registries and the tags.
    publisher_.NewTagList();
    lastError_ = publisher_.LoadData(opt_.Dir);
    polling_ = true;
    if (!lastError_.empty()) {
        Log("polling not started: " + lastError_);
        Stop_IEC104();
        ctx_.OprosFlag = false;
        return false;
    }
    TTagSignalList* tags = publisher_.Tags();
    const TChannelScope scope{&publisher_.Registries().KpList, &publisher_.Registries().ArmSignals,
                              tags};
    for (auto& cl : current_->clients) cl->SetTagList(tags);
    for (auto& c : current_->controllers) c->scope = scope;
    // 7 was done by CreateClients. 8. The polling timers.
    loop_.startTimer(timerShow_);
    loop_.startTimer(timerCommand_);
    loop_.startTimer(timerOutGrid_);
    // 9. Every item is handed to OPC again.
    ctx_.Items.SetFirstOprosAll();
    // 10. The first station.
    if (view_.ShowFirstStation) view_.ShowFirstStation();
    // 11. The web server.
    StartWeb();
    return true;
}

void TPolling::LoadPrmnRecords() {
    const std::string bin = FilePath(kPrmnFileName);
    // Read aside: a damaged file must not leave some of its fields in use.
    auto table = std::make_unique<TPrmnTable>(ctx_.Prmn);
    std::string problem;
    if (ReadWritePrmnFile(pfm_Read, bin, *table, kPrmnCount, &problem)) {
        ctx_.Prmn = *table;
        reportedPrmnProblem_.clear();
        return;
    }
    for (TPrmn& rec : ctx_.Prmn) {
        rec = TPrmn{};
        SetDefaultPrmn(rec, "127.0.0.1", 2404);
    }
    // A missing file is the normal first start; one that is there but cannot be
    // used is reported, once until it changes. It is written again only when the
    // operator saves station parameters.
    std::error_code ec;
    if (!std::filesystem::exists(Utf8Path(bin), ec) && !ec) {
        reportedPrmnProblem_.clear();
        return;
    }
    if (problem == reportedPrmnProblem_) return;
    reportedPrmnProblem_ = problem;
    ReportToOperator(ctx_, FilePath(kExceptionLogName),
                     {problem + "; станции опрашиваются с параметрами по умолчанию, файл не "
                                "перезаписывается, пока оператор не сохранит параметры"},
                     "telegate::EPrmnFile");
}

void TPolling::CreateClients() {
    // 1. The connection parameter records.
    LoadPrmnRecords();
    const int count = ctx_.Stations.Kol_KP;
    // 2. Records of unconfigured stations do not work.
    if (count <= kKPRecords)
        for (int i = count < 0 ? 0 : count; i <= kKPRecords && i < kPrmnCount; ++i)
            ctx_.Prmn[static_cast<size_t>(i)].prWork1 = 0;

    runs_.push_back(std::make_unique<TRun>());
    TRun& run = *runs_.back();
    run.events = std::make_unique<TRunEvents>(*this, run);
    current_ = &run;
    clients_->prOprosSend = ctx_.Settings.prOprosSend;
    traceOn_->store(ctx_.Settings.Save_Obmen_v_File);

    // 3. One worker and one client per station.
    threadCount_ = 0;
    for (int n = 1; n <= count && n <= kKPRecords && clients_->GetCount() < kMaxClients; ++n) {
        const TPrmn& rec = ctx_.Prmn[static_cast<size_t>(n - 1)];
        ++threadCount_;
        const std::shared_ptr<std::atomic<bool>> traceOn = traceOn_;
        TWorkerTrace trace{[traceOn] { return traceOn->load(); }, opt_.Dir};
        auto worker =
            std::make_shared<Toprosdevice>(n, rec.Host, StationPort(n), StationT0(n), loop_,
                                           *run.events, ctx_.Clock, trace, opt_.WorkerTimings);
        run.workers.push_back(worker);
        PClientSocket psock;
        psock.Nomer_Thread = n;
        psock.oprosdevice2 = worker;
        auto client = clients_->AddClient(psock);
        if (client != nullptr) run.clients.push_back(client);
    }
    // 4. Every client works with its own record and connects by itself.
    for (int n = 1; n <= static_cast<int>(run.clients.size()); ++n) {
        TPrmn& rec = ctx_.Prmn[static_cast<size_t>(n - 1)];
        T104Client& cl = *run.clients[static_cast<size_t>(n - 1)];
        cl.prm = rec;
        // Reconnections go where the first connection went.
        cl.prm.Port = StationPort(n);
        cl.FIpPort = FormatPeer(cl.prm.Host, cl.prm.Port);
        TLinkDiagnostics& diag = *diag_[static_cast<size_t>(n - 1)];
        diag.Reset();
        diag.Layout = TFrameLayout{cl.prm.sz_COT, cl.prm.sz_ASDUAddress, cl.prm.sz_InfObjAddress};
        cl.Diag = &diag;
        rec.prWork1 = 1;
        cl.setWork(true);
        cl.ClSFlag.Op(FSet, bclb_AutoConnect);
    }
    // The link layer of every station runs on its worker's thread, beside the
    // socket; then the workers start.
    const std::shared_ptr<std::atomic<bool>> linkTrace = linkTraceOn_;
    const std::shared_ptr<std::atomic<uint32_t>> mask = journalMask_;
    linkTraceOn_->store(LinkTrace());
    journalMask_->store(ctx_.MessBuff.MBufFlag);
    run.poller = std::make_shared<TStationPoller>();
    for (size_t i = 0; i < run.workers.size(); ++i) {
        if (i < run.clients.size())
            RunLinkOnWorker(*run.workers[i], *run.clients[i],
                            TLinkEnv{ctx_.Clock, ctx_.MessBuff, ctx_.TypeIdentList, opt_.Dir},
                            TWorkerLinkSettings{[linkTrace] { return linkTrace->load(); },
                                                [mask] { return mask->load(); }});
        run.poller->Add(run.workers[i]);
    }
    for (auto& w : run.workers) w->Start();
    run.poller->Start();
    // 5. The channel controllers; their auto-connect choice overrides step 4.
    for (int k = 0; k < static_cast<int>(run.clients.size()) && k < kMaxChannels; ++k) {
        const int area = k < 5 ? k : 5;  // channels 7 and higher share channel 6's area
        const bool autoConnect = k == 0 ? true : ctx_.Settings.AutoConnectChoice(k + 1);
        run.controllers.push_back(std::make_unique<TClient104Frm>(
            run.clients[static_cast<size_t>(k)], 5, area * 20 + 5, autoConnect));
    }
}

void TPolling::Stop_IEC104() {
    // 1. Timers.
    loop_.stopTimer(timerShow_);
    loop_.stopTimer(timerCommand_);
    loop_.stopTimer(timerOutGrid_);
    // 2. Workers end by themselves; each reports its disconnection.
    if (current_ != nullptr) {
        // The poller never waits for this thread: it ends at once.
        if (current_->poller != nullptr) {
            current_->poller->Stop();
            current_->poller->Join();
        }
        for (auto& w : current_->workers) w->Terminate();
        current_->active = false;
        // 3. The controllers go; the clients stay alive for the late reports but are
        // no longer served and no longer store into the tag list.
        current_->controllers.clear();
        for (auto& cl : current_->clients) cl->SetTagList(nullptr);
        current_ = nullptr;
    }
    threadCount_ = 0;
    try {
        clients_->DelClient();
        publisher_.Registries().KpList.Clear();
    } catch (...) {
    }
    polling_ = false;
    // 4. The web server.
    StopWeb();
}

void TPolling::PruneFinishedRuns() {
    for (auto it = runs_.begin(); it != runs_.end();) {
        bool done = !(*it)->active;
        for (auto& w : (*it)->workers) done = done && w->Finished();
        if (done) {
            for (auto& w : (*it)->workers) w->Join();
            it = runs_.erase(it);
        } else {
            ++it;
        }
    }
}

void TPolling::StartWeb() {
    if (!ctx_.Settings.UseWebServer) return;
    try {
        std::string error;
        const int port = TSettings::PortBits(ctx_.Settings.Port_WebServ);
        const std::string address =
            opt_.WebBindAddress.empty() ? ctx_.Settings.WebBindAddress() : opt_.WebBindAddress;
        if (!web_->Activate(port, &error, address))
            ReportWebNotStarted("порт " + std::to_string(port) + ": " + error);
    } catch (const std::exception& e) {
        ReportWebNotStarted(e.what());
    }
}

// Polling runs on without the web server; the operator learns why and where the
// port is chosen.
void TPolling::ReportWebNotStarted(const std::string& why) {
    ReportToOperator(
        ctx_, FilePath(kExceptionLogName),
        {"Веб-сервер не запущен (" + why + "); порт задаётся ключом Port_WebServ в cnf.ini"},
        "telegate::EWebServer");
}

void TPolling::StopWeb() {
    if (!ctx_.Settings.UseWebServer && !web_->Active()) return;
    try {
        web_->Deactivate();
    } catch (...) {
    }
}

// ------------------------------------------------------------------ parameters

int32_t TPolling::StationPort(int n) const {
    if (n < 1 || n > kPrmnCount) return 0;
    const int32_t port = ctx_.Prmn[static_cast<size_t>(n - 1)].Port;
    if (port != 0 || n > kKPRecords) return port;
    return ctx_.Stations.KP_arr[n].Port;
}

int32_t TPolling::StationT0(int n) const {
    if (n < 1 || n > kPrmnCount) return kDefaultT0;
    const int32_t t0 = ctx_.Prmn[static_cast<size_t>(n - 1)].t0;
    return t0 != 0 ? t0 : kDefaultT0;
}

std::shared_ptr<Toprosdevice> TPolling::Worker(int n) const {
    if (current_ == nullptr || n < 1 || n > static_cast<int>(current_->workers.size())) return {};
    return current_->workers[static_cast<size_t>(n - 1)];
}

TClient104Frm* TPolling::Controller(int n) const {
    if (current_ == nullptr || n < 1 || n > static_cast<int>(current_->controllers.size()))
        return nullptr;
    return current_->controllers[static_cast<size_t>(n - 1)].get();
}

bool TPolling::WorkersFinished() const {
    for (auto& run : runs_)
        for (auto& w : run->workers)
            if (!w->Finished()) return false;
    return true;
}

TWebView TPolling::WebView() const {
    const TPublisher& pub = publisher_;
    return TWebView{ctx_.Stations, pub.Tags(), &pub.Registries().ArmSignals,
                    everStarted_ ? clients_.get() : nullptr};
}

IMainLoop::TimerId TPolling::TimerId(int intervalMs) const {
    switch (intervalMs) {
        case kTimerCommandMs:
            return timerCommand_;
        case kTimerShowMs:
            return timerShow_;
        case kTimerOutGridMs:
            return timerOutGrid_;
        case kTimerMs:
            return timer_;
        default:
            return 0;
    }
}

// ------------------------------------------------------------------ worker events

void TPolling::On_Connect_Main(int nom_th) {
    if (current_ != nullptr) HandleConnect(*current_, nom_th);
}

void TPolling::On_DisConnect_Main(int nom_th, TDisconnectReason why) {
    if (current_ != nullptr) HandleDisconnect(*current_, nom_th, why);
}

void TPolling::On_ConnectFailed_Main(int nom_th) {
    if (current_ != nullptr) HandleConnectFailed(*current_, nom_th);
}

void TPolling::On_Read_Main(int nom_th, const std::string& str_read, const std::string& host,
                            int port) {
    if (current_ != nullptr) HandleRead(*current_, nom_th, str_read, host, port);
}

void TPolling::HandleConnect(TRun& run, int n) {
    if (n < 1 || n > static_cast<int>(run.workers.size())) return;
    const std::string host = run.workers[static_cast<size_t>(n - 1)]->Host();
    const TDateTime now = ctx_.Clock.Now();
    ctx_.MessBuff.Put(kJournalIec5, "  __(3)__OnConnect " + host, now);
    // A loss the display pass has not handled yet still marks the tags before the
    // new connection clears the link flags.
    if (run.active && n <= static_cast<int>(run.controllers.size()))
        run.controllers[static_cast<size_t>(n - 1)]->CheckValid1(false);
    if (n <= static_cast<int>(run.clients.size()))
        run.clients[static_cast<size_t>(n - 1)]->DoOnConnect();
    if (&run == current_) diag_[static_cast<size_t>(n - 1)]->OnConnected();
    if (ctx_.Stations.IsStation(n)) {
        ctx_.Stations.KP_arr[n].Connected = true;
        ctx_.Stations.KP_arr[n].Last_opros_KP_Time = now;
    }
    if (run.lastOprosMs.size() < static_cast<size_t>(n)) run.lastOprosMs.resize(n, -1);
    run.lastOprosMs[static_cast<size_t>(n - 1)] = ctx_.Clock.MonotonicMs();
    if (ctx_.Settings.Save_Obmen_v_File)
        AppendTraceLine(" Connect - _" + host,
                        FilePath(("Socket" + std::to_string(n - 1) + ".txt").c_str()));
}

void TPolling::HandleConnectFailed(TRun& run, int n) {
    if (&run != current_ || n < 1 || n > static_cast<int>(diag_.size())) return;
    diag_[static_cast<size_t>(n - 1)]->OnConnectFailed();
}

void TPolling::HandleDisconnect(TRun& run, int n, TDisconnectReason why) {
    if (n < 1 || n > static_cast<int>(run.workers.size())) return;
    const std::string host = run.workers[static_cast<size_t>(n - 1)]->Host();
    ctx_.MessBuff.Put(kJournalIec5, " ");
    ctx_.MessBuff.Put(kJournalIec5,
                      "  __(4)__ <!><!><!> OnDisconnect() <!><!><!> Соединение разрывается:" + host,
                      ctx_.Clock.Now());
    if (n <= static_cast<int>(run.clients.size()))
        run.clients[static_cast<size_t>(n - 1)]->flag.Op(FSet, bsb_CallDoDisconnect);
    // A stopped run's last report counts only until the next run has begun.
    if (&run == current_ || (!run.active && current_ == nullptr))
        diag_[static_cast<size_t>(n - 1)]->OnDisconnected(run.active ? why
                                                                     : TDisconnectReason::OperatorStop);
    if (ctx_.Stations.IsStation(n)) ctx_.Stations.KP_arr[n].Connected = false;
    if (ctx_.Settings.Save_Obmen_v_File)
        AppendTraceLine(" DisConnect - _" + host,
                        FilePath(("Socket" + std::to_string(n - 1) + ".txt").c_str()));
}

void TPolling::On_Batch_Main(int nom_th, const TMainBatch& batch) {
    if (current_ != nullptr) HandleBatch(*current_, nom_th, batch);
}

void TPolling::HandleBatch(TRun& run, int n, const TMainBatch& batch) {
    // A stopped run's clients are no longer served: what they still read is dropped.
    if (!run.active || n < 1 || n > static_cast<int>(run.controllers.size())) return;
    run.controllers[static_cast<size_t>(n - 1)]->OnBatch(batch, LinkTrace(), n - 1);
}

void TPolling::HandleRead(TRun& run, int n, const std::string& data, const std::string& host,
                          int port) {
    // A stopped run's clients are no longer served: what they still read is dropped.
    if (!run.active || n < 1 || n > static_cast<int>(run.controllers.size())) return;
    PSocket_temp sock;
    sock.ReceiveBuf_str = data;
    sock.RemoteAddress = host;
    sock.RemotePort = port;
    run.controllers[static_cast<size_t>(n - 1)]->OnReceive(sock, LinkTrace(), n - 1);
}

// ------------------------------------------------------------------ timers

void TPolling::DrainJournal() {
    // A negative choice of the debug view's line count stops the draining.
    if (ctx_.Settings.IndexReOutDeb < 0) return;
    std::string line;
    TDateTime dt = 0;
    while (ctx_.MessBuff.Get(line, dt))
        if (view_.JournalLine) view_.JournalLine(line, dt);
}

void TPolling::TimerCommandTick() {
    if (current_ == nullptr) return;
    const bool save = LinkTrace();
    traceOn_->store(ctx_.Settings.Save_Obmen_v_File);
    linkTraceOn_->store(save);
    journalMask_->store(ctx_.MessBuff.MBufFlag);
    // What the stations sent that did not wake this thread.
    for (auto& w : current_->workers) w->TakeQueued();
    // 1. Periodic general interrogation, once a minute from the last connection or request.
    const int64_t mono = ctx_.Clock.MonotonicMs();
    std::vector<int64_t>& last = current_->lastOprosMs;
    for (int k = 0; k < clients_->GetCount() && k < static_cast<int>(last.size()); ++k) {
        if (!ctx_.Stations.IsStation(k + 1)) continue;
        T_KP& kp = ctx_.Stations.KP_arr[k + 1];
        int64_t& lastMs = last[static_cast<size_t>(k)];
        if (kp.OPROS_KP > 0 && lastMs >= 0 && mono - lastMs > kOprosPeriodMs) {
            clients_->GetPcl(k)->OprosDue();
            lastMs = mono;
            kp.Last_opros_KP_Time = ctx_.Clock.Now();
        }
    }
    // 2. Connection management. 3. Channel service.
    clients_->Connecting(save, 100);
    for (size_t k = 0; k < current_->controllers.size(); ++k)
        current_->controllers[k]->DoService(save, static_cast<int>(k));
    // 4. The journal.
    DrainJournal();
}

void TPolling::TimerShowTick() {
    if (current_ == nullptr) return;
    const bool save = LinkTrace();
    // The freshest values for the publication below.
    for (auto& w : current_->workers) w->TakeQueued();
    DrainJournal();
    // 2. Change marks.
    if (TTagSignalList* tags = publisher_.Tags()) {
        TTagSignal* tag = nullptr;
        while (tags->GetChangedTag(tag)) {
        }
    }
    // Tags of a station whose link was lost are marked before they are published,
    // so the loss reaches the item image in this pass.
    for (auto& c : current_->controllers) c->CheckValid1(false);
    // 3. Publication.
    publisher_.OutOPCTsTit(false);
    diagnostics_->Publish();  // change times and events, link events, monitor taps
    // 4. Channel service, LEDs, validity.
    for (size_t k = 0; k < current_->controllers.size(); ++k) {
        TClient104Frm& c = *current_->controllers[k];
        c.DoService(save, static_cast<int>(k));
        c.ShowLed();
        c.CheckValid1(false);
    }
    DrainJournal();
    // 6. Substations that changed.
    bool changed = false;
    TSstList& sst = publisher_.Registries().SstList;
    for (int32_t i = 1; i <= sst.Kol_Sst; ++i) {
        TSst* s = sst.GetSst(i);
        if (s != nullptr && s->flss.Op(FYes, bflssChanged)) {
            s->flss.Op(FClear, bflssChanged);
            changed = true;
        }
    }
    if (changed && view_.SubstationsChanged) view_.SubstationsChanged();
}

void TPolling::TimeroutgridTick() {
    if (view_.RefreshGrid) view_.RefreshGrid();
}

void TPolling::TimerTick() {
    ctx_.Opc->SetPollingRunning(polling_);  // the server state OPC clients see
    opcServers_ = ctx_.Opc->GetServerCount();
    opcGroups_ = ctx_.Opc->GetGroupCount();
    if (view_.ShowCounters) view_.ShowCounters();
}

// ------------------------------------------------------------------ telecontrol

bool TPolling::ExecuteTU(int ind, TTUCommand TUCommand) {
    const TTuOutcome o = StartTU(ind, TUCommand)->Outcome();
    return o == tuo_Pending || o == tuo_Confirmed;
}

std::shared_ptr<TCommandResult> TPolling::StartTU(int ind, TTUCommand TUCommand) {
    std::shared_ptr<TCommandResult> result;
    auto run = [&] {
        if (!polling_) return;
        result = TCommandResult::Refused(tuo_NotOperable);
        TTagSignalList* tags = publisher_.Tags();
        if (tags == nullptr) return;
        const TTagSignal* tag = tags->GetTag(ind);
        if (tag == nullptr) return;
        TRegistries& reg = publisher_.Registries();
        const TArmRec* rec = reg.ArmSignals.GetRec(tag->FIndArm);
        if (rec == nullptr || !rec->GetprTU()) return;
        const TKpEthernet* kp = reg.KpList.FindKP_KpID(rec->FKpID);
        if (kp == nullptr) return;
        T104Client* cl = clients_->Find(kp->IPAddress, kp->Port);
        if (cl == nullptr) return;
        if (!cl->GetConnected()) {
            result = TCommandResult::Refused(tuo_NotConnected);
            return;
        }
        if (cl->ElemTU.Busy()) {
            result = TCommandResult::Refused(tuo_Busy);
            return;
        }
        result = std::make_shared<TCommandResult>();
        cl->ElemTU.fl.Reset();
        cl->ElemTU.Init(TUCommand, rec->FCtrlASDUAddr, rec->FCtrlObjAddr, cl->prm, true, result);
        // The select goes to the station's thread now, not at the next service pass.
        if (cl->GetWork()) cl->TuService1();
    };
    if (!loop_.invokeAndWait(run) || result == nullptr)
        return TCommandResult::Refused(tuo_NotPolling);
    return result;
}

}  // namespace telegate
