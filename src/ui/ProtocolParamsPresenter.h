// The protocol parameter dialog: the connection and protocol parameters of one
// station, shown in the dialog's units (seconds for the link timers and the retry
// delay, milliseconds for the application time-outs), checked and stored back
// into the record only when every field is a whole number in its range.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "model/Prmn.h"

namespace telegate {

enum TParamField : int {
    pf_DevName,
    pf_Host,
    pf_Port,
    pf_k,
    pf_w,
    pf_t0,
    pf_t1,
    pf_t2,
    pf_t3,
    pf_RetryCount,
    pf_RetryTimeout,
    pf_ConfirmationTimeout,
    pf_TerminationTimeout,
    pf_SzAsduAddress,
    pf_SzInfObjAddress,
    pf_SzCOT,
    pf_SzLinkAddress,
    pf_CommonAsduAddress,
    pf_OriginatorAddress,
    pf_ReceiveBufferLength,
    pf_ClockSinhronizationTime,
    pf_Count
};

// What the dialog window does for the presenter. Main thread.
class IProtocolParamsView {
  public:
    virtual ~IProtocolParamsView() = default;
    virtual void SetFieldText(TParamField field, const std::string& text) = 0;
    virtual void SetFieldEnabled(TParamField field, bool enabled) = 0;
    // A refused field: the message, and the field to put the focus on.
    virtual void ShowError(const std::string& text, TParamField field) = 0;
    // Ends the modal dialog.
    virtual void EndDialog(bool ok) = 0;
};

// Caption of a field's control (the dialog has English captions only).
const char* ParamFieldCaption(TParamField field);

// The accepted range of a numeric field in the dialog's unit.
struct TParamRange {
    int64_t Min;
    int64_t Max;
};
TParamRange ParamFieldRange(TParamField field);

class TProtocolParamsPresenter {
  public:
    static constexpr const char* kCaption = "Параметры протокола";

    // record: the station's record; fields without a control keep their values.
    explicit TProtocolParamsPresenter(const TPrmn& record);

    // Fills the view (OutParamForm) and disables the field sizes.
    void Attach(IProtocolParamsView* view);
    // The operator changed a field's text.
    void OnFieldEdited(TParamField field, std::string text);
    // "Параметры по умолчанию": shows the factory defaults; nothing is stored.
    void OnDefaults();
    // OK: every field checked; the first bad one is reported and the dialog stays
    // open with the record unchanged. Returns true when the dialog closed.
    bool OnOk();
    void OnCancel();

    const std::string& FieldText(TParamField field) const {
        return texts_[static_cast<size_t>(field)];
    }
    // The working copy: after OK it holds the edited record.
    const TPrmn& Record() const { return pprm1_; }
    bool Accepted() const { return accepted_; }

  private:
    void OutParamForm(const TPrmn& pprm);
    void SetText(TParamField field, std::string text);

    TPrmn pprm1_;
    std::array<std::string, pf_Count> texts_;
    IProtocolParamsView* view_ = nullptr;
    bool accepted_ = false;
};

// A whole decimal number (blanks around it allowed) within the range.
bool ParseWholeNumber(const std::string& text, TParamRange range, int64_t& value);

}  // namespace telegate
