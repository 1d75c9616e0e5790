#include "ui/MainWindowPresenter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "model/Registries.h"
#include "model/Tags.h"
#include "platform/TcpClient.h"
#include "support/DateTime.h"
#include "support/TextFields.h"
#include "ui/ChannelPanelPresenter.h"
#include "ui/DevicePropsPresenter.h"

namespace telegate {

const char* const kCloseWithClientsText =
    "К серверу подключены OPC-клиенты. Завершить работу программы?";
const char* const kTraceOnAdvice = "Потом обязательно Выключите запись лог файлов";
const char* const kConnectedYes = "Есть";
const char* const kConnectedNo = "Нет";
const char* const kNotPolled = "Нет опроса";
const char* const kTagNotPolled = "не опрашивается";
const char* const kLostStationMark = "× ";

namespace {

constexpr const char* kTraceOffCaption = "Временно включить запись лог файлов";
constexpr const char* kTraceOffCaptionEn = "Temporalily enable logging";
constexpr const char* kTraceOnCaption = "Выключить запись лог файлов";
constexpr const char* kVersion = "0.1.0";

// "DD.MM.YYYY hh:nn:ss.zzz"
std::string GridDateTime(TDateTime dt) {
    const TDateTimeParts p = DecodeDateTime(dt);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%02d.%02d.%04d %02d:%02d:%02d.%03d", p.day, p.month, p.year,
                  p.hour, p.minute, p.second, p.msec);
    return buf;
}

std::string Fixed3(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3f", v);
    return buf;
}

std::string Addresses(int32_t asdu, int32_t ioa) {
    return std::to_string(asdu) + "," + std::to_string(ioa);
}

}  // namespace

std::string QualityText(uint8_t quality, bool measurement) {
    std::string text = std::to_string(quality);
    static constexpr struct {
        uint8_t bit;
        const char* name;
    } kFlags[] = {{0x80, " IV"}, {0x40, " NT"}, {0x20, " SB"}, {0x10, " BL"}, {0x01, " OV"}};
    for (const auto& f : kFlags) {
        if ((quality & f.bit) == 0) continue;
        if (f.bit == 0x01 && !measurement) continue;
        text += f.name;
    }
    return text;
}

TMainCaptions MainCaptions(int lang, bool polling) {
    TMainCaptions c;
    const bool en = lang == kLangEnglish;
    auto pick = [en](const char* ru, const char* eng) { return std::string(en ? eng : ru); };
    c.Window = kAppTitle;
    c.BtnAdd = pick("Добавить", "Add New");
    c.BtnChange = pick("Изменить", "Change Dev");
    c.BtnDelete = pick("Удалить", "Delete Dev");
    c.BtnPoll =
        polling ? pick("Остановить опрос", "Stop Poll") : pick("Начать опрос", "Start Poll");
    c.MenuFile = pick("Файл", "File");
    c.MenuOpen = pick("Открыть", "Open");
    c.MenuSave = pick("Сохранить", "Save");
    c.MenuExit = pick("Выход", "Exit");
    c.MenuDevice = pick("Устройство", "Device");
    c.MenuAdd = pick("Добавить", "Add new Device");
    c.MenuChange = pick("Изменить параметры", "Change Device");
    c.MenuDelete = pick("Удалить", "Delete Device");
    c.MenuTrace = pick(kTraceOffCaption, kTraceOffCaptionEn);
    c.MenuServer = pick("Сервер", "OPC Server");
    c.MenuRegister = pick("Зарегистрировать", "Register server");
    c.MenuUnregister = pick("Разрегистрировать", "UnRegister server");
    c.MenuHelp = pick("Помощь", "Help");
    c.MenuAbout = pick("О программе", "About Program");
    c.MenuJournal = pick("Журнал", "Journal");
    c.MenuStatistics = pick("Статистика", "Statistics");
    c.TrayRestore = pick("&Восстановить", "Restore");
    c.TrayHide = pick("&Скрыть", "Hide");
    c.TrayExit = pick("В&ыход", "Exit");
    c.LabelClients = "Кол-во клиентов:";
    c.LabelGroups = "Кол-во групп:";
    return c;
}

const std::vector<TOptionEntry>& RefreshPeriodOptions() {
    static const std::vector<TOptionEntry> kList = {
        {"без задержки", 0}, {"1 сек", 1000},   {"2 сек", 2000},   {"3 сек", 3000},
        {"5 сек", 5000},     {"10 сек", 10000}, {"30 сек", 30000}, {"1 мин", 60000}};
    return kList;
}

const std::vector<TOptionEntry>& DebugLineOptions() {
    static const std::vector<TOptionEntry> kList = {{"нет вывода", 0},    {"500 строк", 500},
                                                    {"1000 строк", 1000}, {"2000 строк", 2000},
                                                    {"5000 строк", 5000}, {"10000 строк", 10000}};
    return kList;
}

TMainWindowPresenter::TMainWindowPresenter(TAppContext& ctx, TDeviceList& devices,
                                           IMainWindowApp& app, std::string dir)
    : ctx_(ctx), devices_(devices), app_(app), dir_(std::move(dir)), resolves_(ResolvesToIPv4) {
    captions_ = MainCaptions(ctx_.LangCode, ctx_.OprosFlag);
    traceCaption_ = ctx_.Settings.Save_Obmen_v_File ? kTraceOnCaption : captions_.MenuTrace;
    ClearGrids();
}

void TMainWindowPresenter::Attach(IMainWindowView* view) {
    view_ = view;
    if (view_ == nullptr) return;
    view_->SetCaptions(captions_);
    view_->SetTraceCaption(traceCaption_);
    view_->SetEditCommandsEnabled(!ctx_.OprosFlag);
    PushList();
    PushTray();
    view_->GridChanged(false);
    view_->GridChanged(true);
}

std::string TMainWindowPresenter::CnfPath() const {
    return dir_.empty() ? std::string(kCnfIniName)
                        : (std::filesystem::path(dir_) / kCnfIniName).string();
}

// ------------------------------------------------------------------ start-up

void TMainWindowPresenter::SetLang(int langCode) {
    ctx_.LangCode = langCode;
    captions_ = MainCaptions(langCode, ctx_.OprosFlag);
    if (!ctx_.Settings.Save_Obmen_v_File) traceCaption_ = captions_.MenuTrace;
    if (view_ != nullptr) {
        view_->SetCaptions(captions_);
        view_->SetTraceCaption(traceCaption_);
    }
}

void TMainWindowPresenter::ShowCurrentDir(const std::string& dir) {
    currentDir_ = dir;
    ShowFailures(failures_);
}

void TMainWindowPresenter::AddJournalLine(const std::string& line) {
    journal_.push_back(line);
    while (journal_.size() > kJournalWindowLines) journal_.pop_front();
    if (view_ != nullptr) view_->AppendJournal(line);
}

void TMainWindowPresenter::OnJournal() {
    if (view_ != nullptr) view_->ShowJournal(JournalLines());
}

void TMainWindowPresenter::ShowFailures(const std::string& text) {
    failures_ = text;
    statusText_ = failures_.empty() ? currentDir_ : "Ошибка: " + failures_ + "  |  " + currentDir_;
    if (view_ != nullptr) view_->SetStatusText(statusText_);
}

void TMainWindowPresenter::CreateComboBoxes(const TSettings& settings) {
    if (view_ == nullptr) return;
    auto index = [](const std::vector<TOptionEntry>& list, int32_t i) {
        return i >= 0 && i < static_cast<int32_t>(list.size()) ? static_cast<int>(i) : -1;
    };
    view_->SetOptionLists(RefreshPeriodOptions(),
                          index(RefreshPeriodOptions(), settings.IndexReOutTs),
                          index(RefreshPeriodOptions(), settings.IndexReOutTit), DebugLineOptions(),
                          index(DebugLineOptions(), settings.IndexReOutDeb));
}

void TMainWindowPresenter::Refresh_ListBox(const std::vector<std::string>&) {
    PushList();
}

void TMainWindowPresenter::ShowTrayIcon(const std::string& tip) {
    trayTip_ = tip;
    trayIcon_ = !visible_;
    shownOnce_ = false;
    PushTray();
}

void TMainWindowPresenter::PushList() {
    std::vector<std::string> names = devices_.Names();
    linkShown_.assign(names.size(), 1);
    for (size_t i = 0; i < names.size() && ctx_.OprosFlag; ++i) {
        if (ctx_.Stations.KP_arr[static_cast<int>(i) + 1].Connected) continue;
        linkShown_[i] = 0;
        names[i] = kLostStationMark + names[i];
    }
    if (selected_ >= static_cast<int>(names.size())) selected_ = names.empty() ? -1 : 0;
    if (view_ != nullptr) view_->SetDeviceList(names, selected_);
}

void TMainWindowPresenter::PushTray() {
    if (view_ == nullptr) return;
    view_->SetTrayIcon(trayIcon_, trayTip_);
    view_->SetTrayMenu(RestoreEnabled(), HideEnabled());
}

// ------------------------------------------------------------------ polling

TPollingView TMainWindowPresenter::PollingView() {
    TPollingView v;
    v.PollStateChanged = [this](bool polling) { OnPollStateChanged(polling); };
    v.ShowFirstStation = [this] { ShowFirstStation(); };
    v.RefreshGrid = [this] { OutStingGrigTsTit(); };
    v.ShowCounters = [this] { TimerTick(); };
    return v;
}

void TMainWindowPresenter::OnPollStateChanged(bool polling) {
    captions_.BtnPoll = MainCaptions(ctx_.LangCode, polling).BtnPoll;
    if (!polling) ShowPollingStopped();
    cachedList_ = nullptr;  // a new run builds a new tag list
    // A starting run has no controllers yet (they are followed from ShowFirstStation),
    // and those of a stopping run may soon be gone.
    if (channels_ != nullptr) channels_->Bind(nullptr);
    if (view_ != nullptr) {
        view_->SetCaptions(captions_);
        view_->SetEditCommandsEnabled(!polling);
    }
    if (!polling) PushList();
}

void TMainWindowPresenter::ShowFirstStation() {
    if (channels_ != nullptr) channels_->Bind(app_.Polling());
    if (ctx_.Stations.Kol_KP <= 0) {
        selected_ = -1;
        ListBox_Click(-1);
        PushList();
        return;
    }
    // The station the operator chose survives a restart of polling.
    if (selected_ < 0 || selected_ >= ctx_.Stations.Kol_KP) selected_ = 0;
    PushList();
    ListBox_Click(selected_);
}

void TMainWindowPresenter::UpdateStationLinks() {
    const int m = ctx_.OprosFlag ? std::clamp(ctx_.Stations.Kol_KP, 0, kMaxKP) : 0;
    if (static_cast<int>(links_.size()) != m) {
        links_.assign(static_cast<size_t>(m), -1);
        lastBalloon_.assign(static_cast<size_t>(m), -1.0);
    }
    int connected = 0;
    bool listChanged = false;
    const TDateTime now = ctx_.Clock.Now();
    for (int n = 1; n <= m; ++n) {
        const auto i = static_cast<size_t>(n - 1);
        const bool up = ctx_.Stations.KP_arr[n].Connected;
        connected += up ? 1 : 0;
        if (i < linkShown_.size() && linkShown_[i] != (up ? 1 : 0)) listChanged = true;
        const int was = links_[i];
        if (up == (was == 1)) continue;
        links_[i] = up ? 1 : (was == 1 ? 0 : was);
        // The first connection of a run is no news; a loss and its end are.
        if (was == -1 || now - lastBalloon_[i] < kBalloonGapDays) continue;
        lastBalloon_[i] = now;
        if (view_ != nullptr)
            view_->ShowBalloon(kAppTitle, "Связь с КП \"" + ctx_.Stations.KP_arr[n].NameKP +
                                              (up ? "\" восстановлена" : "\" потеряна"));
    }
    const std::string tip = m > 0 ? std::string(kAppTitle) + " — " + std::to_string(connected) +
                                        " of " + std::to_string(m) + " stations connected"
                                  : std::string(kAppTitle);
    if (listChanged) PushList();
    const bool alert = connected < m;
    if (alert != trayAlert_) {
        trayAlert_ = alert;
        if (view_ != nullptr) view_->SetTrayAlert(alert);
    }
    if (tip != trayTip_) {
        trayTip_ = tip;
        if (trayIcon_) PushTray();
    }
}

void TMainWindowPresenter::TimerTick() {
    UpdateStationLinks();
    const int clients = app_.OpcClientCount();
    const int groups = app_.OpcGroupCount();
    if (clients == clients_ && groups == groups_) return;
    clients_ = clients;
    groups_ = groups;
    if (view_ != nullptr) view_->SetCounters(clients, groups);
}

// ------------------------------------------------------------------ grids

void TMainWindowPresenter::ClearGrids() {
    signalGrid_ = TStringGrid(6, 1);
    measureGrid_ = TStringGrid(7, 1);
    const char* ts[] = {"Название", "Адрес", "Значение", "Байт качества", "Время (местное)"};
    const char* ti[] = {"Название",      "Адрес",           "Значение (физ.)",
                        "Байт качества", "Значение (инж.)", "Время (местное)"};
    for (int c = 1; c <= 5; ++c) signalGrid_.SetCell(c, 0, ts[c - 1]);
    for (int c = 1; c <= 6; ++c) measureGrid_.SetCell(c, 0, ti[c - 1]);
    signalLook_.assign(1, TRowLook::Normal);
    measureLook_.assign(1, TRowLook::Normal);
}

TRowLook TMainWindowPresenter::RowLook(bool measurements, int row) const {
    const std::vector<TRowLook>& look = measurements ? measureLook_ : signalLook_;
    return row >= 0 && static_cast<size_t>(row) < look.size() ? look[static_cast<size_t>(row)]
                                                              : TRowLook::Normal;
}

std::string TMainWindowPresenter::LedTip(int n) const {
    if (!ctx_.Stations.IsStation(n) || n > kMaxKP) return std::to_string(n);
    const T_KP& kp = ctx_.Stations.KP_arr[n];
    std::string tip = std::to_string(n) + ": " + kp.NameKP;
    if (ctx_.OprosFlag) tip += kp.Connected ? " — есть связь" : " — нет связи";
    return tip;
}

void TMainWindowPresenter::ShowPollingStopped() {
    if (gridStation_ != 0) signalGrid_.SetCell(3, 1, kNotPolled);
    std::fill(signalLook_.begin() + (signalLook_.empty() ? 0 : 1), signalLook_.end(),
              TRowLook::Stopped);
    std::fill(measureLook_.begin() + (measureLook_.empty() ? 0 : 1), measureLook_.end(),
              TRowLook::Stopped);
    if (view_ != nullptr) {
        view_->GridChanged(false);
        view_->GridChanged(true);
    }
}

void TMainWindowPresenter::OnDeviceSelected(int index) {
    if (index < 0 || index >= ctx_.Stations.Kol_KP) return;
    selected_ = index;
    ListBox_Click(index);
}

void TMainWindowPresenter::ListBox_Click(int it) {
    ClearGrids();
    gridStation_ = 0;
    const int n = it + 1;
    if (ctx_.Stations.IsStation(n) && n <= kMaxKP) {
        selected_ = it;
        gridStation_ = n;
        const T_KP& kp = ctx_.Stations.KP_arr[n];
        const int nts = std::clamp(kp.Kol_TS, 0, kMaxTagsOfKind);
        const int nti = std::clamp(kp.Kol_TI, 0, kMaxTagsOfKind);
        signalGrid_.SetRowCount(nts + 3);
        signalGrid_.SetCell(1, 1, "Соединение:");
        for (int k = 1; k <= nts; ++k) {
            const T_TS& t = kp.TS_arr[k];
            signalGrid_.SetCell(1, k + 1, t.NameTS);
            signalGrid_.SetCell(2, k + 1, Addresses(t.AdrASDU, t.AdrIOA));
        }
        measureGrid_.SetRowCount(nti + 2);
        for (int k = 1; k <= nti; ++k) {
            const T_TI& t = kp.TI_arr[k];
            measureGrid_.SetCell(1, k, t.NameTI);
            measureGrid_.SetCell(2, k, Addresses(t.AdrASDU, t.AdrIOA));
        }
    }
    signalLook_.assign(static_cast<size_t>(signalGrid_.RowCount()), TRowLook::Normal);
    measureLook_.assign(static_cast<size_t>(measureGrid_.RowCount()), TRowLook::Normal);
    cachedList_ = nullptr;
    if (!ctx_.OprosFlag) {
        ShowPollingStopped();
        return;
    }
    if (view_ != nullptr) {
        view_->GridChanged(false);
        view_->GridChanged(true);
    }
}

void TMainWindowPresenter::CollectStationTags(const TPublisher& publisher, int s) {
    stationTags_.clear();
    // Rows follow the station's arrays: the k-th two-state tag is signal row k + 2
    // (after the link row), the k-th measurement measurement row k + 1, whatever
    // tags the list refused in between.
    for (const bool measured : {false, true})
        for (const auto& [k, index] : publisher.BoundTags(s, measured))
            stationTags_.push_back(TRowTag{index, measured ? k + 1 : k + 2, measured});
    const TTagSignalList* tags = publisher.Tags();
    cachedList_ = tags;
    cachedCount_ = tags != nullptr ? tags->GetCount() : -1;
    cachedStation_ = s;
}

void TMainWindowPresenter::OutStingGrigTsTit() {
    const int s = gridStation_;
    if (!ctx_.Stations.IsStation(s)) return;
    if (!ctx_.OprosFlag) {
        // Values of a stopped run stay as they were, greyed.
        ShowPollingStopped();
        return;
    }
    const T_KP& kp = ctx_.Stations.KP_arr[s];
    signalGrid_.SetCell(3, 1, kp.Connected ? kConnectedYes : kConnectedNo);
    if (signalLook_.size() > 1) signalLook_[1] = kp.Connected ? TRowLook::Normal : TRowLook::Bad;

    const TPublisher* publisher = app_.Publisher();
    const TTagSignalList* tags = publisher != nullptr ? publisher->Tags() : nullptr;
    if (tags != nullptr) {
        const TArmSignals& arm = publisher->Registries().ArmSignals;
        if (cachedList_ != tags || cachedCount_ != tags->GetCount() || cachedStation_ != s)
            CollectStationTags(*publisher, s);
        // Rows without a tag say so.
        std::vector<bool> bound[2] = {
            std::vector<bool>(static_cast<size_t>(signalGrid_.RowCount()), false),
            std::vector<bool>(static_cast<size_t>(measureGrid_.RowCount()), false)};
        for (const TRowTag& rt : stationTags_) {
            TStringGrid& grid = rt.measured ? measureGrid_ : signalGrid_;
            std::vector<TRowLook>& look = rt.measured ? measureLook_ : signalLook_;
            const int row = rt.row;
            if (row < 1 || row >= grid.RowCount() || rt.tag < 0 || rt.tag >= tags->GetCount())
                continue;
            bound[rt.measured ? 1 : 0][static_cast<size_t>(row)] = true;
            const TTagSignal& tag = tags->List[static_cast<size_t>(rt.tag)];
            int32_t iValue = 0;
            uint8_t quality = 0;
            double fValue = 0.0;
            TDateTime stamp = 0.0;
            tag.GetArmValue(iValue, quality, fValue, stamp);
            const bool received = tag.Value.pdc != tcn_None;
            // The time of the value shown: the station's time tag (with the station's
            // correction), or when it was received; both local time.
            const TDateTime when = tag.Value.timeTagged
                                       ? tag.Value.dt + kp.Popravka_Time * ctx_.OneHour
                                       : tag.Value.received;
            grid.SetCell(4, row, QualityText(quality, rt.measured));
            grid.SetCell(rt.measured ? 6 : 5, row,
                         received && when > 1.0 ? GridDateTime(when) : std::string());
            look[static_cast<size_t>(row)] =
                !received || QualityIsBad(quality) ? TRowLook::Bad : TRowLook::Normal;
            if (!rt.measured) {
                grid.SetCell(3, row, received ? std::to_string(iValue) : std::string());
                continue;
            }
            const TArmRec* rec = arm.GetRec(tag.FIndArm);
            const double eng =
                kp.PereschetTI && rec != nullptr ? rec->RawToEng(std::trunc(fValue)) : fValue;
            grid.SetCell(3, row, received ? FormatRealGeneral(fValue) : std::string());
            grid.SetCell(5, row, received ? Fixed3(eng) : std::string());
        }
        // A configured tag the tag list refused (its address taken by another tag).
        auto unbound = [](TStringGrid& grid, std::vector<TRowLook>& look,
                          const std::vector<bool>& has, int first, int last) {
            for (int row = first; row <= last && row < grid.RowCount(); ++row) {
                if (has[static_cast<size_t>(row)]) continue;
                grid.SetCell(3, row, kTagNotPolled);
                look[static_cast<size_t>(row)] = TRowLook::Bad;
            }
        };
        unbound(signalGrid_, signalLook_, bound[0], 2,
                1 + std::clamp(kp.Kol_TS, 0, kMaxTagsOfKind));
        unbound(measureGrid_, measureLook_, bound[1], 1, std::clamp(kp.Kol_TI, 0, kMaxTagsOfKind));
    }
    if (view_ != nullptr) {
        view_->GridChanged(false);
        view_->GridChanged(true);
    }
}

// ------------------------------------------------------------------ commands

void TMainWindowPresenter::OnAdd() {
    std::string refusal;
    if (!devices_.BeginAdd(form_, ctx_.LangCode, refusal)) {
        if (view_ != nullptr) view_->ShowMessage(refusal);
        return;
    }
    TDevicePropsPresenter dialog(
        form_, ctx_.Settings, ctx_.LangCode,
        [this](const TDeviceForm& f, std::string& e) { return devices_.CommitAdd(f, e); },
        CnfPath());
    dialog.SetChecks(TDeviceChecks{&ctx_.Stations, 0, resolves_});
    if (view_ != nullptr) view_->RunDeviceDialog(dialog);
    if (dialog.Accepted()) PushList();
}

void TMainWindowPresenter::OnChange() {
    const int n = selected_ + 1;
    if (selected_ < 0 || !ctx_.Stations.IsStation(n)) return;
    std::string refusal;
    if (!devices_.BeginChange(n, form_, ctx_.LangCode, refusal)) {
        if (!refusal.empty() && view_ != nullptr) view_->ShowMessage(refusal);
        return;
    }
    TDevicePropsPresenter dialog(
        form_, ctx_.Settings, ctx_.LangCode,
        [this, n](const TDeviceForm& f, std::string& e) { return devices_.CommitChange(n, f, e); },
        CnfPath());
    dialog.SetChecks(TDeviceChecks{&ctx_.Stations, n, resolves_});
    if (view_ != nullptr) view_->RunDeviceDialog(dialog);
    if (!dialog.Accepted()) return;
    PushList();
    if (selected_ >= 0) ListBox_Click(selected_);
}

void TMainWindowPresenter::OnDelete() {
    const int n = selected_ + 1;
    if (selected_ < 0 || !ctx_.Stations.IsStation(n)) return;
    if (!devices_.CanEdit()) {
        if (view_ != nullptr) view_->ShowMessage(kPollingRunsText);
        return;
    }
    if (view_ == nullptr || view_->Ask(kDeleteQuestionText) != TAnswer::Yes) return;
    std::string error;
    if (!devices_.Delete(n, error)) view_->ShowError(error);
    PushList();
    ListBox_Click(selected_);
}

void TMainWindowPresenter::OnStartStop() {
    app_.StartStop();
}

void TMainWindowPresenter::OnTraceSwitch() {
    if (ctx_.Settings.Save_Obmen_v_File) {
        ctx_.Settings.Save_Obmen_v_File = false;
        traceCaption_ = kTraceOffCaption;
    } else {
        ctx_.Settings.Save_Obmen_v_File = true;
        if (view_ != nullptr) view_->ShowMessage(kTraceOnAdvice);
        traceCaption_ = kTraceOnCaption;
    }
    if (view_ != nullptr) view_->SetTraceCaption(traceCaption_);
}

void TMainWindowPresenter::OnRegister(bool reg) {
    TRegisterResult result = app_.RegisterServer(reg);
    bool elevated = false;
    if (result.Outcome == TRegisterOutcome::NeedsAdmin && view_ != nullptr &&
        view_->Ask(ElevationQuestion(ctx_.LangCode, reg)) == TAnswer::Yes) {
        result = app_.RegisterServerElevated(reg);
        elevated = true;
    }
    if (view_ == nullptr) return;
    const std::string text = RegistrationText(ctx_.LangCode, reg, result, elevated);
    if (result.Outcome == TRegisterOutcome::Done)
        view_->ShowMessage(text);
    else
        view_->ShowError(text);
}

void TMainWindowPresenter::OnHelp() {
    std::error_code ec;
    lastHelp_ = ChooseHelpDocument(exeDir_, dir_, webDir_, [&ec](const std::string& path) {
        return std::filesystem::is_regular_file(path, ec);
    });
    if (view_ == nullptr) return;
    if (lastHelp_.empty())
        view_->ShowError(HelpMissingText(ctx_.LangCode, exeDir_, webDir_));
    else
        view_->OpenDocument(lastHelp_);
}

void TMainWindowPresenter::OnAbout() {
    if (view_ != nullptr) view_->ShowAbout(kAppTitle, kVersion);
}

// ------------------------------------------------------------------ tray and window

void TMainWindowPresenter::OnTrayLeftDown() {
    if (view_ == nullptr) return;
    view_->BringToForeground();
    view_->PopupTrayMenu();
}

void TMainWindowPresenter::OnTrayDoubleClick() {
    OnRestore();
}

void TMainWindowPresenter::OnRestore() {
    if (visible_) return;
    visible_ = true;
    trayIcon_ = false;
    if (view_ != nullptr) view_->ShowWindow(!shownOnce_);
    shownOnce_ = true;
    PushTray();
}

void TMainWindowPresenter::OnMinimize() {
    if (!visible_) return;
    visible_ = false;
    trayIcon_ = true;
    if (view_ != nullptr) view_->HideWindow();
    PushTray();
}

void TMainWindowPresenter::OnTaskbarCreated() {
    if (trayIcon_ && view_ != nullptr) view_->SetTrayIcon(true, trayTip_);
}

void TMainWindowPresenter::OnEndSession() {
    app_.Close();
}

bool TMainWindowPresenter::OnCloseRequest() {
    if (app_.OpcClientCount() > 0) {
        if (view_ == nullptr || view_->Ask(kCloseWithClientsText) != TAnswer::Yes) return false;
    }
    app_.Close();
    return true;
}

}  // namespace telegate
