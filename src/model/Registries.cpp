#include "model/Registries.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "model/StationTable.h"
#include "support/ErrorCatalogue.h"
#include "support/ErrorReport.h"
#include "support/FileNames.h"
#include "support/Journal.h"
#include "support/TraceFiles.h"

namespace telegate {

namespace {

constexpr uint32_t kJournalError = 0;
// An error box that is always shown (still counted with the others).
constexpr int kAlwaysShow = INT_MAX;

void AppendHexOrZero(std::string& out, int32_t value, int digits) {
    char buf[16];
    int n;
    if (value == 0)
        n = std::snprintf(buf, sizeof buf, "%*d", digits, 0);
    else
        n = std::snprintf(buf, sizeof buf, "%0*X", digits, static_cast<uint32_t>(value));
    out.append(buf, static_cast<size_t>(n > 0 ? n : 0));
}

}  // namespace

// ---------------------------------------------------------------------------------

TTitBound::TTitBound(bool prcontrol, double ARawMin, double ARawMax, double AEngMin, double AEngMax,
                     double APredMin, double APredMax, double AAvarMin, double AAvarMax) {
    if (prcontrol)
        SetValue(ARawMin, ARawMax, AEngMin, AEngMax, APredMin, APredMax, AAvarMin, AAvarMax);
}

void TTitBound::SetValue(double ARawMin, double ARawMax, double AEngMin, double AEngMax,
                         double APredMin, double APredMax, double AAvarMin, double AAvarMax) {
    RawMin = ARawMin;
    RawMax = ARawMax;
    EngMin = AEngMin;
    EngMax = AEngMax;
    PredMin = APredMin;
    PredMax = APredMax;
    AvarMin = AAvarMin;
    AvarMax = AAvarMax;
}

double RawToEng(const TTitBound* bound, double valueRaw) {
    if (!bound) return valueRaw;
    const double d = bound->RawMax - bound->RawMin;
    if (!(d > 0)) return valueRaw;
    return bound->EngMin + (valueRaw - bound->RawMin) * ((bound->EngMax - bound->EngMin) / d);
}

TTitBoundTable::TTitBoundTable() : TitBound_arr(static_cast<size_t>(MAXTITARM) + 1) {}

const TTitBound* TTitBoundTable::Add(const TTitBound& bound) {
    if (Kol_TitBound >= MAXTITARM) return nullptr;
    ++Kol_TitBound;
    TitBound_arr[static_cast<size_t>(Kol_TitBound)] = bound;
    return &TitBound_arr[static_cast<size_t>(Kol_TitBound)];
}

const TTitBound* TTitBoundTable::Get(int32_t n) const {
    return n >= 1 && n <= Kol_TitBound ? &TitBound_arr[static_cast<size_t>(n)] : nullptr;
}

// ---------------------------------------------------------------------------------

const char* KpTypeAddrText(int kpta) {
    switch (kpta) {
        case kpta_CPPS:
            return "IEC";
        case kpta_KP:
            return "IECk";
        case kpta_UDP:
            return "UDP";
        default:
            return "????";
    }
}

TKpList::TKpList() : List(static_cast<size_t>(MAX_KPLIST)) {}

std::string TKpList::Add(const TKpEthernet& kp, const TErrLstArm& errLst) {
    if (FCount >= MAX_KPLIST) return errLst.GetMess(1001);
    List[static_cast<size_t>(FCount)] = kp;
    ++FCount;
    return {};
}

TKpEthernet* TKpList::FindKP_KpID(int32_t KpID) {
    for (int32_t i = 0; i < FCount; ++i)
        if (List[static_cast<size_t>(i)].ID == KpID) return &List[static_cast<size_t>(i)];
    return nullptr;
}

const TKpEthernet* TKpList::FindKP_KpID(int32_t KpID) const {
    return const_cast<TKpList*>(this)->FindKP_KpID(KpID);
}

TKpEthernet* TKpList::FindKP_sstID(int32_t sstID) {
    for (int32_t i = 0; i < FCount; ++i)
        if (List[static_cast<size_t>(i)].sstID == sstID) return &List[static_cast<size_t>(i)];
    return nullptr;
}

const TKpEthernet* TKpList::FindKP_sstID(int32_t sstID) const {
    return const_cast<TKpList*>(this)->FindKP_sstID(sstID);
}

TKpEthernet* TKpList::GetIndKP(int32_t ind) {
    return ind >= 0 && ind < FCount ? &List[static_cast<size_t>(ind)] : nullptr;
}

const TKpEthernet* TKpList::GetIndKP(int32_t ind) const {
    return ind >= 0 && ind < FCount ? &List[static_cast<size_t>(ind)] : nullptr;
}

TKpEthernet* TKpList::NextKp(const TKpEthernet* kp) {
    for (int32_t i = 0; i < FCount; ++i)
        if (&List[static_cast<size_t>(i)] == kp) return GetIndKP(i + 1);
    return nullptr;
}

std::string TKpList::ReadKpList(const std::string& file, const std::vector<KpTypeAddr>& kinds,
                                const TRegistryEnv& env) {
    Clear();
    std::string err;
    std::error_code ec;
    if (!std::filesystem::exists(Utf8Path(file), ec)) {
        err = "Нет файла " + file;
    } else {
        TTextFile f;
        if (OpenTextFile(f, file, 'r', err)) {
            TSplitArray split(50, ',');
            std::string cppsAddress;
            std::string line;
            while (err.empty() && f.ReadLine(line)) {
                if (line.empty() || line[0] == ';') continue;
                split.SplitString(line);
                if (GetSignalType(split.GetField(0)) != stKP) continue;
                if (split.nvar < 7) {
                    err = "Мало параметров в строке:\r" + line;
                    break;
                }
                TKpEthernet kp;
                kp.ID = FieldToInt(split.GetField(1));
                kp.sstID = FieldToInt(split.GetField(2));
                const int32_t kpta = FieldToInt(split.GetField(3));
                kp.name = split.GetField(4);
                const std::string& ip = split.GetField(5);
                kp.Port = FieldToInt(split.GetField(6));
                if (kpta < kpta_CPPS || kpta > kpta_UDP) continue;
                kp.kpta = static_cast<KpTypeAddr>(kpta);
                if (std::find(kinds.begin(), kinds.end(), kp.kpta) == kinds.end()) continue;
                if (kp.name == "ЦППС") cppsAddress = ip;
                if (kp.ID <= 0 || kp.sstID <= 0) continue;
                kp.IPAddress = kp.kpta == kpta_CPPS ? cppsAddress : ip;
                if (kp.IPAddress.empty()) continue;
                if (FindKP_KpID(kp.ID)) continue;
                kp.prPresent = false;
                err = Add(kp, env.ErrLst);
            }
        }
    }
    if (!err.empty()) env.Report.Report("Error in ReadKpList(" + file + ") ", err, 10);

    const std::string title = "Чтение файла " + file;
    for (int32_t i = 0; i < FCount; ++i) {
        for (int32_t j = i + 1; j < FCount; ++j) {
            const TKpEthernet& a = List[static_cast<size_t>(i)];
            const TKpEthernet& b = List[static_cast<size_t>(j)];
            if (a.ID == b.ID) env.Report.Report(title, env.ErrLst.GetMess(1006, a.name), 3);
            if (a.name == b.name) env.Report.Report(title, env.ErrLst.GetMess(1007, a.name), 3);
        }
    }
    return err;
}

// ---------------------------------------------------------------------------------

TSst::TSst(int32_t AId, const std::string& AName) : FId(AId), FName(AName) {
    flss.Op(FSet, bflssNoFileTxt);
    flss.Op(FSet, bflssNoFileCif);
    flss.Op(FSet, bflssNoKPP1);
    flss.Op(FSet, bflssChanged);
}

TSstList::TSstList() : Sst_arr(static_cast<size_t>(MAX_SST) + 1) {}

bool TSstList::Add(int32_t AId, const std::string& AName) {
    if (Kol_Sst >= MAX_SST) return false;
    ++Kol_Sst;
    Sst_arr[static_cast<size_t>(Kol_Sst)] = TSst(AId, AName);
    return true;
}

TSst* TSstList::FindSst(int32_t AId) {
    for (int32_t n = 1; n <= Kol_Sst; ++n)
        if (Sst_arr[static_cast<size_t>(n)].FId == AId) return &Sst_arr[static_cast<size_t>(n)];
    return nullptr;
}

TSst* TSstList::GetSst(int32_t n) {
    return n >= 1 && n <= Kol_Sst ? &Sst_arr[static_cast<size_t>(n)] : nullptr;
}

// ---------------------------------------------------------------------------------

SignalType GetSignalType(std::string_view k) {
    if (k == "SST") return stSST;
    if (k == "SS") return stSS;
    if (k == "KP") return stKP;
    if (k == "TS") return stTS;
    if (k == "TIT" || k == "TI") return stTIT;
    if (k == "PER") return stPER;
    if (k == "TIM") return stTIM;
    if (k == "POPR") return stPOPR;
    if (k == "OPROS") return stOPROS;
    if (k == "TSRU") return stTSRU;
    if (k == "PBTPU" || k == "CHAN") return stSystem;
    if (k == "VER") return stVER;
    return stErr;
}

const char* SignalTypeName(SignalType st) {
    switch (st) {
        case stSST:
            return "SST";
        case stSS:
            return "SS";
        case stKP:
            return "KP";
        case stTS:
            return "TS";
        case stTIT:
            return "TIT";
        case stTSRU:
            return "RU";
        case stVER:
            return "VER";
        default:
            return "?????";
    }
}

TArmRec::TArmRec(int32_t sstID, SignalType st, const std::string& DispName, int32_t flags)
    : FsstID(sstID), FDispName(DispName), Fst(st) {
    fl.fln = flags;
    fl.Op(FSet, bfl_TxtAbsent);
    fl.Op(FSet, bfl_CifAbsent);
    fl.Op(FSet, bfl_KpAbsent);
}

void TArmRec::SetParam(int32_t kpID, const std::string& ACCS, int32_t ASigASDUAddr,
                       int32_t ASigObjAddr, int32_t ACtrlASDUAddr, int32_t ACtrlObjAddr,
                       const TTitBound* ApTitBound, const std::string& IP_adr, int32_t IP_Port) {
    FKpID = kpID;
    FKKS = ACCS;
    FSigASDUAddr = ASigASDUAddr;
    FSigObjAddr = ASigObjAddr;
    FCtrlASDUAddr = ACtrlASDUAddr;
    FCtrlObjAddr = ACtrlObjAddr;
    pTitBound1 = ApTitBound;
    FIP_address = IP_adr;
    Fport2 = IP_Port;
}

std::string TArmRec::ToString(int /*tip*/) const {
    TFlagArm f = fl;
    std::string s;
    s.reserve(160);
    s += FixedWidth(SignalTypeName(Fst), 3);
    s += ' ';
    char buf[48];
    const int n = std::snprintf(buf, sizeof buf, "(%3d)(%3d)", FsstID, FKpID);
    s.append(buf, static_cast<size_t>(n > 0 ? n : 0));
    s += ' ';
    s += FixedWidth(FDispName, 24);
    s += ' ';
    s += FixedWidth(FKKS, 20);
    s += "  ";
    AppendHexOrZero(s, FSigASDUAddr, 4);
    s += ' ';
    AppendHexOrZero(s, FSigObjAddr, 6);
    s += "  ";
    AppendHexOrZero(s, FCtrlASDUAddr, 4);
    s += ' ';
    AppendHexOrZero(s, FCtrlObjAddr, 6);
    s += "   ";
    if (f.Op(FYes, bfl_TxtAdd))
        s += "txt";
    else if (f.Op(FYes, bfl_MstAdd))
        s += "MST";
    else if (f.Op(FYes, bfl_CsvAdd))
        s += "Csv";
    else if (f.Op(FYes, bfl_CifAdd))
        s += "Cif";
    else
        s += "???";
    s += " (";
    s += f.Op(FYes, bfl_CifAbsent) ? "c" : ".";
    s += f.Op(FYes, bfl_KpAbsent) ? "К" : ".";
    s += f.Op(FYes, bfl_TxtAbsent) ? "x" : ".";
    s += ") ";
    s += f.Op(FYes, bfl_RepCCS) ? '#' : ' ';
    s += f.Op(FYes, bfl_RepName) ? 'N' : ' ';
    s += f.Op(FYes, bfl_RepAddr) ? 'A' : ' ';
    s += f.Op(FYes, bfl_RepCtrAddr) ? 'U' : ' ';
    if (f.Op(FYes, bfl_Invers))
        s += " И ";
    else if (f.Op(FYes, bfl_PrRaw))
        s += " R ";
    else
        s += " . ";
    s += ' ';
    const bool disp = f.Op(FYes, bfl_PrDisp);
    const bool rza = f.Op(FYes, bfl_PrRZA);
    s += disp ? (rza ? "ДР" : "Д ") : (rza ? " Р" : "??");
    return s;
}

TArmSignals::TArmSignals() : List(static_cast<size_t>(MAX_ARM_LIST)) {}

TArmRec* TArmSignals::AddRec(int32_t sstID, SignalType st, const std::string& DispName,
                             int32_t flags) {
    if (FCount >= MAX_ARM_LIST) return nullptr;
    TArmRec& r = List[static_cast<size_t>(FCount)];
    r = TArmRec(sstID, st, DispName, flags);
    ++FCount;
    return &r;
}

TArmRec* TArmSignals::GetRec(int32_t ind) {
    return ind >= 0 && ind < FCount ? &List[static_cast<size_t>(ind)] : nullptr;
}

const TArmRec* TArmSignals::GetRec(int32_t ind) const {
    return ind >= 0 && ind < FCount ? &List[static_cast<size_t>(ind)] : nullptr;
}

// ---------------------------------------------------------------------------------

std::string TRegistries::ReadElemCodeFile(const std::string& /*AFileName*/, bool prKpOnly,
                                          const TStationTable& st, const TRegistryEnv& env) {
    std::string err;
    SstList.Clear();
    ArmSignals.Clear();
    TitBounds.Clear();
    if (KpList.GetCount() == 0) {
        const std::string text = env.ErrLst.GetMess(1002);
        env.Report.Report("ReadElemCodeFile() ", text, kAlwaysShow);
        return text;
    }
    // Stations in use, never beyond the records of the table.
    const int32_t kolKP = std::clamp<int32_t>(st.Kol_KP, 0, kKPRecords);

    for (int32_t i = 0; i < KpList.GetCount(); ++i) KpList.GetIndKP(i)->prPresent = false;
    for (int32_t n = 1; n <= kolKP; ++n) {
        TKpEthernet* kp = KpList.FindKP_KpID(TStationTable::StationId(n));
        if (kp && kp->sstID == TStationTable::StationId(n)) kp->prPresent = true;
    }

    for (int32_t n = 1; n <= kolKP; ++n) {
        if (!KpList.FindKP_sstID(TStationTable::StationId(n))) continue;
        if (!SstList.Add(TStationTable::StationId(n), st.KP_arr[n].NameKP)) {
            err = "много подстанций " + std::to_string(SstList.Kol_Sst) + " не более " +
                  std::to_string(TSstList::MAX_SST);
        }
    }

    const auto checkAsdu = [&env](const TArmRec& rec) {
        if (rec.FSigASDUAddr == 0)
            env.Journal.Put(kJournalError, "Error: адрес ASDU=0 ? " + rec.ToString(0));
    };
    // The registry cannot hold the configuration: the program stops (the exit
    // function decides how; when it returns, the build is refused).
    const auto overflow = [&env]() {
        const std::string text = "мала константа MAX_ARM_LIST";
        env.Report.FatalStop(text);
        return text;
    };

    for (int32_t n = 1; n <= kolKP; ++n) {
        const int32_t id = TStationTable::StationId(n);
        const T_KP& station = st.KP_arr[n];
        const TKpEthernet* kp = KpList.FindKP_KpID(id);
        if (!kp && prKpOnly) continue;
        const std::string& ip = kp ? kp->IPAddress : station.IP;
        const int32_t port = kp ? kp->Port : station.Port;

        const int32_t kolTS = std::clamp<int32_t>(station.Kol_TS, 0, kMaxTagsOfKind);
        for (int32_t k = 1; k <= kolTS; ++k) {
            const T_TS& ts = station.TS_arr[k];
            TArmRec* rec = ArmSignals.AddRec(id, stTS, RemoveQuotes(ts.NameTS), kArmFlagsTS);
            if (!rec) return overflow();
            rec->SetParam(id, "", ts.AdrASDU, ts.AdrIOA, ts.AdrASDU_TU, ts.AdrIOA_TU, nullptr, ip,
                          port);
            checkAsdu(*rec);
        }
        const int32_t kolTI = std::clamp<int32_t>(station.Kol_TI, 0, kMaxTagsOfKind);
        for (int32_t k = 1; k <= kolTI; ++k) {
            const T_TI& ti = station.TI_arr[k];
            TArmRec* rec = ArmSignals.AddRec(id, stTIT, RemoveQuotes(ti.NameTI), kArmFlagsTIT);
            if (!rec) return overflow();
            const TTitBound* bound = TitBounds.Add(
                TTitBound(true, ti.Min_TM_Diap, ti.Max_TM_Diap, ti.Min_Eng_Diap, ti.Max_Eng_Diap,
                          ti.Min_Eng_Diap, ti.Max_Eng_Diap, ti.Min_Eng_Diap, ti.Max_Eng_Diap));
            if (!bound) env.Journal.Put(kJournalError, "Error: " + env.ErrLst.GetMess(1003));
            rec->SetParam(id, "", ti.AdrASDU, ti.AdrIOA, 0, 0, bound, ip, port);
            checkAsdu(*rec);
        }
    }

    if (!err.empty()) env.Report.Report("ReadElemCodeFile() ", err, 10);

    for (int32_t i = 0; i < KpList.GetCount(); ++i) {
        const TKpEthernet* kp = KpList.GetIndKP(i);
        if (!kp->prPresent)
            env.Report.Report("просмотр флага, что все КП легальные ",
                              env.ErrLst.GetMess(1005, kp->name), 2);
    }
    return {};
}

}  // namespace telegate
