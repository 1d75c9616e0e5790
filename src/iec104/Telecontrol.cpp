#include "iec104/Telecontrol.h"

namespace telegate {

namespace {
constexpr int32_t kCotActivationConfirm = 7;
constexpr int32_t kCotNegative = 0x40;  // P/N bit of the cause octet
constexpr uint8_t kSelectBit = 0x80;
}  // namespace

TElemTU::TElemTU(const IClock& clock, TMessBuff& journal, const TTypeIdentList& types,
                 int32_t timeout)
    : AckTimeout(timeout), tmCommand(clock), FClock(clock), FJournal(journal), FTypes(types) {}

TElemTU::~TElemTU() {
    if (FResult) FResult->Complete(tuo_LinkLost);
}

void TElemTU::Finish(TTuOutcome outcome) {
    step1 = stuNone;
    FAwaitExecute = false;
    if (auto r = std::move(FResult)) r->Complete(outcome);
}

void TElemTU::Remark(const std::string& text) {
    if (FJournal.Enabled(128)) FJournal.Put(128, "(iec3)" + text, FClock.Now());
}

void TElemTU::Init(TTUCommand ATUCommand, int32_t ACtrlASDUAddr, int32_t ACtrlObjAddr,
                   const TPrmn& Apprm, bool prDoExec, std::shared_ptr<TCommandResult> result) {
    // A command replaced before its end is reported as failed to its requester.
    if (FResult) FResult->Complete(tuo_Failed);
    FResult = std::move(result);
    TUCommand = ATUCommand;
    prDoExecute = prDoExec;
    FAwaitExecute = false;
    if (ACtrlASDUAddr != 0 && ACtrlObjAddr != 0) {
        CtrlASDUAddr = ACtrlASDUAddr;
        CtrlObjAddr = ACtrlObjAddr;
        pprm = &Apprm;
        step1 = stuInit;
        fl.Op(FSet, btue_TU_Init);
        tmCommand.Start();
        Remark("TU: Инициализация команды ТУ");
    } else {
        FJournal.Put(1, "Error: Ошибка инициализации ТУ. Нет МЭК-адреса ТУ!");
        if (auto r = std::move(FResult)) r->Complete(tuo_NotOperable);
    }
}

void TElemTU::ExecuteNextStep() {
    if (pprm == nullptr) return;
    std::string remark;
    if (step1 == stuInit) {
        step1 = stuFormSelect;
        remark = TIEC_ASDUt::CreateAsduTUCommand(FTypes, TUCommand, step1, CtrlASDUAddr,
                                                 CtrlObjAddr, *pprm, asdu);
        if (remark.empty()) {
            remark = "TU: Сформирована TU-Select";
            fl.Op(FSet, btue_TU_FormSelect);
        } else {
            // Nothing valid was built: the command ends rather than send a stale one.
            Finish(tuo_Failed);
        }
    } else if (step1 == stuActSelect && prDoExecute) {
        step1 = stuFormExecute1;
        remark = TIEC_ASDUt::CreateAsduTUCommand(FTypes, TUCommand, step1, CtrlASDUAddr,
                                                 CtrlObjAddr, *pprm, asdu);
        if (remark.empty()) {
            remark = "TU: Сформирована TU-Execute";
            fl.Op(FSet, btue_TU_FormExecute1);
        } else {
            Finish(tuo_Failed);
        }
    }
    if (!remark.empty()) Remark(remark);
}

bool TElemTU::IsOwnConfirmation(const TIEC_ASDUt& Aasdu, bool select) const {
    if (Aasdu.ptid == nullptr || Aasdu.ptid->Name != C_SC_NA) return false;
    if ((Aasdu.COT & ~kCotNegative) != kCotActivationConfirm) return false;
    // Only the confirmation of this command counts: a late confirmation of another
    // command must not let the execute go out.
    if (Aasdu.ASDUAddress != CtrlASDUAddr || Aasdu.ObjAddress != CtrlObjAddr) return false;
    const int32_t sco = AsduSizes(Aasdu.pprm != nullptr ? Aasdu.pprm : pprm).szInfObjAddress;
    if (Aasdu.isSeqence() || sco >= Aasdu.lenData) return false;
    return ((Aasdu.Data1[sco] & kSelectBit) != 0) == select;
}

bool TElemTU::CheckSelectConfirmation(const TIEC_ASDUt& Aasdu) {
    if (step1 != stuSendSelect || Aasdu.COT != kCotActivationConfirm) return false;
    if (!IsOwnConfirmation(Aasdu, true)) return false;
    step1 = stuActSelect;
    fl.Op(FSet, btue_TU_ActSelect);
    return true;
}

void TElemTU::CheckConfirmation(const TIEC_ASDUt& Aasdu) {
    if (CheckSelectConfirmation(Aasdu)) return;
    const bool select = step1 == stuSendSelect;
    if (!select && !FAwaitExecute) return;
    if (!IsOwnConfirmation(Aasdu, select)) return;
    if ((Aasdu.COT & kCotNegative) == 0) {  // the execute was confirmed
        Finish(tuo_Confirmed);
        return;
    }
    // The station refused: the command has failed, there is nothing to wait for.
    FJournal.Put(1,
                 std::string("Error: ТУ отклонена КП (отрицательное подтверждение ") +
                     (select ? "Select" : "Execute") + "). Адрес=" + std::to_string(CtrlObjAddr),
                 FClock.Now());
    fl.Op(FSet, btue_TU_TimeOut1);
    Finish(tuo_Rejected);
}

}  // namespace telegate
