#include "iec104/Asdu.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "iec104/Apdu.h"
#include "model/Tags.h"

namespace telegate {

namespace {

constexpr int32_t kCotActivation = 6;
constexpr int32_t kCotActCon = 7;
constexpr int32_t kCotActTerm = 10;
constexpr uint8_t kQualifierStation = 20;

void AppendInt(std::string& out, int64_t v) {
    char buf[24];
    const int n = std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v));
    out.append(buf, static_cast<size_t>(n));
}

// "AAAA:OOOOOO": common address as 4 and object address as 6 upper-case hex digits.
void AppendAddresses(std::string& out, int32_t asdu, int32_t obj) {
    char buf[40];
    const int n = std::snprintf(buf, sizeof buf, "%04X:%06X", static_cast<unsigned>(asdu),
                                static_cast<unsigned>(obj));
    out.append(buf, static_cast<size_t>(n));
}

}  // namespace

TAsduSizes AsduSizes(const TPrmn* pprm) {
    TAsduSizes s;
    if (pprm == nullptr) return s;
    s.szCOT = std::clamp(pprm->sz_COT, 1, 2);
    s.szASDUAddress = std::clamp(pprm->sz_ASDUAddress, 0, 2);
    s.szInfObjAddress = std::clamp(pprm->sz_InfObjAddress, 0, 3);
    return s;
}

bool TIEC_ASDUt::Create(const TTypeIdentList& types, std::span<const uint8_t> src,
                        const TPrmn& Apprm, int32_t count, int32_t pos) {
    ptid = nullptr;
    SeqNumb1 = COT = lenData = ObjAddress = OriginatorAddress = ASDUAddress = nelem = 0;
    BlockAddress = 0;
    BlockDate = 0;
    pprm = &Apprm;
    FSizes = AsduSizes(&Apprm);

    const int32_t header = 2 + FSizes.szCOT + FSizes.szASDUAddress;
    if (pos < 0 || count < header || static_cast<size_t>(pos) > src.size() ||
        static_cast<size_t>(count) > src.size() - static_cast<size_t>(pos))
        return false;
    const uint8_t* p = src.data() + pos;
    SeqNumb1 = p[1];
    COT = p[2];
    if (FSizes.szCOT >= 2) OriginatorAddress = p[3];
    const uint8_t* ca = p + 2 + FSizes.szCOT;
    if (FSizes.szASDUAddress >= 1) ASDUAddress = ca[0];
    if (FSizes.szASDUAddress >= 2) ASDUAddress |= ca[1] << 8;
    nelem = SeqNumb1 & 0x7F;
    lenData = std::min(count - header, kDataSize);
    if (lenData > 0) std::memcpy(Data1, p + header, static_cast<size_t>(lenData));
    if (lenData >= FSizes.szInfObjAddress) {
        int32_t at = 0;
        ObjAddress = GetObjAddress(Data1, at, FSizes.szInfObjAddress);
    }
    ptid = types.FindTypeIdent(p[0]);
    return true;
}

void TIEC_ASDUt::Create(const TTypeIdentList& types, int32_t TypeIdent, int32_t SeqNumb,
                        int32_t ACOT, int32_t AASDUAddress, int32_t AObjAddress, int32_t AlenData,
                        const uint8_t* data, const TPrmn& Apprm) {
    ptid = types.FindTypeIdent(TypeIdent);
    SeqNumb1 = SeqNumb;
    COT = ACOT;
    ASDUAddress = AASDUAddress;
    ObjAddress = AObjAddress;
    OriginatorAddress = Apprm.OriginatorAddress;
    nelem = SeqNumb & 0x7F;
    BlockAddress = 0;
    BlockDate = 0;
    pprm = &Apprm;
    FSizes = AsduSizes(&Apprm);
    lenData = data == nullptr ? 0 : std::clamp(AlenData, 0, kCommandDataMax);
    if (lenData > 0) std::memcpy(Data1, data, static_cast<size_t>(lenData));
}

int32_t TIEC_ASDUt::ObjectSize() const {
    if (ptid == nullptr) return 0;
    return isSeqence() ? ptid->objlen : ptid->objlen + FSizes.szInfObjAddress + ptid->timelen;
}

void TIEC_ASDUt::ReceiveRaspak1(const TAsduSinks& sinks) {
    if (ptid == nullptr) return;
    BlockAddress = 0;
    BlockDate = 0;
    ReceivedAt = sinks.clock.Now();
    const TTypeIdent& t = *ptid;
    const bool sq = isSeqence();
    const int32_t available = sq ? lenData - FSizes.szInfObjAddress - t.timelen : lenData;
    const int32_t objSize = ObjectSize();
    if (static_cast<int64_t>(objSize) * nelem != available) {
        if (sinks.journal.Enabled(kJournalErr))
            sinks.journal.Put(kJournalErr, "(err) ReceiveRaspak() ошибка в размере блока" + t.Text);
        return;
    }
    int32_t pos = 0;
    if (sq) {
        BlockAddress = GetObjAddress(Data1, pos, FSizes.szInfObjAddress);
        if (t.timelen > 0)
            GetDate(Data1, lenData - t.timelen, BlockDate, t.timelen, sinks.clock, sinks.journal);
    }
    const bool wantRemark = sinks.journal.Enabled(kJournalIec2);
    std::string remark;
    for (int32_t ielem = 0; ielem < nelem; ++ielem) {
        DecodeObject(ielem, pos, sinks, wantRemark, remark);
        if (wantRemark && !remark.empty()) sinks.journal.Put(kJournalIec2, "(iec2) " + remark);
        pos += objSize;
    }
}

std::string TIEC_ASDUt::RaspakInformObject(int32_t ielem, int32_t idata, const TAsduSinks& sinks) {
    std::string remark;
    ReceivedAt = sinks.clock.Now();
    DecodeObject(ielem, idata, sinks, true, remark);
    return remark;
}

void TIEC_ASDUt::DecodeObject(int32_t ielem, int32_t idata, const TAsduSinks& sinks,
                              bool wantRemark, std::string& remark) {
    remark.clear();
    if (ptid == nullptr) return;
    const TTypeIdent& t = *ptid;
    const bool sq = isSeqence();
    // The object must lie inside Data1: with a sequence the common time tag sits at the
    // end, otherwise address, value and time tag follow one another.
    const int32_t limit = sq ? lenData - t.timelen : lenData;
    if (idata < 0 || static_cast<int64_t>(idata) + ObjectSize() > limit) return;

    int32_t addr = 0;
    if (!sq) addr = GetObjAddress(Data1, idata, FSizes.szInfObjAddress);
    TDateTime time = 0;
    if (t.timelen > 0) {
        if (sq)
            time = BlockDate;
        else
            GetDate(Data1, idata + t.objlen, time, t.timelen, sinks.clock, sinks.journal);
    }

    enum { actTS, actVal, actBits, actOther } action = actOther;
    switch (t.Name) {
        case M_SP_NA:
        case M_SP_TA:
        case M_DP_NA:
        case M_DP_TA:
        case M_SP_TB:
        case M_DP_TB:
            action = actTS;
            break;
        case M_ST_NA:
        case M_ST_TA:
        case M_BO_NA:
        case M_BO_TA:
        case M_ME_NA:
        case M_ME_TA:
        case M_ME_NB:
        case M_ME_TB:
        case M_ME_NC:
        case M_ME_TC:
        case M_PS_NA:
        case M_ME_ND:
        case M_ST_TB:
        case M_BO_TB:
        case M_ME_TD:
        case M_ME_TE:
        case M_ME_TF:
        case M_IT_NA:
        case M_IT_TA:
        case M_IT_TB:
            action = actVal;
            break;
        case M_BO_TC:
            action = actBits;
            break;
        default:
            break;
    }

    if (action == actOther) {
        if (sq) addr = BlockAddress + ielem;
        if (!wantRemark) return;
        switch (t.Name) {
            case C_SC_NA:
                if (COT == kCotActCon) {
                    remark = "подтверждение активации ТУ. Адрес=";
                    AppendInt(remark, addr);
                } else if (COT == kCotActTerm) {
                    remark = "завершение активации ТУ. Адрес=";
                    AppendInt(remark, addr);
                }
                break;
            case C_IC_NA:
                remark = "КП сообщает о завершении Команды опроса";
                break;
            case C_CD_NA:
                remark = "Кадр задержки не ждали. Игнорируем";
                break;
            case M_EI_NA:
            case C_CS_NA:
                break;
            default:
                remark = "Нет обработки принятого кадра с типом=";
                AppendInt(remark, t.Code);
                break;
        }
        return;
    }

    if (sq) addr = BlockAddress + (action == actBits ? 8 * ielem : ielem);
    TTagSignal* tag = nullptr;
    if (sinks.tags != nullptr) sinks.tags->FindTag(ASDUAddress, addr, IP_address2, IP_port3, tag);
    if (tag == nullptr) {
        if (wantRemark) {
            remark = "Нет адреса ";
            AppendAddresses(remark, ASDUAddress, addr);
            remark += " для бработки принятого кадра с типом=";
            AppendInt(remark, t.Code);
        }
        return;
    }
    const std::span<const uint8_t> octets(Data1, static_cast<size_t>(lenData));
    if (action == actTS) {
        tag->ChangeTS1(t, octets, idata, time, remark, ReceivedAt);
    } else {
        tag->ChangeVal(t, octets, idata, time, remark, ReceivedAt);
        if (action == actBits && tag->FPrNew) {
            std::string more;
            sinks.tags->RaspakNewTag(t, *tag, more);
            if (!more.empty()) remark += more;
        }
    }
}

std::string TIEC_ASDUt::ToString(const TTypeIdentList& types) const {
    if (ptid == nullptr) return {};
    std::string out = "TypeIdent=(";
    AppendInt(out, ptid->Code);
    out += ")";
    out += ptid->Text;
    out += isSeqence() ? ", SQ=1" : ", SQ=0";
    char buf[64];
    int n = std::snprintf(buf, sizeof buf, ", ASDUAddr=%04X, ObjAddr=%06X nelem=",
                          static_cast<unsigned>(ASDUAddress), static_cast<unsigned>(ObjAddress));
    out.append(buf, static_cast<size_t>(n));
    AppendInt(out, nelem);
    out += " COT=";
    AppendInt(out, COT);
    const std::string* cot = types.GetCotText(COT);
    if (cot != nullptr)
        out += "(" + *cot + ")";
    else
        out += "(" + std::string(11, '?') + ")";
    return out;
}

std::string TIEC_ASDUt::CreateAsduTUCommand(const TTypeIdentList& types, TTUCommand TUCommand,
                                            TStepTU step, int32_t ASDUAddress, int32_t ObjAddress,
                                            const TPrmn& pprm, TIEC_ASDUt& asdu) {
    uint8_t state = 0;
    if (TUCommand == tuCommand_On)
        state = 1;
    else if (TUCommand != tuCommand_Off)
        return "CreateAsduTUCommand() Команда не опознана!";
    // Qualifier 1 (short pulse); select bit unless this is the execute.
    const uint8_t sco =
        static_cast<uint8_t>(state | 0x04 | (step != stuFormExecute1 ? 0x80 : 0x00));
    const TTypeIdent* sc = types.FindTypeIdent(C_SC_NA);
    asdu.Create(types, sc != nullptr ? sc->Code : 45, 1, kCotActivation, ASDUAddress, ObjAddress, 1,
                &sco, pprm);
    return {};
}

void TIEC_ASDUt::CreateAsduInterrogation(const TTypeIdentList& types, const TPrmn& pprm,
                                         TIEC_ASDUt& asdu) {
    const uint8_t qoi = kQualifierStation;
    const TTypeIdent* ic = types.FindTypeIdent(C_IC_NA);
    asdu.Create(types, ic != nullptr ? ic->Code : 100, 1, kCotActivation, pprm.CommonAsduAddress, 0,
                1, &qoi, pprm);
}

bool T104APDU::Create(const TIEC_ASDUt& pasdu) {
    lenData = 0;
    if (pasdu.ptid == nullptr) return false;
    const TAsduSizes sz = AsduSizes(pasdu.pprm);
    const int32_t dataLen = std::clamp(pasdu.lenData, 0, TIEC_ASDUt::kDataSize);
    const int32_t total = 6 + 2 + sz.szCOT + sz.szASDUAddress + sz.szInfObjAddress + dataLen;
    if (total - 2 > 255) return false;
    Data[0] = kApduStart;
    Data[2] = Data[3] = Data[4] = Data[5] = 0;
    int32_t i = 6;
    Data[i++] = static_cast<uint8_t>(pasdu.ptid->Code);
    Data[i++] = static_cast<uint8_t>(pasdu.SeqNumb1);
    Data[i++] = static_cast<uint8_t>(pasdu.COT);
    // The originator octet exists only where the station's cause field has two octets;
    // writing it into a one-octet layout would shift every address after it.
    if (sz.szCOT >= 2) {
        const int32_t orig =
            pasdu.pprm != nullptr ? pasdu.pprm->OriginatorAddress : pasdu.OriginatorAddress;
        Data[i++] = static_cast<uint8_t>(orig);
    }
    if (sz.szASDUAddress > 0) Data[i++] = static_cast<uint8_t>(pasdu.ASDUAddress);
    if (sz.szASDUAddress >= 2) Data[i++] = static_cast<uint8_t>(pasdu.ASDUAddress >> 8);
    for (int32_t k = 0; k < sz.szInfObjAddress; ++k)
        Data[i++] = static_cast<uint8_t>(pasdu.ObjAddress >> (8 * k));
    if (dataLen > 0) std::memcpy(Data + i, pasdu.Data1, static_cast<size_t>(dataLen));
    i += dataLen;
    lenData = i;
    Data[1] = static_cast<uint8_t>(lenData - 2);
    return true;
}

}  // namespace telegate
