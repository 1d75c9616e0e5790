// The application context: every process-wide object of the running program, owned
// in one place and handed to the parts that need it by reference. Nothing here is
// global, so tests build as many contexts as they like.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/Settings.h"
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

constexpr int kJournalSize = 1000;  // messages the journal holds
constexpr int kLangEnglish = 1;

class TAppContext {
  public:
    // clock and notifier must outlive the context. All tables are allocated now at
    // full capacity (the station table alone is some 50 MB) and live as long as
    // the context; start-up (TOPCForm::FormCreate) brings them to their start state.
    TAppContext(const IClock& clock, INotifier& notifier);
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

    int32_t LangCode = kLangEnglish;  // caption set of the operator interface
    int32_t LifebitId = 0;            // OPC item identifier of "lifebit"
    TDateTime OneHour = kOneHour;     // a date-time span of one hour
    bool OprosFlag = false;           // polling is running
    std::string CurrentDir;           // the working directory (the executable's)
    // The configuration problems the operator was last told of (LoadStationConfig).
    std::vector<std::string> ReportedConfigProblems;
};

}  // namespace telegate
