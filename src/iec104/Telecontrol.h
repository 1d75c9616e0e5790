// The telecontrol command in progress of one station client: a single command
// (C_SC_NA) with select before operate. The client advances it on every service
// pass (T104Client::TuService1) and shows it every decoded ASDU, so that the
// station's activation confirmation of the select lets the execute follow.
#pragma once

#include <cstdint>
#include <memory>

#include "iec104/Asdu.h"
#include "iec104/CommandResult.h"
#include "iec104/TuTypes.h"
#include "model/Prmn.h"
#include "model/TypeCatalogue.h"
#include "support/Clock.h"
#include "support/FlagWord.h"
#include "support/Journal.h"
#include "support/Stopwatch.h"

namespace telegate {

// Progress record: one bit per step reached.
enum TBitTuExecute : uint8_t {
    btue_TU_Init = 0,
    btue_TU_TimeOut1 = 1,
    btue_TU_FormSelect = 2,
    btue_TU_SendSelect = 3,
    btue_TU_ActSelect = 4,
    btue_TU_FormExecute1 = 5,
    btue_TU_SendExecute = 6,
    btue_TU_Start = 7,
};
using TFlagTuExecute = TTypedFlag<TBitTuExecute>;

class TElemTU {
  public:
    // Create(timeout): idle, no command, stopwatch unstarted.
    TElemTU(const IClock& clock, TMessBuff& journal, const TTypeIdentList& types, int32_t timeout);
    // A command still under way is reported as lost with its element.
    ~TElemTU();
    TElemTU(const TElemTU&) = delete;
    TElemTU& operator=(const TElemTU&) = delete;

    // Starts a command (replacing one in progress) when both addresses are non-zero;
    // otherwise a category 1 journal line and the step is left as it was.
    // result (optional) learns how the command ended.
    void Init(TTUCommand ATUCommand, int32_t ACtrlASDUAddr, int32_t ACtrlObjAddr,
              const TPrmn& Apprm, bool prDoExec, std::shared_ptr<TCommandResult> result = nullptr);
    // A command is under way: being selected, executed, or its execute awaiting
    // the station's confirmation.
    bool Busy() const { return step1 != stuNone || FAwaitExecute; }
    bool AwaitingExecute() const { return FAwaitExecute; }
    // Ends the command in progress with outcome (the step becomes stuNone).
    void Finish(TTuOutcome outcome);
    // Builds the select (at stuInit) or the execute (at stuActSelect with
    // prDoExecute). A command that cannot be built ends (stuNone).
    void ExecuteNextStep();
    // Shown every decoded ASDU: a positive activation confirmation (C_SC_NA, cause
    // octet exactly 7) of this command's select moves stuSendSelect to stuActSelect.
    // Returns true when it did.
    bool CheckSelectConfirmation(const TIEC_ASDUt& Aasdu);
    // Shown every decoded ASDU: the positive select confirmation as above; a
    // negative confirmation (P/N bit set) of this command's select, or of its
    // execute while that is awaited, ends the command as failed at once: a journal
    // line, btue_TU_TimeOut1 as for the time-out, stuNone. A positive execute
    // confirmation ends the wait for it.
    void CheckConfirmation(const TIEC_ASDUt& Aasdu);
    // The execute went into the send window: its confirmation is now awaited.
    void ExecuteQueued() {
        FAwaitExecute = true;
        tmCommand.Start();
    }

    TStepTU step1 = stuNone;
    TFlagTuExecute fl;
    bool prDoExecute = false;
    TTUCommand TUCommand = tuCommand_Empty;
    int32_t CtrlASDUAddr = 0;
    int32_t CtrlObjAddr = 0;
    const TPrmn* pprm = nullptr;
    TIEC_ASDUt asdu;
    int32_t AckTimeout = 0;
    TTimeCheckPause tmCommand;

  private:
    void Remark(const std::string& text);
    // A C_SC_NA activation confirmation of this command's addresses with the select
    // bit as given.
    bool IsOwnConfirmation(const TIEC_ASDUt& Aasdu, bool select) const;

    bool FAwaitExecute = false;               // the execute went out, its confirmation not yet in
    std::shared_ptr<TCommandResult> FResult;  // of the command in progress

    const IClock& FClock;
    TMessBuff& FJournal;
    const TTypeIdentList& FTypes;
};

}  // namespace telegate
