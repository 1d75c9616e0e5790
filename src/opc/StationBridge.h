// The bridge between the OPC core and the station data: builds the address space
// from the station table (one branch per station with its "Connected" leaf, one
// leaf per tag and the read-only link statistics in a branch "Diagnostics", and
// the root leaf "lifebit"), refreshes nodes from the item image and the statistics
// image, and turns a client's write of a two-state tag into a telecontrol command.
//
// Threads: the address space is built once, on the thread that calls the core's
// InitAddressSpace (the application does it on the main thread when polling
// starts, so the identifiers are there before the first publication). Reads and
// writes come from client threads and the update loop; the item image is read
// only through its locked snapshots.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <unordered_set>

#include "iec104/CommandResult.h"
#include "iec104/LinkStatistics.h"
#include "iec104/TuTypes.h"
#include "model/StationTable.h"
#include "opc/Core.h"
#include "support/Clock.h"

namespace telegate::opc {

constexpr const char* kOpclFileName = "opcl.txt";

// Identifiers of the "Diagnostics" branches and leaves: beyond the item image, so
// the tags' identifiers stay as they were. Station n's branch is
// kFirstDiagnosticsId + (n - 1) * kDiagnosticsStride, its leaves follow it.
constexpr int32_t kFirstDiagnosticsId = 1000000;
constexpr int32_t kDiagnosticsStride = 64;

// The leaves of a "Diagnostics" branch in address-space order (name, canonical
// type). Counts are VT_UI4 (wrapping like any counter), octets VT_R8, times
// VT_DATE in local time (0: never), LastGIDuration VT_R8 in ms (-1: none ended).
struct TDiagnosticsLeaf {
    const char* Name;
    VARTYPE Type;
};
std::span<const TDiagnosticsLeaf> DiagnosticsLeaves();
// Leaf index's value of stats, as a VARIANT of the leaf's type (the caller clears it).
VARIANT DiagnosticsValue(const TLinkStatistics& stats, size_t index);

// The switch state a client's written value means: a non-zero number or
// VARIANT_TRUE is on, zero or VARIANT_FALSE off, and a text "true"/"false" (any
// case) or a number; false for anything else.
bool WrittenSwitchState(const VARIANT& value, bool& on);

class TStationBridge {
  public:
    // Starts the select/execute sequence of tag number tag (its index in the tag
    // list) at its station and answers its result (never null); wired by the
    // application to its ExecuteTU.
    using TExecuteTU =
        std::function<std::shared_ptr<TCommandResult>(int32_t tag, TTUCommand command)>;

    // All references must outlive the bridge. dir is where "opcl.txt" is appended to.
    // statistics (optional) feeds the "Diagnostics" leaves; without it they read zero.
    TStationBridge(TStationTable& stations, TItemImage& items, const IClock& clock, std::string dir,
                   TExecuteTU executeTU, const TStatisticsImage* statistics = nullptr);

    // Installs the three callbacks in the core.
    void Install(sOPC& core);

    void BridgeInitAddressSpace(sOPC& core);
    void BridgeRead(sOPCNode& node);
    // done gets S_OK when the station confirmed the command, else the item's error.
    void BridgeWrite(sOPCNode& node, const VARIANT& value, sWriteDone done);

    // Identifier of "lifebit"; 0 until the address space is built.
    int32_t Nom_OPC_Lifebit() const { return Rules()->Lifebit; }
    // The station table no longer has the layout the address space was built from
    // (stations, tags, names, command addresses or time-stamp choice changed).
    bool LayoutChanged() const;

  private:
    // A leaf of a "Diagnostics" branch: refreshed from the statistics image.
    void ReadDiagnostics(sOPCNode& node, int kp, size_t index);

    TStationTable& FStations;
    TItemImage& FItems;
    const IClock& FClock;
    std::string FDir;
    TExecuteTU FExecuteTU;
    const TStatisticsImage* FStatistics;
    // What the address space was built with; replaced whole by a rebuild, so
    // readers on other threads always see one consistent set.
    struct TLeafRules {
        int32_t Lifebit = 0;
        std::unordered_set<int32_t> Commandable;    // two-state leaves with a command address
        std::unordered_set<int32_t> StationStamps;  // leaves of stations with their own stamps
        size_t Layout = 0;                          // LayoutHash of the table
        int32_t DiagnosticsStations = 0;            // stations with a "Diagnostics" branch
    };
    std::shared_ptr<const TLeafRules> Rules() const;
    size_t LayoutHash() const;

    sOPC* FCore = nullptr;
    mutable std::mutex FRulesMu;
    std::shared_ptr<const TLeafRules> FRules = std::make_shared<TLeafRules>();
};

}  // namespace telegate::opc
