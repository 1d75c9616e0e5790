// The running application as the main window sees it: start/stop, close and the
// OPC counters go to the application controller (TOPCForm). The OPC side is
// optional (there is none on Linux): without it the counters read 0 and the
// server cannot be registered.
//
// The window's presenter needs this object and the controller needs the
// presenter (as its start-up view), so the two are bound after construction:
//   TFormApplication app; TMainWindowPresenter win(ctx, devices, app);
//   TOPCForm form(ctx, loop, exe, &win); app.Bind(form, win);
#pragma once

#include <functional>
#include <string>

#include "ui/MainWindowPresenter.h"

namespace telegate {

class TFormApplication : public IMainWindowApp {
  public:
    void Bind(TOPCForm& form, TMainWindowPresenter& window) {
        form_ = &form;
        window_ = &window;
    }
    // After TOPCForm::FormCreate (which may have started polling by itself): the
    // window takes over the polling state.
    void AfterFormCreate();

    TPolling* Polling() override { return form_ != nullptr ? form_->Polling() : nullptr; }
    // The start/stop button; the window hears about the new state at once.
    void StartStop() override;
    int OpcClientCount() override { return ClientCount ? ClientCount() : 0; }
    int OpcGroupCount() override { return GroupCount ? GroupCount() : 0; }
    TRegisterResult RegisterServer(bool reg) override;
    TRegisterResult RegisterServerElevated(bool reg) override;
    // FormCloseQuery (the configuration written), FormClose, and the loop ends.
    void Close() override {
        if (form_ != nullptr) form_->CloseApplication();
    }

    std::function<int()> ClientCount;
    std::function<int()> GroupCount;
    // Registers (true) or unregisters the server, here or in an elevated copy.
    std::function<TRegisterResult(bool reg)> Register;
    std::function<TRegisterResult(bool reg)> RegisterElevated;

  private:
    TOPCForm* form_ = nullptr;
    TMainWindowPresenter* window_ = nullptr;
};

}  // namespace telegate
