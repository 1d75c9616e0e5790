// Publication of station data: the station list file "zzz.dat", the build of the
// registries and the tag list from the station table at every start of polling
// (LoadData), and the pass that copies the tags' values, qualities and time stamps
// into the item image five times a second (OutOPCTsTit). A pass writes only the
// tags stored into since the previous pass (every tag after a build, and every tag
// of a station whose identifiers or publication settings changed); the station's
// link state is written at every pass.
//
// Identifiers: station n's k-th two-state tag (k from 0, in TS_arr order) is
// published at Nom_OPC_TS + k, its k-th measurement at Nom_OPC_TI + k, its link
// state at Nom_OPC_Alarm. The binding is made once per build from the signal
// registry order (which follows TS_arr and TI_arr); a tag the tag list refused
// leaves its identifier unpublished instead of shifting its successors.
//
// Everything here runs on the main thread. The item image is written under its
// lock, once per pass.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "model/Prmn.h"
#include "model/Registries.h"
#include "model/StationTable.h"
#include "model/Tags.h"
#include "support/DateTime.h"

namespace telegate {

class TAppContext;

constexpr const char* kStationListFileName = "zzz.dat";
constexpr const char* kElemCodeFileName = "ElemCode.000";

// Identifiers below this get a leaf of their own; the item image ends at kMaxItemId.
constexpr int32_t kFirstIdWithoutLeaf = 60000;

// OPC quality of an IEC 60870-5-104 quality descriptor: invalid 0, not topical 20,
// substituted 216, blocked 28, else 192 (first matching bit in that order).
int32_t OpcQualityOfIec(uint8_t quality);

// The time stamp published for a value stamped dtStamp by station kp: the station's
// stamp plus Popravka_Time hours when the station passes its stamps (Time_To_OPC),
// the stamp is set and lies within three hours of now; now otherwise.
TDateTime PublicationStamp(TDateTime dtStamp, const T_KP& kp, TDateTime now, TDateTime oneHour);

// The text of "zzz.dat" (UTF-8, CR LF after every line): one line per station
// 1..Kol_KP, portOf(n) giving the port of its line.
std::string StationListText(const TStationTable& table, const std::function<int32_t(int)>& portOf);
// Writes it as Windows-1251, replacing the file atomically. False (with the reason
// in *error) when it cannot be written.
bool CreateStationListFile(const std::string& path, const TStationTable& table,
                           const std::function<int32_t(int)>& portOf, std::string* error = nullptr);

// True when the station's identifiers have been assigned (all three non-zero): the
// OPC address space assigns them when it is built (TAppContext::BuildOpcAddressSpace).
inline bool ItemIdsAssigned(const T_KP& kp) {
    return kp.Nom_OPC_Alarm > 0 && kp.Nom_OPC_TS > 0 && kp.Nom_OPC_TI > 0;
}

class TPublisher {
  public:
    // ctx must outlive the publisher.
    explicit TPublisher(TAppContext& ctx);
    TPublisher(const TPublisher&) = delete;
    TPublisher& operator=(const TPublisher&) = delete;

    // Creates the two tag category lists and a new, empty tag list (the previous
    // one is released: nothing may hold it any more).
    void NewTagList();

    // Builds the station registry from the station list file in dir, the
    // substations, signal records and ranges from the station table, and the tag
    // list from the signal records. Returns an empty text on success; otherwise the
    // reason polling must not go on (a bad number in the station list file, a
    // refused build). The problems themselves are reported as the registries do.
    std::string LoadData(const std::string& dir);

    // One publication pass over every station whose identifiers are assigned.
    // OUT_TO_GRID is accepted for the caller's sake; the grids are the device view's.
    void OutOPCTsTit(bool OUT_TO_GRID);

    TRegistries& Registries() { return *FReg; }
    const TRegistries& Registries() const { return *FReg; }
    // The tag list of the last build; null before the first NewTagList.
    TTagSignalList* Tags() { return FTags.get(); }
    const TTagSignalList* Tags() const { return FTags.get(); }
    const TTagCategoryList* KindList() const { return FKinds.get(); }

    // Tags bound to station n (1-based) by the last build: two-state or measured.
    int32_t BoundCount(int n, bool measured) const;
    // Station n's tags of a kind as the last build bound them: (k, tag index) for
    // its k-th two-state or measured tag (k from 0, in TS_arr / TI_arr order). A
    // tag the tag list refused (an address taken by another tag) has no pair.
    std::vector<std::pair<int32_t, int32_t>> BoundTags(int n, bool measured) const;

  private:
    struct TEntry {
        int32_t tag;      // index in the tag list
        int32_t ordinal;  // k: the tag is published at first identifier + k
        const TArmRec* rec;
        uint32_t published = 0;  // the tag's StoreCount when last published
    };
    // What a station's publication depends on besides its tags.
    struct TStationKey {
        int32_t ts = 0, ti = 0;
        bool pereschet = false, timeToOpc = false;
        int32_t popravka = 0;
        bool valid = false;  // false: publish every tag of the station
        bool operator==(const TStationKey&) const = default;
    };
    struct TRange {
        int32_t tsBegin = 0, tsEnd = 0, tiBegin = 0, tiEnd = 0;
    };
    void BuildPlan();

    TAppContext& FCtx;
    std::unique_ptr<TRegistries> FReg;
    std::unique_ptr<TTagCategoryList> FKinds;  // variant 1: the tag kinds
    std::unique_ptr<TTagCategoryList> FData;   // variant 2: the data kinds
    std::unique_ptr<TTagSignalList> FTags;
    std::vector<TEntry> FEntries;             // per station: its TS entries, then its TI entries
    std::vector<TRange> FRanges;              // index n - 1 for station n
    std::vector<TStationKey> FPublishedKeys;  // index n - 1: as of the last pass
};

}  // namespace telegate
