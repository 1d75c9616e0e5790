// The run-time registries that tie a tag to its station, rebuilt at every start of
// polling: the station registry (read back from the station list file "zzz.dat"),
// the substation list, the signal registry (one record per configured tag) and the
// range table with the raw-to-engineering scaling of measured values.
//
// Threading: built and changed on the main thread only. They do not change while
// polling runs (apart from the substation flags), so readers on other threads may
// read records between two builds.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/FlagWord.h"
#include "support/TextFields.h"

namespace telegate {

class TErrLstArm;
class TErrorReporter;
class TMessBuff;
class TStationTable;

// ---------------------------------------------------------------------------------
// Ranges and scaling

class TTitBound {
  public:
    TTitBound() = default;
    // prcontrol false leaves the record all zero.
    TTitBound(bool prcontrol, double ARawMin, double ARawMax, double AEngMin, double AEngMax,
              double APredMin, double APredMax, double AAvarMin, double AAvarMax);
    void SetValue(double ARawMin, double ARawMax, double AEngMin, double AEngMax, double APredMin,
                  double APredMax, double AAvarMin, double AAvarMax);

    double RawMin = 0, RawMax = 0, EngMin = 0, EngMax = 0;
    double PredMin = 0, PredMax = 0, AvarMin = 0, AvarMax = 0;
};

// Linear conversion of a raw value through a range; the raw value unchanged when
// there is no range or its raw width is not positive. Not clamped.
double RawToEng(const TTitBound* bound, double valueRaw);

// The range table: entries 1..Kol_TitBound of TitBound_arr are in use. Allocated
// once with its full capacity; entries are never moved, so pointers to them stay
// valid for the life of the table (a later build refills them in place).
class TTitBoundTable {
  public:
    static constexpr int32_t MAXTITARM = 60000;

    TTitBoundTable();
    void Clear() { Kol_TitBound = 0; }
    // Stores the range at the next entry and returns it; nullptr when the table is full.
    const TTitBound* Add(const TTitBound& bound);
    // Entry n (1..Kol_TitBound), or nullptr.
    const TTitBound* Get(int32_t n) const;

    std::vector<TTitBound> TitBound_arr;  // index 0 unused
    int32_t Kol_TitBound = 0;
};

// ---------------------------------------------------------------------------------
// Station registry

enum KpTypeAddr : uint8_t { kpta_CPPS = 0, kpta_KP = 1, kpta_UDP = 2, kpta_Empty = 3 };
// "IEC", "IECk", "UDP", "????".
const char* KpTypeAddrText(int kpta);

struct TKpEthernet {
    int32_t ID = 0;
    int32_t sstID = 0;
    KpTypeAddr kpta = kpta_Empty;
    std::string name;
    std::string IPAddress;
    int32_t Port = 0;
    bool prPresent = false;
};

// What the registries report through: the message catalogue, the error boxes with
// their process-wide counter, and the journal.
struct TRegistryEnv {
    const TErrLstArm& ErrLst;
    TErrorReporter& Report;
    TMessBuff& Journal;
};

class TKpList {
  public:
    static constexpr int32_t MAX_KPLIST = 60;

    TKpList();
    void Clear() { FCount = 0; }

    // Appends a copy; returns the catalogue text 1001 when the 60 slots are full
    // (the station is then discarded), empty otherwise.
    std::string Add(const TKpEthernet& kp, const TErrLstArm& errLst);
    TKpEthernet* FindKP_KpID(int32_t KpID);
    const TKpEthernet* FindKP_KpID(int32_t KpID) const;
    TKpEthernet* FindKP_sstID(int32_t sstID);
    const TKpEthernet* FindKP_sstID(int32_t sstID) const;
    // Station at ind (0..FCount-1), or nullptr.
    TKpEthernet* GetIndKP(int32_t ind);
    const TKpEthernet* GetIndKP(int32_t ind) const;
    TKpEthernet* FirstKp() { return GetIndKP(0); }
    // The station after kp in registry order; nullptr after the last or for a foreign kp.
    TKpEthernet* NextKp(const TKpEthernet* kp);
    int32_t GetCount() const { return FCount; }

    // Empties the registry and reads the station list file into it, accepting the
    // address kinds given. Problems are reported (error boxes); the returned text is
    // the reading error, empty when the file was read through. A field that must be
    // an integer and is not raises EConvertError (stations read before stay).
    std::string ReadKpList(const std::string& file, const std::vector<KpTypeAddr>& kinds,
                           const TRegistryEnv& env);

    std::vector<TKpEthernet> List;  // MAX_KPLIST slots
    int32_t FCount = 0;
};

// ---------------------------------------------------------------------------------
// Substations

enum TBitFlagSst : uint8_t {
    bflssNoFileTxt,
    bflssNoFileCif,
    bflssNoKPP1,
    bflssChanged,
    bflssReceiveTsTit,
    bflssErrTypeEl,
    bflssRepCCS,
    bflssRepAddr,
    bflssRepCtrAddr,
    bflssRepName,
    bflssSelImitKp,
    bflssPrTU,
    bflssNewTs,
    bflssNewTit,
};
using TFlagSst = TTypedFlag<TBitFlagSst>;

class TSst {
  public:
    TSst() = default;
    TSst(int32_t AId, const std::string& AName);

    int32_t FId = 0;
    std::string FName;
    TFlagSst flss;
    TCrcCheck FCifCrc;
};

// Sst_arr: substations 1..Kol_Sst (index 0 unused), at most 64.
class TSstList {
  public:
    static constexpr int32_t MAX_SST = 64;

    TSstList();
    void Clear() { Kol_Sst = 0; }
    // Adds substation (AId, AName) as a new one; false when 64 are there.
    bool Add(int32_t AId, const std::string& AName);
    // First substation with that identifier, or nullptr.
    TSst* FindSst(int32_t AId);
    // Substation n (1..Kol_Sst), or nullptr.
    TSst* GetSst(int32_t n);

    std::vector<TSst> Sst_arr;
    int32_t Kol_Sst = 0;
};

// ---------------------------------------------------------------------------------
// Signal registry

enum SignalType : uint8_t {
    stSST = 0,
    stSS = 1,
    stKP = 2,
    stTS = 3,
    stTIT = 4,
    stPER = 5,
    stTIM = 6,
    stPOPR = 7,
    stOPROS = 8,
    stTSRU = 9,
    stSystem = 10,
    stVER = 11,
    stErr = 12,
};
// The kind of a configuration line by its keyword (case-sensitive); stErr for any other.
SignalType GetSignalType(std::string_view keyword);
// "SST", "SS", "KP", "TS", "TIT", "RU", "VER", else "?????".
const char* SignalTypeName(SignalType st);

enum TBitFlagArm : uint8_t {
    bfl_ArmNew,
    bfl_TxtAdd,
    bfl_MstAdd,
    bfl_CsvAdd,
    bfl_CifAdd,
    bfl_Invers,
    bfl_PrDisp,
    bfl_PrRZA,
    bfl_PrRaw,
    bfl_RepAddr,
    bfl_RepCtrAddr,
    bfl_RepName,
    bfl_RepCCS,
    bfl_TxtAbsent,
    bfl_CifAbsent,
    bfl_KpAbsent,
};
using TFlagArm = TTypedFlag<TBitFlagArm>;

// Flags the builder gives two-state signals and measured values.
constexpr int32_t kArmFlagsTS = 8272;   // 0x2050
constexpr int32_t kArmFlagsTIT = 8280;  // 0x2058

class TArmRec {
  public:
    TArmRec() = default;
    // A record with the flags word; bfl_TxtAbsent, bfl_CifAbsent, bfl_KpAbsent are added.
    TArmRec(int32_t sstID, SignalType st, const std::string& DispName, int32_t flags);

    void SetParam(int32_t kpID, const std::string& ACCS, int32_t ASigASDUAddr, int32_t ASigObjAddr,
                  int32_t ACtrlASDUAddr, int32_t ACtrlObjAddr, const TTitBound* ApTitBound,
                  const std::string& IP_adr, int32_t IP_Port);
    // Both command addresses non-zero.
    bool GetprTU() const { return FCtrlASDUAddr != 0 && FCtrlObjAddr != 0; }
    double RawToEng(double valueRaw) const { return telegate::RawToEng(pTitBound1, valueRaw); }
    // One diagnostic line (tip 0).
    std::string ToString(int tip = 0) const;

    int32_t FsstID = 0;
    int32_t FKpID = 0;
    std::string FDispName;
    SignalType Fst = stErr;
    std::string FKKS;
    int32_t FSigASDUAddr = 0;
    int32_t FSigObjAddr = 0;
    int32_t FCtrlASDUAddr = 0;
    int32_t FCtrlObjAddr = 0;
    int32_t Fport2 = 1111;
    std::string FIP_address;
    const TTitBound* pTitBound1 = nullptr;  // an entry of the range table, or none
    TFlagArm fl;
};

class TArmSignals {
  public:
    static constexpr int32_t MAX_ARM_LIST = 20000;

    TArmSignals();
    void Clear() { FCount = 0; }
    // Appends a new record and returns it; nullptr when the 20000 slots are full.
    TArmRec* AddRec(int32_t sstID, SignalType st, const std::string& DispName, int32_t flags);
    // Record at ind (0..FCount-1), or nullptr.
    TArmRec* GetRec(int32_t ind);
    const TArmRec* GetRec(int32_t ind) const;
    int32_t GetCount() const { return FCount; }

    std::vector<TArmRec> List;  // slots are reused by later builds, never moved
    int32_t FCount = 0;
};

// ---------------------------------------------------------------------------------
// The four registries of one application, and their build.

class TRegistries {
  public:
    TKpList KpList;
    TSstList SstList;
    TArmSignals ArmSignals;
    TTitBoundTable TitBounds;

    // The station list file into the station registry (see TKpList::ReadKpList).
    std::string ReadKpList(const std::string& file, const std::vector<KpTypeAddr>& kinds,
                           const TRegistryEnv& env) {
        return KpList.ReadKpList(file, kinds, env);
    }

    // Builds the substations, the signal records and the ranges from the station
    // table (AFileName only names the build in messages; prKpOnly limits the build to
    // stations present in the station registry). Problems are reported; the returned
    // text is non-empty when the build was refused or cut short (empty station
    // registry, more than MAX_ARM_LIST records): the caller must not go on polling.
    // More than MAX_ARM_LIST records is a fatal stop (env.Report.FatalStop).
    std::string ReadElemCodeFile(const std::string& AFileName, bool prKpOnly,
                                 const TStationTable& st, const TRegistryEnv& env);
};

}  // namespace telegate
