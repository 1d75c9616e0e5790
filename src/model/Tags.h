// Tags at run time: one TTagSignal per configured signal or measurement, holding the
// last value its station sent (raw octets, quality octet, time tag, data kind), and
// the tag list that the ASDU decoder stores received objects into.
//
// Threading: everything here runs on the main thread. Readers on other threads must
// go through the main loop (or a lock shared with it) before calling GetArmValue.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "model/TypeCatalogue.h"
#include "support/DateTime.h"

namespace telegate {

class TMessBuff;
class TArmSignals;
class TSst;
class TSstList;

// Kinds of tags (0..3) and kinds of received data (4..13).
enum TagCategName : uint8_t {
    tcn_TS = 0,
    tcn_TIT = 1,
    tcn_TII = 2,
    tcn_TU = 3,
    dcn_SingleTS1 = 4,
    dcn_DoubleTS = 5,
    dcn_TITnorm = 6,
    dcn_TITscale1 = 7,
    dcn_TITfloat = 8,
    dcn_TII = 9,
    dcn_Diskr7 = 10,
    dcn_TS8a = 11,
    dcn_TS32 = 12,
    dcn_TS16IZM = 13,
    // No kind: a tag without a kind, a value that has not arrived yet.
    tcn_None = 255,
};

// Number of value octets a value of the kind keeps (0 for tcn_None).
int32_t CategValueLen(TagCategName tc);

struct TTagCategory {
    TagCategName tcName = tcn_None;
    int32_t valuelen = 0;
    std::string FDescr;
};

// Variant 1: the tag kinds; any other variant: the data kinds.
class TTagCategoryList {
  public:
    explicit TTagCategoryList(int variant);
    // The entry of that kind, or nullptr when this list has none.
    const TTagCategory* GetPtc(TagCategName tcName) const;

    std::vector<TTagCategory> List;
    int32_t Count = 0;
};

// One value of a tag. Plain data: copying it allocates nothing.
struct TValue1 {
    TagCategName ptc = tcn_None;  // the tag's kind
    TagCategName pdc = tcn_None;  // data kind of the last stored value
    TQualityType qtype = TQualityType::Q0;
    uint8_t bv[8] = {};
    uint8_t bout1[8] = {};
    bool prQualit = false;
    uint8_t Qualit = 0x80;
    TDateTime dt = 0;  // the last time tag the station sent (kept when a value has none)
    // When the value was received (local time, 0: not known), and whether it
    // carried a time tag of its own.
    TDateTime received = 0;
    bool timeTagged = false;

    // Stores a value: octets holds at least CategValueLen(Apdc) octets. time: its
    // time tag (0: none); receivedAt: when it arrived (0: not known).
    void SetParam1(TQualityType Aqtype, TagCategName Apdc, const uint8_t* octets, bool hasQuality,
                   uint8_t quality, TDateTime time, TDateTime receivedAt = 0);
    // The time of the value shown: its own time tag, else when it was received
    // (0 when neither is known).
    TDateTime ValueTime() const { return timeTagged ? dt : received; }
    // True when this (new) value equals the old one for change detection.
    bool Equival(const TValue1& old) const;
    void GetArmValue(int32_t& iValue, uint8_t& Quality, double& fValue, TDateTime& dtStamp) const;
    std::string ToStringValue() const;
    std::string ToStringQuality() const;
    // Appends the value text to out (no other allocation when out has capacity).
    void AppendValueText(std::string& out) const;
};

class TTagSignalList;

class TTagSignal {
  public:
    TTagSignal() = default;
    // Create(source): a copy of the source's value and fields. A copy belongs to no
    // list (it reports nowhere) until a list adds it.
    TTagSignal(const TTagSignal& source);
    TTagSignal& operator=(const TTagSignal& source);
    // Moving keeps the list membership (the list's own storage moves its tags).
    TTagSignal(TTagSignal&&) noexcept = default;
    TTagSignal& operator=(TTagSignal&&) noexcept = default;

    void Init(const std::string& AName, int32_t AAsduAddress, int32_t AObjAddress,
              const std::string& IP_addr_host, int32_t IP_POrt99, const TTagCategory* ptc,
              int32_t AIndArm);

    // Store a received single or double point / any other monitored value. octets are
    // the ASDU's information octets (Data1), index the position of the object's first
    // value octet, time its time tag (0 when none), receivedAt when the ASDU arrived
    // (0: not known). remark: empty, or what went wrong.
    void ChangeTS1(const TTypeIdent& tid, std::span<const uint8_t> octets, int32_t index,
                   TDateTime time, std::string& remark, TDateTime receivedAt = 0);
    void ChangeVal(const TTypeIdent& tid, std::span<const uint8_t> octets, int32_t index,
                   TDateTime time, std::string& remark, TDateTime receivedAt = 0);

    // Change detection after a store; ReceiveEquival = new value equals the old one.
    void SetOnReceive(bool ReceiveEquival);
    void GetArmValue(int32_t& iValue, uint8_t& Quality, double& fValue, TDateTime& dtStamp) const {
        Value.GetArmValue(iValue, Quality, fValue, dtStamp);
    }
    void SetInvalid();
    bool isInvalid() const { return (Value.Qualit & 0x80) != 0; }
    uint8_t GetQualityByte() const { return Value.prQualit ? Value.Qualit : 255; }
    std::string GetValueStr() const { return Value.ToStringValue(); }
    std::string GetQualityStr() const { return Value.ToStringQuality(); }
    std::string toString() const;
    // Counts the stores into Value (every SetOnReceive, an invalidation): whoever copies
    // the value elsewhere compares it to see whether there is anything new.
    uint32_t StoreCount() const { return FStores; }

    // Set through the methods (stores, SetInvalid) so that the list's drain sees it.
    bool FPrNew = false;
    bool FprReceive = false;
    std::string FName;
    int32_t FAsduAddress = 0;
    int32_t FObjAddress = 0;
    int32_t FIndArm = -1;
    int32_t FPort4 = 0;
    std::string FIP_adrr4;
    TValue1 Value;

  private:
    friend class TTagSignalList;
    void MarkNew();
    void StoreAndDetect(const TValue1& old, bool changeLine);
    void WriteChangeLine();

    // Set when the tag is added to a list: where the tag reports to.
    TTagSignalList* FOwner = nullptr;
    int32_t FListInd = -1;
    uint32_t FStores = 0;
    TSst* FSst = nullptr;   // the substation of the tag's registry record
    int32_t FSstIdent = 0;  // station identifier of the tag's registry record
};

class TTagSignalList {
  public:
    // journal: change lines and refusals. arm / sst: the registries the tags' FIndArm
    // refer to (may be null: then no substation marks and station identifier 0).
    explicit TTagSignalList(TMessBuff& journal, const TArmSignals* arm = nullptr,
                            TSstList* sst = nullptr);
    TTagSignalList(const TTagSignalList&) = delete;
    TTagSignalList& operator=(const TTagSignalList&) = delete;

    void Clear();
    int32_t GetCount() const { return static_cast<int32_t>(List.size()); }
    // nullptr when ind is outside 0..count-1.
    TTagSignal* GetTag(int32_t ind);
    const TTagSignal* GetTag(int32_t ind) const;

    // Appends a copy of the tag. Returns the remark: empty when added, otherwise the
    // refusal text (also written to the journal with category 0).
    std::string AddTag(const TTagSignal& tag);

    // Index of the first tag with these addresses (host compared as exact text), or -1;
    // tag receives it (nullptr when none). With the station index built (BuildIndex),
    // a table lookup in the station's own index; otherwise a hash lookup. No scan.
    int32_t FindTag(int32_t AsduAddress, int32_t ObjAddress, std::string_view IPaddress10,
                    int32_t IPPort10, TTagSignal*& tag);

    // Builds the station index: per station (host and port) and common address, a
    // table by object address. Built once the list is complete (polling start);
    // adding or clearing tags drops it until it is built again.
    void BuildIndex();
    bool IndexBuilt() const { return FIndexBuilt; }

    // The first tag marked new: clears its mark and returns true; false when none.
    bool GetChangedTag(TTagSignal*& tag);

    // Spreads the bits of a received bit pattern of the source tag over the single-bit
    // tags that follow its object address.
    void RaspakNewTag(const TTypeIdent& tid, const TTagSignal& src, std::string& remark);

    std::vector<TTagSignal> List;

  private:
    friend class TTagSignal;
    struct TKey {
        int32_t asdu;
        int32_t obj;
        int32_t port;
        int32_t host;
        bool operator==(const TKey&) const = default;
    };
    struct TKeyHash {
        size_t operator()(const TKey& k) const noexcept;
    };
    int32_t FindHost(std::string_view host) const;
    // The tags of one station and common address: a dense table over the object
    // addresses FirstObj.. when they lie close together, otherwise sorted pairs.
    struct TAsduIndex {
        int32_t asdu = 0;
        int32_t firstObj = 0;
        std::vector<int32_t> dense;                       // tag index or -1
        std::vector<std::pair<int32_t, int32_t>> sparse;  // (object address, tag index)
        int32_t Find(int32_t obj) const;
    };
    struct TStationIndex {
        int32_t host = -1;
        int32_t port = 0;
        std::vector<TAsduIndex> asdus;
    };
    const TStationIndex* FindStation(int32_t host, int32_t port) const;

    TMessBuff& FJournal;
    const TArmSignals* FArm;
    TSstList* FSstList;
    std::vector<std::string> FHosts;  // distinct hosts of the listed tags
    mutable int32_t FLastHost = -1;   // lookup cache: consecutive objects share a host
    std::unordered_map<TKey, int32_t, TKeyHash> FIndex;
    std::vector<TStationIndex> FStations;  // built by BuildIndex
    bool FIndexBuilt = false;
    mutable const TStationIndex* FLastStation = nullptr;  // consecutive objects share a station
    mutable const TAsduIndex* FLastAsdu = nullptr;
    int32_t FFirstNew = 0;  // no tag below this index is marked new
};

}  // namespace telegate
