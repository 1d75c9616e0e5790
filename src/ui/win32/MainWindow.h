// The operator's main window on Win32: top bar with the station buttons and the
// OPC counters, the device list, the signal and measurement grids as virtual
// report-mode list views with splitters between them, the channel strip with the
// stations' LEDs, the status bar, the main menu, the tray icon and its menu.
// What it shows is decided by TMainWindowPresenter. Main thread only.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "ui/ChannelPanelPresenter.h"
#include "ui/MainWindowPresenter.h"
#include "ui/win32/Controls.h"
#include "ui/win32/StatisticsWindow.h"

namespace telegate::win32ui {

// Command identifiers of the main window's buttons and menus.
enum TMainCommand : int {
    cmd_Add = 101,
    cmd_Change,
    cmd_Delete,
    cmd_StartStop,
    cmd_Trace,
    cmd_Register,
    cmd_Unregister,
    cmd_Help,
    cmd_About,
    cmd_Restore,
    cmd_Hide,
    cmd_Exit,
    cmd_Journal,
    cmd_Statistics,
};
// Child control identifiers.
enum TMainControl : int {
    ctl_DeviceList = 301,
    ctl_SignalGrid,
    ctl_MeasurementGrid,
    ctl_Status,
    ctl_Channels,
    ctl_Clients,
    ctl_Groups,
    ctl_ClientsLabel,
    ctl_GroupsLabel,
};

// The tray icon's callback message: the first user message number plus 123.
constexpr UINT kTrayMessage = WM_USER + 123;
constexpr UINT kTrayIconId = 1;
// The timer that turns a single click on the tray icon into the tray menu.
constexpr UINT_PTR kTrayClickTimer = 7;
constexpr const wchar_t* kMainWindowClass = L"TelegateMainWindow";
constexpr const wchar_t* kJournalWindowClass = L"TelegateJournal";
// Posted by a second start to the running copy's main window: open it and put it
// in front (a registered message, so every process agrees on its number).
constexpr const wchar_t* kShowRunningCopyMessage = L"Telegate.ShowRunningCopy";

class TMainWindow : public IMainWindowView, public IChannelPanelView {
  public:
    TMainWindow();
    ~TMainWindow() override;
    TMainWindow(const TMainWindow&) = delete;
    TMainWindow& operator=(const TMainWindow&) = delete;

    // Creates the window (hidden) and its controls; false when it cannot.
    bool Create(TMainWindowPresenter& presenter);
    HWND Handle() const { return hwnd_; }
    HWND Control(int id) const { return ::GetDlgItem(hwnd_, id); }
    // Keyboard shortcuts of the menus; call for every message before dispatching.
    bool TranslateShortcut(MSG& msg);
    // The window is going away with the program: the tray icon is removed.
    void Destroy();

    // IMainWindowView
    void SetCaptions(const TMainCaptions& captions) override;
    void SetTraceCaption(const std::string& caption) override;
    void SetStatusText(const std::string& text) override;
    void SetOptionLists(const std::vector<TOptionEntry>& periods, int tsIndex, int titIndex,
                        const std::vector<TOptionEntry>& lines, int debIndex) override;
    void SetDeviceList(const std::vector<std::string>& names, int selected) override;
    void SetEditCommandsEnabled(bool enabled) override;
    void GridChanged(bool measurements) override;
    void SetCounters(int clients, int groups) override;
    void ShowWindow(bool firstTime) override;
    void HideWindow() override;
    void BringToForeground() override;
    void SetTrayIcon(bool present, const std::string& tip) override;
    void SetTrayMenu(bool restoreEnabled, bool hideEnabled) override;
    void PopupTrayMenu() override;
    void ShowMessage(const std::string& text) override;
    void ShowError(const std::string& text) override;
    TAnswer Ask(const std::string& text) override;
    void RunDeviceDialog(TDevicePropsPresenter& dialog) override;
    void OpenDocument(const std::string& path) override;
    void ShowAbout(const std::string& product, const std::string& version) override;
    void ShowJournal(const std::vector<std::string>& lines) override;
    void AppendJournal(const std::string& line) override;
    // A balloon from the tray icon (when the icon is there).
    void ShowBalloon(const std::string& title, const std::string& text) override;
    void SetTrayAlert(bool alert) override;
    // The journal window while it is open, or null.
    HWND JournalWindow() const { return journal_; }

    // IChannelPanelView
    void PaintLed(const TLedView& led) override;
    void SetChannelCount(int count) override;

    // The LEDs as painted last (for checks).
    const std::vector<TLedView>& Leds() const { return leds_; }
    // The tooltip control of the LEDs (one tool per LED, its text the station's).
    HWND LedTooltip() const { return ledTips_; }
    const TUiFont& Font() const { return font_; }
    // Exceptions of the window's and its dialogs' message handlers go here.
    void SetExceptionSink(TExceptionSink sink) { exceptionSink_ = std::move(sink); }

  private:
    static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    static LRESULT CALLBACK ChannelsProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    static LRESULT CALLBACK JournalProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp);
    void CreateControls();
    void ApplyFont();
    void FitColumns();
    void Layout();
    void BuildMenu();
    void OnCommand(int id);
    LRESULT OnNotify(NMHDR* hdr);
    void PaintChannels(HWND hwnd);
    RECT LedRect(int index) const;
    // One tooltip tool per LED, over the LED and its number.
    void UpdateLedTools();
    int SplitterAt(POINT pt) const;  // 0 none, 1 vertical, 2 horizontal
    void ConfigureGrid(HWND lv, const TStringGrid& grid, bool measurements);
    // Gives the keyboard's focus to the control that had it last (or the list).
    void FocusControl();

    HWND hwnd_ = nullptr;
    HWND channels_ = nullptr;
    HWND journal_ = nullptr;
    HWND ledTips_ = nullptr;
    int ledTools_ = 0;  // tools the tooltip holds
    HWND focus_ = nullptr;  // the control with the focus when the window was left
    std::unique_ptr<TStatisticsWindow> statistics_;  // the selected station's statistics
    int journalLines_ = 0;
    HMENU menu_ = nullptr;
    HACCEL accel_ = nullptr;
    HICON icon_ = nullptr, smallIcon_ = nullptr;
    UINT taskbarCreated_ = 0;
    UINT showRunningCopy_ = 0;
    TMainWindowPresenter* presenter_ = nullptr;
    TUiFont font_;
    TExceptionSink exceptionSink_;
    TMainCaptions captions_;
    std::string traceCaption_;
    bool editEnabled_ = true;
    bool restoreEnabled_ = true, hideEnabled_ = false;
    bool trayAdded_ = false;
    bool trayAlert_ = false;
    std::wstring tip_ = L"Telegate";
    std::wstring cellBuffer_;
    std::wstring tipBuffer_;
    std::vector<TLedView> leds_;
    // Splitter positions as fractions of the client area, so they survive a new DPI.
    double listFraction_ = 0.2;
    double gridFraction_ = 0.5;
    int dragging_ = 0;
    // Laid out areas (client coordinates).
    RECT vSplit_{}, hSplit_{};
    int channelStripTop_ = 0, channelStripHeight_ = 0;
};

}  // namespace telegate::win32ui
