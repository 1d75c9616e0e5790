// The main window, its tray icon and its menus, without drawing: captions in the
// chosen language, the device list and its selection, the signal and measurement
// grids of the selected station, the OPC counters, the station list commands with
// their dialog, the start/stop button, the trace switch, the tray menu and the
// close of the program. A view (the Win32 window, or a test) shows what the
// presenter decides and reports the operator's actions back. Main thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "app/DeviceList.h"
#include "app/Main.h"
#include "app/Polling.h"
#include "ui/OperatorCommands.h"

namespace telegate {

class TDevicePropsPresenter;
class TChannelPanelPresenter;
class TTagSignalList;
class TArmSignals;

struct TMainCaptions {
    std::string Window;
    std::string BtnAdd, BtnChange, BtnDelete, BtnPoll;
    std::string MenuFile, MenuOpen, MenuSave, MenuExit;
    std::string MenuDevice, MenuAdd, MenuChange, MenuDelete, MenuTrace;
    std::string MenuServer, MenuRegister, MenuUnregister;
    std::string MenuHelp, MenuAbout, MenuJournal, MenuStatistics;
    std::string TrayRestore, TrayHide, TrayExit;
    std::string LabelClients, LabelGroups;  // "Кол-во клиентов:", "Кол-во групп:"
};

// The captions of a language code (0 Russian, 1 English) with the start/stop
// button for the polling state.
TMainCaptions MainCaptions(int lang, bool polling);

// An entry of the display-option lists: its text and its number.
struct TOptionEntry {
    const char* Text;
    int32_t Value;
};
const std::vector<TOptionEntry>& RefreshPeriodOptions();  // "без задержки" 0 .. "1 мин" 60000
const std::vector<TOptionEntry>& DebugLineOptions();  // "нет вывода" 0 .. "10000 строк"

// The answers of a question box.
enum class TAnswer { Yes, No, Cancel };

// What the main window does for the presenter. Main thread.
class IMainWindowView {
  public:
    virtual ~IMainWindowView() = default;
    virtual void SetCaptions(const TMainCaptions& captions) = 0;
    // The trace menu item's caption.
    virtual void SetTraceCaption(const std::string& caption) = 0;
    virtual void SetStatusText(const std::string& text) = 0;
    // The hidden display-option lists: entries and selected index of each.
    virtual void SetOptionLists(const std::vector<TOptionEntry>& periods, int tsIndex, int titIndex,
                                const std::vector<TOptionEntry>& lines, int debIndex) = 0;
    // The device list; selected -1 for none.
    virtual void SetDeviceList(const std::vector<std::string>& names, int selected) = 0;
    // Add, change and delete (buttons and menu items).
    virtual void SetEditCommandsEnabled(bool enabled) = 0;
    // A grid was laid out again (rows, titles) or its values changed.
    virtual void GridChanged(bool measurements) = 0;
    virtual void SetCounters(int clients, int groups) = 0;
    // The window shown (firstTime: its controls are shown the first time) or hidden.
    virtual void ShowWindow(bool firstTime) = 0;
    virtual void HideWindow() = 0;
    virtual void BringToForeground() = 0;
    // The tray icon (present or removed, with its tip) and the tray menu items.
    virtual void SetTrayIcon(bool present, const std::string& tip) = 0;
    virtual void SetTrayMenu(bool restoreEnabled, bool hideEnabled) = 0;
    virtual void PopupTrayMenu() = 0;
    virtual void ShowMessage(const std::string& text) = 0;
    virtual void ShowError(const std::string& text) = 0;
    // A warning box with Yes, No and Cancel.
    virtual TAnswer Ask(const std::string& text) = 0;
    // Runs the device properties dialog modally; it ends through the presenter.
    virtual void RunDeviceDialog(TDevicePropsPresenter& dialog) = 0;
    // Opens a document with the program the system associates with it, maximised.
    virtual void OpenDocument(const std::string& path) = 0;
    virtual void ShowAbout(const std::string& product, const std::string& version) = 0;
    // The journal window: opened (or put in front) with the lines kept so far;
    // a later line is appended while it is open.
    virtual void ShowJournal(const std::vector<std::string>& lines) { (void)lines; }
    virtual void AppendJournal(const std::string& line) { (void)line; }
    // The tray icon shows that a polled station is not connected.
    virtual void SetTrayAlert(bool alert) { (void)alert; }
    // A balloon from the tray icon.
    virtual void ShowBalloon(const std::string& title, const std::string& text) {
        (void)title;
        (void)text;
    }
};

// What the window asks of the running application.
class IMainWindowApp {
  public:
    virtual ~IMainWindowApp() = default;
    // Polling; null before it was first started.
    virtual TPolling* Polling() = 0;
    // Where the grids read the tags and their signal records: polling's publisher.
    virtual const TPublisher* Publisher() {
        TPolling* polling = Polling();
        return polling != nullptr ? &polling->Publisher() : nullptr;
    }
    // The start/stop button.
    virtual void StartStop() = 0;
    // Connected OPC clients and their groups.
    virtual int OpcClientCount() = 0;
    virtual int OpcGroupCount() = 0;
    // Registers (true) or unregisters the OPC server in this process.
    virtual TRegisterResult RegisterServer(bool reg) = 0;
    // The same in a copy of the program started with administrator rights (the
    // system asks the operator); its outcome.
    virtual TRegisterResult RegisterServerElevated(bool reg) {
        (void)reg;
        return {TRegisterOutcome::Failed, "not available in this build"};
    }
    // Ends the program: the configuration written, OPC shut down, the loop ended.
    virtual void Close() = 0;
};

constexpr const char* kHelpDocument = "Telegate.doc";
constexpr const char* kAppTitle = "Telegate";
extern const char* const kCloseWithClientsText;
extern const char* const kTraceOnAdvice;

// Texts of the grids.
extern const char* const kConnectedYes;
extern const char* const kConnectedNo;
extern const char* const kNotPolled;     // the link row while polling is stopped
extern const char* const kTagNotPolled;  // a row whose tag the tag list refused
// The device list's mark of a station that is not connected while polling runs.
extern const char* const kLostStationMark;

// The quality octet as the grids show it: the decimal, then the flags that are set
// in letters, always in the order IV NT SB BL OV ("0", "128 IV", "192 IV NT"). OV
// (overflow, bit 0) is a flag of measurements only; a two-state value's low bits
// are its state.
std::string QualityText(uint8_t quality, bool measurement);
// True for a quality that says the value is not to be trusted (IV or NT).
inline bool QualityIsBad(uint8_t quality) {
    return (quality & 0xC0) != 0;
}

// How a grid row is drawn: as it is, as doubtful data (invalid, not topical, no
// tag, no link), or greyed while polling is stopped.
enum class TRowLook : uint8_t { Normal, Bad, Stopped };

class TMainWindowPresenter : public IFormView {
  public:
    // devices: the station list commands; app: the running application. dir: the
    // executable's folder (help document, "cnf.ini"); empty: the working directory.
    TMainWindowPresenter(TAppContext& ctx, TDeviceList& devices, IMainWindowApp& app,
                         std::string dir = {});

    void Attach(IMainWindowView* view);
    // How the device dialog checks a host name (tests give their own).
    void SetHostResolver(std::function<bool(const std::string&)> resolves) {
        resolves_ = std::move(resolves);
    }
    // The channel panels follow the runs of polling (optional).
    void SetChannelPanel(TChannelPanelPresenter* channels) { channels_ = channels; }

    // IFormView: what the start-up shows.
    void SetLang(int langCode) override;
    void ShowCurrentDir(const std::string& dir) override;
    void CreateComboBoxes(const TSettings& settings) override;
    void Refresh_ListBox(const std::vector<std::string>& names) override;
    void ShowTrayIcon(const std::string& tip) override;
    // The unresolved failures lead the status bar ("Ошибка: ..."), before the folder.
    void ShowFailures(const std::string& text) override;
    void OpenForRepair() override { OnRestore(); }
    const std::string& StatusText() const { return statusText_; }

    // What polling tells the window (hand this to TPolling).
    TPollingView PollingView();
    void OnPollStateChanged(bool polling);
    void ShowFirstStation();
    void TimerTick();  // 500 ms: counters, the stations' links in the tray
    // The tray's view of the stations' links: the tip "Telegate — n of m stations
    // connected" while polling, the alert icon while one of them is not connected,
    // and a balloon when a station is lost or restored (at most one per station a
    // minute).
    void UpdateStationLinks();
    const std::string& TrayTip() const { return trayTip_; }
    bool TrayAlert() const { return trayAlert_; }
    static constexpr double kBalloonGapDays = 60.0 / 86400.0;
    // Timeroutgrid: the value columns of the selected station.
    void OutStingGrigTsTit();

    // Device list click on entry index (-1: none).
    void OnDeviceSelected(int index);
    // Prepares both grids for station it + 1.
    void ListBox_Click(int it);

    // Commands.
    void OnAdd();
    void OnChange();
    void OnDelete();
    void OnStartStop();
    void OnTraceSwitch();
    // Register or unregister the OPC server: the outcome is shown; without
    // administrator rights the operator is offered to run it elevated.
    void OnRegister(bool reg);
    // Where the help is looked for (ChooseHelpDocument): the executable's folder
    // and the web folder; the data folder is dir (or the working directory).
    void SetHelpFolders(std::string exeDir, std::string webDir) {
        exeDir_ = std::move(exeDir);
        webDir_ = std::move(webDir);
    }
    void OnHelp();
    // The document the last Help opened (empty: none found).
    const std::string& LastHelpDocument() const { return lastHelp_; }
    void OnAbout();
    // A journal line (as FormatJournalLine makes it): kept among the last
    // kJournalWindowLines and shown in the journal window when it is open.
    void AddJournalLine(const std::string& line);
    void OnJournal();
    const std::vector<std::string> JournalLines() const {
        return std::vector<std::string>(journal_.begin(), journal_.end());
    }
    static constexpr size_t kJournalWindowLines = 1000;

    // Tray and window.
    void OnTrayLeftDown();
    void OnTrayDoubleClick();
    void OnRestore();
    void OnMinimize();  // also "&Скрыть"
    // The shell was restarted: the icon has to be added again when present.
    void OnTaskbarCreated();
    // "В&ыход", the main menu's exit and the window's close button. False when
    // the operator chose to keep the program running.
    bool OnCloseRequest();
    // Windows ends the session (log-off, shut-down): the operator's close without
    // questions, so that the configuration is written and OPC clients are told.
    void OnEndSession();

    // State, for views and tests.
    const TStringGrid& SignalGrid() const { return signalGrid_; }
    const TStringGrid& MeasurementGrid() const { return measureGrid_; }
    // The look of a grid row (row as the grid numbers it: 0 is the title row).
    TRowLook RowLook(bool measurements, int row) const;
    // The tooltip of station n's LED: its name and whether it is connected.
    std::string LedTip(int n) const;
    int Selected() const { return selected_; }
    bool WindowVisible() const { return visible_; }
    bool TrayIconPresent() const { return trayIcon_; }
    bool RestoreEnabled() const { return !visible_; }
    bool HideEnabled() const { return visible_; }
    const std::string& TraceCaption() const { return traceCaption_; }
    const TMainCaptions& Captions() const { return captions_; }
    TDeviceForm& Form() { return form_; }
    const TAppContext& Context() const { return ctx_; }

  private:
    void PushList();
    void PushTray();
    void ClearGrids();
    void CollectStationTags(const TPublisher& publisher, int s);
    // Polling is stopped: the link row says so and every row is greyed.
    void ShowPollingStopped();
    std::string CnfPath() const;

    TAppContext& ctx_;
    TDeviceList& devices_;
    IMainWindowApp& app_;
    std::string dir_;
    std::string exeDir_, webDir_, lastHelp_;
    IMainWindowView* view_ = nullptr;
    TChannelPanelPresenter* channels_ = nullptr;
    std::function<bool(const std::string&)> resolves_;
    TMainCaptions captions_;
    std::string traceCaption_;
    std::string currentDir_;
    std::deque<std::string> journal_;
    bool trayAlert_ = false;
    // Per station (index n - 1): 1 connected, 0 lost after being connected, -1 not
    // connected yet in this run; and the time of its last balloon.
    std::vector<int> links_;
    std::vector<TDateTime> lastBalloon_;
    std::string failures_;
    std::string statusText_;
    TDeviceForm form_;  // the device properties dialog's contents, kept between uses
    TStringGrid signalGrid_{6, 1};
    TStringGrid measureGrid_{7, 1};
    std::vector<TRowLook> signalLook_, measureLook_;  // per grid row
    std::vector<int> linkShown_;  // per station: the link state the device list shows
    int selected_ = -1;
    int gridStation_ = 0;  // station the grids were prepared for, 0: none
    bool visible_ = false;
    bool shownOnce_ = false;
    bool trayIcon_ = false;
    std::string trayTip_ = kAppTitle;
    int clients_ = -1, groups_ = -1;  // counters last shown
    // Tags of the grid's station with the grid row each belongs to, cached per tag
    // list; rows of the station's tags the tag list refused are not among them.
    struct TRowTag {
        int32_t tag;
        int row;
        bool measured;
    };
    std::vector<TRowTag> stationTags_;
    const TTagSignalList* cachedList_ = nullptr;
    int32_t cachedCount_ = -1;
    int cachedStation_ = 0;
};

}  // namespace telegate
