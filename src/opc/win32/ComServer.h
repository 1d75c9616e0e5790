// The OPC server as a COM local server: the start modes COM gives the process on its
// command line, the registry entries of the server class, and the class object
// that hands every activating client its own server object.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "opc/Core.h"

namespace telegate::opc::win32 {

enum class TStartMode { Standalone, Embedding, Register, Unregister };

// The fixed identifiers of the server. Clients store them: never change them.
extern const GUID kServerClsid;  // class "Telegate.OPCServer"
extern const GUID kTypeLibGuid;  // type library sOPC, version 1.0
extern const GUID kCatidOPCDAServer20;
constexpr const wchar_t* kProgId = L"Telegate.OPCServer";
constexpr const wchar_t* kDescription = L"Telegate";

// Reads COM's switches ("-Embedding", "/Automation", "/RegServer", "/UnregServer",
// their per-user forms; '-' or '/', any case) and takes them out of argv, so that
// the program's own options never see them.
TStartMode TakeStartMode(int& argc, char** argv);
// Whether arg is the switch name (upper case, without its '-' or '/'), in any case.
bool SwitchIs(std::string_view arg, std::string_view name);

// The register and unregister modes: writes or removes the class registration, the
// OPC entries and the type library. Answers the process exit code (0 on success);
// the failure is written to standard error.
int RegisterByStartMode(TStartMode mode);

// The registration steps on their own (the main window's menu commands use the
// first two; RegisterByStartMode all of them). Each throws std::runtime_error on a
// registry failure, except where noted.
void RegisterProgID();
void UnRegisterProgID();
// The OPC-specific part; false when a key could not be opened or the category
// manager refused.
bool RegisterOPCServer();
bool UnRegisterOPCServer();
// The class keys COM needs to start the executable (LocalServer32, Version,
// TypeLib) and the type library carried in the executable.
void UpdateRegistry(bool Register);

// Who runs the server when COM activates it: the service "Telegate" (AppID value
// LocalService, so that clients reach the running service) or, for the desktop
// program, the interactive user (RunAs). Throws std::runtime_error on a registry
// failure. RegisterOPCServer keeps the service form once it is set.
void SetServerAppIdForService(bool service);

// COM security of the service process: local clients of authenticated users may
// activate and call the server (it runs under an account of its own), and the
// server identifies itself when it calls their sinks. Call on the thread that then
// offers the class object, before anything is marshalled. Answers an empty string
// or what failed.
std::string OpenComForService();

// The class object of the server class, registered with COM for local-server
// activation and multiple use from construction to destruction. The calling thread
// (the main thread) joins the multithreaded apartment, so client calls arrive on
// COM's pool threads and the core's own threads may call into client sinks.
//
// Started by COM (Embedding), the process ends once no client object has been alive
// for two seconds: the class object is withdrawn and onLastRelease is called once,
// from a thread of its own. Until the first client arrives the wait is longer, so
// that a slow activation is not cut short.
class TComClassObjects {
  public:
    TComClassObjects(sOPC& core, TStartMode mode, std::function<void()> onLastRelease);
    ~TComClassObjects();
    TComClassObjects(const TComClassObjects&) = delete;
    TComClassObjects& operator=(const TComClassObjects&) = delete;

    // Whether the class object is offered to COM (asked right after construction).
    bool Registered() const { return FCookie != 0; }
    const std::string& LastError() const { return FError; }

    static constexpr std::chrono::milliseconds kGrace{2000};
    static constexpr std::chrono::milliseconds kFirstClientWait{30000};

  private:
    class TFactory;
    void Watch();

    sOPC& FCore;
    TFactory* FFactory = nullptr;
    unsigned long FCookie = 0;
    bool FComInit = false;
    std::string FError;
    std::function<void()> FOnLastRelease;
    std::mutex FMu;
    std::condition_variable FCv;
    bool FStop = false;
    std::thread FWatcher;
};

}  // namespace telegate::opc::win32
