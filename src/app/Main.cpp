#include "app/Main.h"

#include <clocale>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>
#include <typeinfo>

#include "app/Polling.h"
#include "app/Publish.h"
#include "model/ConfigFile.h"
#include "model/Prmn.h"
#include "opc/Core.h"
#include "opc/StationBridge.h"
#include "platform/AtomicFile.h"
#include "platform/LoopCore.h"
#include "platform/Paths.h"
#include "support/FileNames.h"
#include "support/TraceFiles.h"

namespace telegate {

TOPCForm::TOPCForm(TAppContext& ctx, IMainLoop& loop, std::string exePath, IFormView* view)
    : ctx_(ctx), loop_(loop), exePath_(std::move(exePath)), view_(view) {
    iniPath_ = IniPathForExe(exePath_);
    const std::filesystem::path exe = Utf8Path(exePath_);
    webDir_ = FindOwnFile(PathToUtf8(
        (exe.has_parent_path() ? exe.parent_path() : std::filesystem::path(".")) / "web"));
    loop_.onException = [this](const char* what, const char* type) {
        ApplicationEvents1Exception(what != nullptr ? what : "", type != nullptr ? type : "");
    };
    ctx_.ErrorReporter.SetExitFunction([this](int code) {
        halted_ = true;
        loop_.quit(code);
    });
}

TOPCForm::~TOPCForm() {
    // No more queued OPC writes towards the polling that goes now.
    ctx_.Opc->StopUpdateLoop();
    if (polling_ != nullptr) {
        // The workers' last reports need the loop; a quit loop drops them, so the
        // workers end at once (a loop that has quit already keeps its exit code).
        loop_.quit(0);
        polling_.reset();
    }
    loop_.onException = nullptr;
    ctx_.ErrorReporter.SetExitFunction({});
}

void TOPCForm::OpcInit() {
    ctx_.Opc->Init("Telegate.OPCServer", "Telegate", false);
    ctx_.OpcBridge->Install(*ctx_.Opc);
}

void TOPCForm::OpcStart() {
    try {
        ctx_.Opc->Start();
        ctx_.Opc->StartUpdateLoop();
    } catch (const std::exception& e) {
        ApplicationEvents1Exception(e.what(), DemangledTypeName(typeid(e).name()));
    } catch (...) {
    }
}

void TOPCForm::FormCreate() {
    // 1. Language and captions.
    ctx_.LangCode = kLangEnglish;
    if (view_ != nullptr) view_->SetLang(ctx_.LangCode);
    // 2. The "lifebit" item gets its identifier when the address space is built.
    ctx_.LifebitId = 0;
    // 3. One hour as a date-time span.
    ctx_.OneHour = kOneHour;
    // 4. Every item starts with quality 1.
    ctx_.Items.SetInitialQualities();
    // 5. Numbers are written and parsed with "." whatever the locale says.
    std::setlocale(LC_NUMERIC, "C");
    // 6. The working directory, shown to the operator.
    std::error_code ec;
    ctx_.CurrentDir = PathToUtf8(std::filesystem::current_path(ec));
    if (view_ != nullptr) view_->ShowCurrentDir(ctx_.CurrentDir);
    // 7. The program ini file.
    const std::string iniProblem = ctx_.Settings.ReadProgramIni(iniPath_);
    // 8. The journal, with the category mask of the settings; then what could not
    // be read, so that it reaches the journal too.
    ctx_.MessBuff.Reset(kJournalSize, ctx_.Settings.MBufFlag);
    ReportUnreadableSettings(iniProblem);
    // 9. The error catalogue.
    ctx_.ErrLstArm = TErrLstArm();
    // 10. The display-option lists.
    if (view_ != nullptr) view_->CreateComboBoxes(ctx_.Settings);
    // 11. The type catalogue is built with the context; it holds no run-time state.
    // 12. The workstation signal table starts empty.
    ctx_.ArmSignals.Clear();
    // 13. The station table from "iec104.cfg", after the leftovers of interrupted
    // writes are gone; what it could not take in is reported.
    RemoveLeftoverTempFiles();
    LoadStationConfig(ctx_, kConfigFileName, kExceptionLogName);
    // 14. The 64 connection parameter records, zeroed.
    ctx_.Prmn = TPrmnTable{};
    // 15, 16. The device list and the tray icon.
    if (view_ != nullptr) {
        view_->Refresh_ListBox(DeviceNames());
        view_->ShowTrayIcon("Telegate");
    }
    // 17. Web server and trace switches.
    ReportUnreadableSettings(ctx_.Settings.ReadCnf(kCnfIniName));
    // 18. Polling starts by itself when there is something to poll.
    if (ctx_.Stations.Kol_KP > 0) {
        ctx_.OprosFlag = true;
        Begin_Opros();
    }
}

void TOPCForm::ReportUnreadableSettings(const std::string& problem) {
    if (!problem.empty())
        ReportToOperator(ctx_, kExceptionLogName, {problem}, "telegate::ESettingsUnreadable");
}

void TOPCForm::RemoveLeftoverTempFiles() {
    for (const char* name : {kConfigFileName, kStationListFileName, kPrmnFileName, kCnfIniName})
        for (const std::string& gone : telegate::RemoveLeftoverTempFiles(".", name))
            ctx_.MessBuff.Put(0, "Удалён временный файл прерванной записи: " + gone,
                              ctx_.Clock.Now());
}

void TOPCForm::Begin_Opros() {
    if (polling_ == nullptr) {
        TPollingOptions options;
        options.WebFolder = Utf8Path(webDir_);
        options.Log = pollingLog_;
        polling_ =
            std::make_unique<TPolling>(ctx_, loop_, std::move(options),
                                       pollingView_ != nullptr ? *pollingView_ : TPollingView{});
    }
    polling_->Begin_Opros();
}

bool TOPCForm::FormCloseQuery() {
    savedOnClose_ = false;
    keptOnClose_ = false;
    // A fatal stop leaves every file as it is.
    if (halted_) return true;
    try {
        WriteConfigFile(kConfigFileName, ctx_.Stations);
        savedOnClose_ = true;
    } catch (const EConfigIncomplete& e) {
        // Writing would lose the lines the load could not take in.
        keptOnClose_ = true;
        ReportToOperator(ctx_, kExceptionLogName, {e.what()}, "telegate::EConfigIncomplete");
    } catch (const std::exception& e) {
        // The close goes on: an operator who asked to close gets a closed program,
        // and the old file is still there. The failure is recorded.
        ApplicationEvents1Exception(e.what(), DemangledTypeName(typeid(e).name()));
        ctx_.Notifier.ShowError(e.what());
    }
    return true;
}

void TOPCForm::FormClose() {
    ctx_.Opc->ShutDown();
}

void TOPCForm::SetFolders(const TProgramFolders& folders) {
    iniPath_ = folders.IniPath;
    webDir_ = folders.WebDir;
}

void TOPCForm::SetPollingView(const TPollingView& view) {
    pollingView_ = std::make_unique<TPollingView>(view);
}

int32_t TOPCForm::OpcServerCount() const {
    return polling_ != nullptr ? polling_->OpcServerCount() : 0;
}

int32_t TOPCForm::OpcGroupCount() const {
    return polling_ != nullptr ? polling_->OpcGroupCount() : 0;
}

void TOPCForm::CloseApplication() {
    if (!FormCloseQuery()) return;
    FormClose();
    loop_.quit(savedOnClose_ || keptOnClose_ ? 0 : 1);
}

void TOPCForm::ApplicationEvents1Exception(std::string_view message,
                                           std::string_view className) noexcept {
    try {
        AppendExceptionLog(ctx_.Clock.Now(), message, className, kExceptionLogName);
    } catch (...) {
    }
}

std::vector<std::string> TOPCForm::DeviceNames() const {
    std::vector<std::string> names;
    for (int n = 1; n <= ctx_.Stations.Kol_KP && n <= kMaxKP; ++n)
        names.push_back(ctx_.Stations.KP_arr[n].NameKP);
    return names;
}

}  // namespace telegate
