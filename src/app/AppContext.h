// The application context: every process-wide object of the running program, owned
// in one place and handed to the parts that need it by reference. Nothing here is
// global, so tests build as many contexts as they like.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/Settings.h"
#include "iec104/CommandResult.h"
#include "iec104/LinkStatistics.h"
#include "iec104/TuTypes.h"
#include "model/Prmn.h"
#include "model/Registries.h"
#include "model/StationTable.h"
#include "model/TypeCatalogue.h"
#include "support/Clock.h"
#include "support/ErrorCatalogue.h"
#include "support/ErrorReport.h"
#include "support/Journal.h"
#include "support/Notifier.h"

namespace telegate {

namespace opc {
class sOPC;
class TStationBridge;
}  // namespace opc

constexpr int kJournalSize = 1000;  // messages the journal holds
constexpr int kLangEnglish = 1;

class TAppContext {
  public:
    // clock and notifier must outlive the context. All tables are allocated now at
    // full capacity (the station table alone is some 50 MB) and live as long as
    // the context; start-up (TOPCForm::FormCreate) brings them to their start state.
    // filesDir is where the OPC bridge appends "opcl.txt" (empty: the working
    // directory, the executable's in the running program).
    TAppContext(const IClock& clock, INotifier& notifier, std::string filesDir = {});
    ~TAppContext();
    TAppContext(const TAppContext&) = delete;
    TAppContext& operator=(const TAppContext&) = delete;

    const IClock& Clock;
    INotifier& Notifier;

    TSettings Settings;
    TMessBuff MessBuff;  // the message journal, kJournalSize lines
    TErrorReporter ErrorReporter;
    TErrLstArm ErrLstArm;
    TTypeIdentList TypeIdentList;
    TStationTable Stations;  // KP_arr and Kol_KP
    TItemImage Items;        // Indent_arr and Value_arr
    TPrmnTable Prmn;         // the 64 connection parameter records
    TArmSignals ArmSignals;  // the workstation signal table
    // Every station's link statistics as of the last publication pass (any thread).
    TStatisticsImage Statistics;

    int32_t LangCode = kLangEnglish;  // caption set of the operator interface
    int32_t LifebitId = 0;            // OPC item identifier of "lifebit"
    TDateTime OneHour = kOneHour;     // a date-time span of one hour
    bool OprosFlag = false;           // polling is running
    std::string CurrentDir;           // the working directory (the executable's)
    // The configuration problems the operator was last told of (LoadStationConfig).
    std::vector<std::string> ReportedConfigProblems;

    // The OPC server core and the bridge between it and the station table and item
    // image. Declared after the tables: destroyed before them.
    std::unique_ptr<opc::sOPC> Opc;
    std::unique_ptr<opc::TStationBridge> OpcBridge;

    // Builds the OPC address space from the station table (again when the table
    // was edited since the last build; otherwise a later call, or a client that
    // came first, leaves it as it is), installing the bridge in the core when
    // start-up has not done it, and takes the identifier of "lifebit" from it.
    // Main thread.
    void BuildOpcAddressSpace();

    // The telecontrol entry the OPC bridge's writes go to: the running polling's
    // ExecuteTU. Set and cleared by the polling object on the main thread; called
    // from any thread. Without an entry a write starts nothing (false).
    using TTelecontrolEntry =
        std::function<std::shared_ptr<TCommandResult>(int32_t tag, TTUCommand command)>;
    void SetTelecontrol(TTelecontrolEntry entry);
    // Never null: without an entry the command is refused (tuo_NotPolling).
    std::shared_ptr<TCommandResult> Telecontrol(int32_t tag, TTUCommand command);

  private:
    std::mutex telecontrolMu_;
    std::shared_ptr<const TTelecontrolEntry> telecontrol_;
};

}  // namespace telegate
