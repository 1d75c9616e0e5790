// The operator window program on Windows: the application controller, the main
// window and its presenters on the Win32 message loop. The window starts hidden
// with the tray icon; a COM start (-Embedding) keeps it that way until the
// operator opens it from the tray.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "ui/OperatorCommands.h"

namespace telegate {
class TAppContext;
class TOPCForm;
class TMainWindowPresenter;
class IMainLoop;
namespace opc {
class sOPC;
}
}  // namespace telegate

namespace telegate::win32ui {

class TMainWindow;

// What a running GUI exposes to whoever drives it (the UI test).
struct TGuiSession {
    TAppContext& Ctx;
    TOPCForm& Form;
    TMainWindowPresenter& Presenter;
    TMainWindow& Window;
    IMainLoop& Loop;
};

struct TGuiOptions {
    // Started by COM (-Embedding): the window stays in the tray.
    bool Embedding = false;
    // --data-dir and --web-dir; empty: the installer's data folder or the
    // executable's folder, and "web" beside the executable.
    std::string DataDir;
    std::string WebDir;
    // Registers (true) or unregisters the OPC server in this process; NeedsAdmin
    // when the rights are missing (the menu then offers to run "/RegServer" or
    // "/UnregServer" elevated). Provided by the COM server layer; without it the
    // menu commands answer that the server cannot be registered from this build.
    std::function<TRegisterResult(bool reg)> RegisterOpcServer;
    // Offers the OPC server core to COM's clients, between the core's start and the
    // window's creation; close ends the program (from any thread). The answer is
    // kept until the loop has ended. error is cleared when the server is offered,
    // and otherwise says why not (shown in the status bar). Without it no client
    // can reach the server.
    std::function<std::shared_ptr<void>(opc::sOPC& core, std::function<void()> close,
                                        std::string& error)>
        OfferOpcServer;
    // Called on the main thread once start-up is done and before the loop runs.
    std::function<void(TGuiSession&)> OnStarted;
};

// Runs the program with its window until the operator closes it; the exit code.
int RunGui(const TGuiOptions& options);

}  // namespace telegate::win32ui
