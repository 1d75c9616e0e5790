// The station table (every configured controlled station with its two tag lists)
// and the item image (value, quality and time stamp of every OPC item).
//
// Both are allocated once at full capacity when their owner is created and never
// grown or shrunk; access is by index with no allocation.
//
// Threads: every writer of the station table runs on the main thread. The item
// image is written on the main thread and read on OPC and web threads; see the
// locking rule at TItemImage.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/DateTime.h"

namespace telegate {

// Capacities.
constexpr int kKPRecords = 34;        // records of KP_arr, numbered 1..34
constexpr int kMaxKP = 32;            // stations in use (Kol_KP) at most
constexpr int kMaxTagsOfKind = 7000;  // TS tags and TI tags per station, numbered 1..7000
constexpr int kMaxItemId = 60000;     // item identifiers 0..60000 in Indent_arr and Value_arr
constexpr int kStationIdBase = 1000;  // station n has identifier 1000 + n in files and registries

// Tag for the TFixedArray constructor that builds each element from its index.
struct TConstructEach {};

// A fixed array indexed First..Last (inclusive). The storage is allocated once by
// the constructor and never changes size (or, with the storage constructor, it is
// a view of elements that the caller constructed and keeps alive). operator[] does
// not check the index: callers keep it within Low()..High() (use Contains() or at()
// at trust boundaries). Copying copies element by element into existing storage.
template <typename T, int First, int Last>
class TFixedArray {
    static_assert(Last >= First);

  public:
    static constexpr int kCount = Last - First + 1;

    TFixedArray() : data_(Allocate()), owned_(true) {
        std::uninitialized_value_construct_n(data_, kCount);
    }
    // Elements made by init(index) for every index First..Last.
    template <typename Init>
    TFixedArray(TConstructEach, Init init) : data_(Allocate()), owned_(true) {
        for (int i = 0; i < kCount; ++i) ::new (static_cast<void*>(data_ + i)) T(init(First + i));
    }
    // A view of kCount constructed elements owned by the caller.
    explicit TFixedArray(T* storage) : data_(storage), owned_(false) {}
    TFixedArray(const TFixedArray& other) : TFixedArray() { *this = other; }
    TFixedArray& operator=(const TFixedArray& other) {
        if (this != &other) std::copy(other.data_, other.data_ + kCount, data_);
        return *this;
    }
    ~TFixedArray() {
        if (!owned_) return;
        std::destroy_n(data_, kCount);
        ::operator delete(data_, std::align_val_t(alignof(T)));
    }

    static constexpr int Low() { return First; }
    static constexpr int High() { return Last; }
    static constexpr bool Contains(long long i) { return i >= First && i <= Last; }

    T& operator[](int i) { return data_[i - First]; }
    const T& operator[](int i) const { return data_[i - First]; }
    T& at(long long i) {
        if (!Contains(i)) throw std::out_of_range("TFixedArray index");
        return data_[i - First];
    }
    const T& at(long long i) const {
        if (!Contains(i)) throw std::out_of_range("TFixedArray index");
        return data_[i - First];
    }
    T* data() { return data_; }
    const T* data() const { return data_; }
    T* begin() { return data_; }
    T* end() { return data_ + kCount; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + kCount; }

  private:
    static T* Allocate() {
        return static_cast<T*>(::operator new(sizeof(T) * kCount, std::align_val_t(alignof(T))));
    }
    T* data_;
    bool owned_;
};

// One measured-value tag.
struct T_TI {
    int32_t NomerKP = 0;  // owning station number (dialog path only)
    std::string NameKP;   // owning station name (dialog path only)
    std::string NameTI;   // tag name, also the OPC leaf name
    int32_t AdrASDU = 0;
    int32_t AdrIOA = 0;
    double Min_TM_Diap = 0.0;  // raw range
    double Max_TM_Diap = 0.0;
    double Min_Eng_Diap = 0.0;  // engineering range
    double Max_Eng_Diap = 0.0;
};

// One two-state tag. Telecontrol is possible only when AdrASDU_TU and AdrIOA_TU
// are both non-zero.
struct T_TS {
    int32_t NomerKP = 0;
    std::string NameKP;
    std::string NameTS;
    int32_t AdrASDU = 0;
    int32_t AdrIOA = 0;
    int32_t AdrASDU_TU = 0;
    int32_t AdrIOA_TU = 0;
};

// One controlled station. Tags 1..Kol_TI of TI_arr and 1..Kol_TS of TS_arr are in use.
// A T_KP of its own (a working copy) owns its tag arrays; the records of a
// TStationTable use the table's tag storage.
struct T_KP {
    T_KP() = default;
    T_KP(T_TI* tiStorage, T_TS* tsStorage) : TI_arr(tiStorage), TS_arr(tsStorage) {}
    T_KP(const T_KP&) = default;
    T_KP& operator=(const T_KP&) = default;

    std::string NameKP;  // also the OPC branch name
    std::string IP;
    int32_t Port = 0;
    int32_t ASDU_Adr = 0;
    int32_t Kol_TI = 0;
    int32_t Kol_TS = 0;
    TFixedArray<T_TI, 1, kMaxTagsOfKind> TI_arr;
    TFixedArray<T_TS, 1, kMaxTagsOfKind> TS_arr;
    int32_t Nom_OPC_1st = 0;    // branch
    int32_t Nom_OPC_Alarm = 0;  // "Connected" leaf
    int32_t Nom_OPC_TS = 0;     // first TS leaf; TS tag k is Nom_OPC_TS + k - 1
    int32_t Nom_OPC_TI = 0;     // first TI leaf; TI tag k is Nom_OPC_TI + k - 1
    bool PereschetTI = false;   // convert measured values to engineering units
    bool Time_To_OPC = false;   // pass the station's time tags to OPC
    int32_t Popravka_Time = 0;  // hours added to received time tags
    int32_t OPROS_KP = 0;       // > 0: periodic general interrogation
    TDateTime Last_opros_KP_Time = 0.0;
    bool Connected = false;
};

// The tag arrays of all 34 station records in two blocks (about 50 MB), so that a
// table is set up with few page faults.
class TTagStorage {
  public:
    TTagStorage();
    ~TTagStorage();
    TTagStorage(const TTagStorage&) = delete;
    TTagStorage& operator=(const TTagStorage&) = delete;
    T_TI* TI(int n) { return ti_ + static_cast<size_t>(n - 1) * kMaxTagsOfKind; }
    T_TS* TS(int n) { return ts_ + static_cast<size_t>(n - 1) * kMaxTagsOfKind; }

  private:
    T_TI* ti_ = nullptr;
    T_TS* ts_ = nullptr;
};

// The station table. KP_arr holds exactly the 34 records 1..34 (there is no record
// 0); stations in use are records 1..Kol_KP with no gaps. Not copyable.
class TStationTable {
    std::unique_ptr<TTagStorage> storage_;  // first: outlives KP_arr

  public:
    TStationTable();
    TStationTable(const TStationTable&) = delete;
    TStationTable& operator=(const TStationTable&) = delete;

    TFixedArray<T_KP, 1, kKPRecords> KP_arr;
    int32_t Kol_KP = 0;
    // What the last load of the configuration file could not take in, one text per
    // problem; empty when the table holds everything the file held. A table with
    // problems is never written over a configuration file (it would lose lines).
    std::vector<std::string> LoadProblems;

    static constexpr int32_t StationId(int n) { return kStationIdBase + n; }
    bool IsStation(long long n) const { return n >= 1 && n <= Kol_KP; }

    // Removes station n (1..Kol_KP): the record of the last station is copied into
    // record n (a full copy, tag arrays included) and Kol_KP decreases by one.
    // The former last record keeps its content. False (nothing changed) when n is
    // not a station in use.
    bool DeleteStation(int n);
};

// One entry of the item image.
struct TIndent {
    int32_t Quality = 0;  // OPC quality; low 16 bits are handed to OPC
    TDateTime Stamp_DateTime = 0.0;
    bool FirstOpros = false;  // not yet handed to OPC since polling started
    uint16_t vtDataType = 0;  // 11 VT_BOOL (TS, "Connected"), 5 VT_R8 (TI)
    int32_t Nomer_Tag = 0;    // index of the item's tag in the tag list
};

// A consistent copy of one item.
struct TItemSnapshot {
    double Value = 0.0;
    int32_t Quality = 0;
    TDateTime Stamp_DateTime = 0.0;
    bool FirstOpros = false;
    uint16_t vtDataType = 0;
    int32_t Nomer_Tag = 0;
};

// The item image: Indent_arr and Value_arr, both indexed by item identifier 0..60000.
//
// Locking rule:
//  - Writers: only the main thread writes Value_arr, Quality and Stamp_DateTime (and
//    everything else except FirstOpros). It writes while holding Lock(); a publication
//    pass takes the lock once for the whole pass, which is short (no I/O, no callbacks).
//  - FirstOpros is also cleared by OPC readers: only through SnapshotAndClearFirstOpros(), which
//    holds the lock.
//  - Readers on any thread other than the main thread use Snapshot() (or hold Lock()
//    while reading several fields); they never read the arrays without the lock.
//  - The main thread may read the arrays without the lock (it is the only writer of
//    everything except FirstOpros).
// Never call out of this object (notifier, journal, loop) while holding Lock().
class TItemImage {
  public:
    TFixedArray<TIndent, 0, kMaxItemId> Indent_arr;
    TFixedArray<double, 0, kMaxItemId> Value_arr;

    std::unique_lock<std::mutex> Lock() const { return std::unique_lock<std::mutex>(mu_); }

    // Value, quality, stamp and the other fields of item id taken under the lock.
    // An id outside 0..60000 gives an all-zero snapshot.
    TItemSnapshot Snapshot(long long id) const;
    // The same, and clears the item's FirstOpros after copying it (an OPC read).
    TItemSnapshot SnapshotAndClearFirstOpros(long long id);

    // Writes value, quality and stamp of one item under the lock; false outside 0..60000.
    bool Publish(long long id, double value, int32_t quality, TDateTime stamp);

    // Main-window creation: Quality of entries 1..60000 becomes 1.
    void SetInitialQualities();
    // Start of polling: FirstOpros of entries 1..60000 becomes true.
    void SetFirstOprosAll();

  private:
    mutable std::mutex mu_;
};

}  // namespace telegate
