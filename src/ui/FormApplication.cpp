#include "ui/FormApplication.h"

namespace telegate {

void TFormApplication::AfterFormCreate() {
    if (form_ == nullptr || window_ == nullptr) return;
    const bool polling = form_->Polling() != nullptr && form_->Polling()->Polling();
    window_->OnPollStateChanged(polling);
    if (polling) window_->ShowFirstStation();
}

void TFormApplication::StartStop() {
    if (form_ == nullptr || window_ == nullptr) return;
    // Polling is created by its first start; a button press before that starts it.
    if (form_->Polling() == nullptr) {
        form_->Context().OprosFlag = false;
        form_->Begin_Opros();
    }
    TPolling* polling = form_->Polling();
    if (polling == nullptr) return;
    polling->ButtonStartStop();
    // The controller's polling reports to no view of its own: tell the window.
    window_->OnPollStateChanged(polling->Polling());
    if (polling->Polling()) window_->ShowFirstStation();
}

TRegisterResult TFormApplication::RegisterServer(bool reg) {
    if (!Register) return {TRegisterOutcome::Failed, "OPC-сервер в этой сборке недоступен"};
    return Register(reg);
}

TRegisterResult TFormApplication::RegisterServerElevated(bool reg) {
    if (!RegisterElevated) return {TRegisterOutcome::Failed, "OPC-сервер в этой сборке недоступен"};
    return RegisterElevated(reg);
}

}  // namespace telegate
