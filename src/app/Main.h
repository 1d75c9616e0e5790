// The application controller: start-up of the running program (FormCreate), the
// operator's close (FormCloseQuery, FormClose), the log of exceptions that reach
// the main loop, and the start of polling. The operator interface, when there is
// one, shows what this object holds through IFormView; headless there is none.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/AppContext.h"
#include "app/OperatorReport.h"
#include "platform/MainLoop.h"
#include "platform/Paths.h"

namespace telegate {

class TPolling;
struct TPollingView;

// What the main window shows of the start-up. Every call is on the main thread.
class IFormView {
  public:
    virtual ~IFormView() = default;
    // Applies the captions of ctx.LangCode.
    virtual void SetLang(int langCode) = 0;
    // The working directory in the status panel.
    virtual void ShowCurrentDir(const std::string& dir) = 0;
    // Fills the three display-option lists and selects the entries of the settings.
    virtual void CreateComboBoxes(const TSettings& settings) = 0;
    // The device list: station names in table order.
    virtual void Refresh_ListBox(const std::vector<std::string>& names) = 0;
    // The notification-area icon with its tip; the window stays hidden.
    virtual void ShowTrayIcon(const std::string& tip) = 0;
};

class TOPCForm {
  public:
    // exePath: the executable's full path (its ini file is read beside it).
    // The controller installs itself as loop.onException and as the exit of the
    // fatal stop (ctx.ErrorReporter: the loop quits with the code); view may be null.
    TOPCForm(TAppContext& ctx, IMainLoop& loop, std::string exePath, IFormView* view = nullptr);
    ~TOPCForm();
    TOPCForm(const TOPCForm&) = delete;
    TOPCForm& operator=(const TOPCForm&) = delete;

    // The OPC steps of the main sequence, before FormCreate: the core gets the
    // server's name and description (no activity log) and the bridge's three
    // callbacks.
    void OpcInit();
    // After the windows exist (FormCreate done, polling running): the core accepts
    // clients from now on and its update loop runs. A failure is swallowed: polling
    // and the web server go on without OPC.
    void OpcStart();
    // The start-up sequence, once, on the main thread, with the executable's
    // directory as working directory.
    void FormCreate();
    // Writes the station table to "iec104.cfg" without asking. Returns CanClose,
    // which is always true; SavedOnClose() tells whether the file was written. A
    // table that did not load completely is not written (KeptOnClose(), and the
    // operator is told why); after a fatal stop nothing is written.
    bool FormCloseQuery();
    // Shuts the OPC core down: every connected client is asked to disconnect
    // (ShutdownRequest). Polling is not stopped.
    void FormClose();
    // The operator's close: FormCloseQuery, FormClose, then the main loop quits
    // with 0, or with 1 when the configuration could not be saved.
    void CloseApplication();
    bool SavedOnClose() const { return savedOnClose_; }
    bool KeptOnClose() const { return keptOnClose_; }
    // A fatal stop has ended the program (the loop has quit with its code).
    bool Halted() const { return halted_; }

    // Appends "<local date-time>: <message> . Class Name = <class>" to
    // "error_iec104.log"; failures to write are ignored. Never throws.
    void ApplicationEvents1Exception(std::string_view message, std::string_view className) noexcept;

    // Applies the polling flag: starts polling of the configured stations (station
    // clients, workers, timers, web server) when it is set, stops it otherwise.
    void Begin_Opros();
    // The polling of the stations; created by the first Begin_Opros.
    TPolling* Polling() { return polling_.get(); }
    // Where polling logs what it otherwise swallows (a web server that cannot
    // listen, a refused start). Set before FormCreate; empty: nowhere.
    void SetPollingLog(std::function<void(const std::string&)> log) {
        pollingLog_ = std::move(log);
    }

    // What polling shows in the operator window (the grids, the start/stop button).
    // Set before FormCreate; polling is created with it.
    void SetPollingView(const TPollingView& view);

    // The OPC counters of the main window, as the 500 ms timer last took them:
    // connected clients (server objects) and their groups. 0 before polling exists.
    int32_t OpcServerCount() const;
    int32_t OpcGroupCount() const;

    // Station names of the table, in table order.
    std::vector<std::string> DeviceNames() const;

    // The data folder's program ini file and the web folder, as platform/Paths
    // decided them; call before FormCreate. Without it both are found beside the
    // executable.
    void SetFolders(const TProgramFolders& folders);
    const std::string& IniPath() const { return iniPath_; }
    const std::string& WebDir() const { return webDir_; }

    TAppContext& Context() { return ctx_; }
    IMainLoop& Loop() { return loop_; }
    const std::string& ExePath() const { return exePath_; }

  private:
    // Removes what interrupted atomic writes of the program's files left behind.
    void RemoveLeftoverTempFiles();
    // A settings file that exists but could not be read: error log, journal, box.
    void ReportUnreadableSettings(const std::string& problem);

    TAppContext& ctx_;
    IMainLoop& loop_;
    std::string exePath_;
    std::string iniPath_;
    std::string webDir_;
    IFormView* view_;
    bool savedOnClose_ = false;
    bool keptOnClose_ = false;
    bool halted_ = false;
    std::function<void(const std::string&)> pollingLog_;
    std::unique_ptr<TPollingView> pollingView_;
    std::unique_ptr<TPolling> polling_;
};

}  // namespace telegate
