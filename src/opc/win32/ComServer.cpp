#include "opc/win32/ComServer.h"

// clang-format off
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <comcat.h>
#include <sddl.h>
// clang-format on

#include <cstdio>
#include <cwchar>
#include <stdexcept>
#include <string_view>

#include "opc/Server.h"

namespace telegate::opc::win32 {

// {F9EFFA0D-1C69-41A4-8000-E0407C0544FB}
const GUID kServerClsid = {
    0xF9EFFA0D, 0x1C69, 0x41A4, {0x80, 0x00, 0xE0, 0x40, 0x7C, 0x05, 0x44, 0xFB}};
// {BB2DA54C-0378-47FC-B06B-0C31865888A9}
const GUID kTypeLibGuid = {
    0xBB2DA54C, 0x0378, 0x47FC, {0xB0, 0x6B, 0x0C, 0x31, 0x86, 0x58, 0x88, 0xA9}};
// CATID_OPCDAServer20 of the OPC standard.
const GUID kCatidOPCDAServer20 = {
    0x63D5F432, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};

namespace {

constexpr WORD kTypeLibMajor = 1;
constexpr WORD kTypeLibMinor = 0;

std::wstring GuidText(const GUID& g) {
    wchar_t buf[40] = {};
    StringFromGUID2(g, buf, 40);
    return buf;
}

std::string Narrow(const std::wstring& w) {
    std::string s;
    for (wchar_t c : w) s += c < 128 ? static_cast<char>(c) : '?';
    return s;
}

std::string HrText(const char* what, HRESULT hr) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "%s failed (0x%08lX)", what, static_cast<unsigned long>(hr));
    return buf;
}

std::wstring ClsidKey() {
    return L"CLSID\\" + GuidText(kServerClsid);
}
std::wstring AppIdKey() {
    return L"AppID\\" + GuidText(kServerClsid);
}

// Creates (or opens) HKCR\path and sets one string value (name null: the default).
void SetValue(const std::wstring& path, const wchar_t* name, const std::wstring& value) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                              &key, nullptr);
    if (rc != ERROR_SUCCESS) throw std::runtime_error("cannot create HKCR\\" + Narrow(path));
    rc = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) throw std::runtime_error("cannot write HKCR\\" + Narrow(path));
}

bool HasValue(const std::wstring& path, const wchar_t* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    const bool has =
        RegQueryValueExW(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    return has;
}

bool HasKey(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

void DeleteValue(const std::wstring& path, const wchar_t* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    const LONG rc = RegDeleteValueW(key, name);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
        throw std::runtime_error("cannot delete a value of HKCR\\" + Narrow(path));
}

void CreateKey(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        throw std::runtime_error("cannot create HKCR\\" + Narrow(path));
    RegCloseKey(key);
}

// Deletes HKCR\path with everything below it; a key that is not there is no error.
void DeleteKey(const std::wstring& path) {
    const LONG rc = RegDeleteTreeW(HKEY_CLASSES_ROOT, path.c_str());
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
        throw std::runtime_error("cannot delete HKCR\\" + Narrow(path));
}

std::wstring ExePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) throw std::runtime_error("cannot read the executable's path");
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// HKCR\AppID\<exe name>: lets DCOM find the AppID (and its launch, access and
// identity settings) of the running executable.
std::wstring ExeAppIdKey() {
    const std::wstring exe = ExePath();
    const size_t slash = exe.find_last_of(L"\\/");
    return L"AppID\\" + (slash == std::wstring::npos ? exe : exe.substr(slash + 1));
}

// The executable as COM starts it: the short (8.3) form when the path has a blank.
// Where the volume keeps no short names the path is quoted instead, so that COM
// never cuts it at the blank.
std::wstring LocalServerPath() {
    const std::wstring path = ExePath();
    if (path.find(L' ') == std::wstring::npos) return path;
    std::wstring shortPath(path.size() + 1, L'\0');
    const DWORD n =
        GetShortPathNameW(path.c_str(), shortPath.data(), static_cast<DWORD>(shortPath.size()));
    if (n > 0 && n < shortPath.size()) {
        shortPath.resize(n);
        if (shortPath.find(L' ') == std::wstring::npos) return shortPath;
    }
    return L"\"" + path + L"\"";
}

// The component-category manager for one call.
class TCatRegister {
  public:
    TCatRegister() {
        const HRESULT hr =
            CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                             IID_ICatRegister, reinterpret_cast<void**>(&FReg));
        if (FAILED(hr) || !FReg)
            throw std::runtime_error(HrText("creating the component category manager", hr));
    }
    ~TCatRegister() {
        if (FReg) FReg->Release();
    }
    TCatRegister(const TCatRegister&) = delete;
    TCatRegister& operator=(const TCatRegister&) = delete;
    ICatRegister* operator->() const { return FReg; }

  private:
    ICatRegister* FReg = nullptr;
};

HRESULT AddOPCCategory(const GUID& catid, const wchar_t* description) {
    TCatRegister reg;
    CATEGORYINFO info{};
    info.catid = catid;
    info.lcid = GetUserDefaultLCID();
    std::wcsncpy(info.szDescription, description, 127);
    info.szDescription[127] = L'\0';
    return reg->RegisterCategories(1, &info);
}

// Removes the category's own entry, but only when no class on the machine is still
// marked with it: other OPC servers share the category and their clients' browsers
// list it.
HRESULT DropOPCCategory(const GUID& catid) {
    ICatInformation* info = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_ICatInformation, reinterpret_cast<void**>(&info));
    if (FAILED(hr) || !info)
        throw std::runtime_error(HrText("creating the component category manager", hr));
    IEnumCLSID* classes = nullptr;
    CATID cat = catid;
    bool inUse = true;  // when it cannot be told, the entry stays
    if (SUCCEEDED(
            info->EnumClassesOfCategories(1, &cat, static_cast<ULONG>(-1), nullptr, &classes)) &&
        classes) {
        CLSID c;
        ULONG got = 0;
        inUse = classes->Next(1, &c, &got) == S_OK && got == 1;
        classes->Release();
    }
    info->Release();
    if (inUse) return S_FALSE;
    TCatRegister reg;
    return reg->UnRegisterCategories(1, &cat);
}

HRESULT MarkServerCategory(const GUID& clsid, const GUID& catid) {
    TCatRegister reg;
    CATID cat = catid;
    return reg->RegisterClassImplCategories(clsid, 1, &cat);
}

HRESULT UnmarkServerCategory(const GUID& clsid, const GUID& catid) {
    TCatRegister reg;
    CATID cat = catid;
    return reg->UnRegisterClassImplCategories(clsid, 1, &cat);
}

// COM's calls on the process: multithreaded apartment for the duration.
class TComScope {
  public:
    explicit TComScope(DWORD model) { FOk = SUCCEEDED(CoInitializeEx(nullptr, model)); }
    ~TComScope() {
        if (FOk) CoUninitialize();
    }
    TComScope(const TComScope&) = delete;
    TComScope& operator=(const TComScope&) = delete;

  private:
    bool FOk = false;
};

}  // namespace

bool SwitchIs(std::string_view arg, std::string_view name) {
    if (arg.size() != name.size() + 1 || (arg[0] != '-' && arg[0] != '/')) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        char c = arg[i + 1];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != name[i]) return false;
    }
    return true;
}

TStartMode TakeStartMode(int& argc, char** argv) {
    TStartMode mode = TStartMode::Standalone;
    int out = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (SwitchIs(a, "EMBEDDING") || SwitchIs(a, "AUTOMATION")) {
            if (mode == TStartMode::Standalone) mode = TStartMode::Embedding;
        } else if (SwitchIs(a, "REGSERVER") || SwitchIs(a, "REGSERVERPERUSER")) {
            mode = TStartMode::Register;
        } else if (SwitchIs(a, "UNREGSERVER") || SwitchIs(a, "UNREGSERVERPERUSER")) {
            mode = TStartMode::Unregister;
        } else {
            argv[out++] = argv[i];
        }
    }
    argv[out] = nullptr;
    argc = out;
    return mode;
}

void RegisterProgID() {
    const std::wstring prog = kProgId;
    SetValue(prog, nullptr, kDescription);
    SetValue(prog + L"\\Clsid", nullptr, GuidText(kServerClsid));
    CreateKey(prog + L"\\OPC");
    SetValue(ClsidKey(), nullptr, kDescription);
    SetValue(ClsidKey() + L"\\ProgID", nullptr, prog);
    AddOPCCategory(kCatidOPCDAServer20, L"Zorvan OPC Data Access");
    MarkServerCategory(kServerClsid, kCatidOPCDAServer20);
}

void UnRegisterProgID() {
    const std::wstring prog = kProgId;
    DeleteKey(ClsidKey() + L"\\ProgID");
    DeleteKey(ClsidKey());
    DeleteKey(prog + L"\\OPC");
    DeleteKey(prog + L"\\Clsid");
    DeleteKey(prog);
    UnmarkServerCategory(kServerClsid, kCatidOPCDAServer20);
    DropOPCCategory(kCatidOPCDAServer20);
}

bool RegisterOPCServer() {
    RegisterProgID();
    try {
        SetValue(ClsidKey(), L"AppID", GuidText(kServerClsid));
        SetValue(AppIdKey(), nullptr, kDescription);
        // Registered for the service: a later registration (an update) keeps that.
        if (!HasValue(AppIdKey(), L"LocalService"))
            SetValue(AppIdKey(), L"RunAs", L"Interactive User");
        SetValue(ExeAppIdKey(), L"AppID", GuidText(kServerClsid));
        const HRESULT a = AddOPCCategory(kCatidOPCDAServer20, L"OPC Daten Server V2.0");
        const HRESULT m = MarkServerCategory(kServerClsid, kCatidOPCDAServer20);
        return a == S_OK && m == S_OK;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "RegisterOPCServer: %s\n", e.what());
        return false;
    }
}

bool UnRegisterOPCServer() {
    UnRegisterProgID();
    try {
        UnmarkServerCategory(kServerClsid, kCatidOPCDAServer20);
        DeleteKey(AppIdKey());
        DeleteKey(ExeAppIdKey());
        DeleteKey(ClsidKey());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "UnRegisterOPCServer: %s\n", e.what());
        return false;
    }
    return true;
}

void UpdateRegistry(bool Register) {
    const std::wstring prog = kProgId;
    if (Register) {
        SetValue(ClsidKey(), nullptr, kDescription);
        SetValue(ClsidKey() + L"\\LocalServer32", nullptr, LocalServerPath());
        SetValue(prog, nullptr, kDescription);
        SetValue(prog + L"\\Clsid", nullptr, GuidText(kServerClsid));
        SetValue(ClsidKey() + L"\\ProgID", nullptr, prog);
        ITypeLib* lib = nullptr;
        const std::wstring exe = ExePath();
        const HRESULT hr = LoadTypeLibEx(exe.c_str(), REGKIND_REGISTER, &lib);
        if (FAILED(hr) || !lib)
            throw std::runtime_error(HrText("registering the type library", hr));
        lib->Release();
        wchar_t version[16];
        std::swprintf(version, 16, L"%d.%d", kTypeLibMajor, kTypeLibMinor);
        SetValue(ClsidKey() + L"\\Version", nullptr, version);
        SetValue(ClsidKey() + L"\\TypeLib", nullptr, GuidText(kTypeLibGuid));
    } else {
        DeleteKey(ClsidKey() + L"\\ProgID");
        DeleteKey(prog + L"\\Clsid");
        DeleteKey(prog);
        DeleteKey(ClsidKey() + L"\\LocalServer32");
        DeleteKey(ClsidKey() + L"\\TypeLib");
        DeleteKey(ClsidKey() + L"\\Version");
        DeleteKey(ClsidKey());
        // Not registered (any more) is what unregistering wants.
        HKEY lib = nullptr;
        const std::wstring libKey = L"TypeLib\\" + GuidText(kTypeLibGuid);
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, libKey.c_str(), 0, KEY_READ, &lib) == ERROR_SUCCESS) {
            RegCloseKey(lib);
            const HRESULT hr = UnRegisterTypeLib(kTypeLibGuid, kTypeLibMajor, kTypeLibMinor,
                                                 LOCALE_NEUTRAL, SYS_WIN64);
            if (FAILED(hr) && hr != TYPE_E_LIBNOTREGISTERED)
                throw std::runtime_error(HrText("unregistering the type library", hr));
            // What the library's registration wrote for a version of its own.
            DeleteKey(libKey);
        }
    }
}

void SetServerAppIdForService(bool service) {
    // Back to the desktop form only where the server is registered at all.
    if (!service && !HasKey(AppIdKey())) return;
    SetValue(ClsidKey(), L"AppID", GuidText(kServerClsid));
    SetValue(AppIdKey(), nullptr, kDescription);
    if (service) {
        DeleteValue(AppIdKey(), L"RunAs");
        SetValue(AppIdKey(), L"LocalService", L"Telegate");
    } else {
        DeleteValue(AppIdKey(), L"LocalService");
        SetValue(AppIdKey(), L"RunAs", L"Interactive User");
    }
}

std::string OpenComForService() {
    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(init)) return HrText("CoInitializeEx (multithreaded)", init);
    // Local activation and calls (COM_RIGHTS_EXECUTE | EXECUTE_LOCAL) for
    // authenticated users, the system and administrators; never remote.
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"O:BAG:BAD:(A;;0x3;;;AU)(A;;0x3;;;SY)(A;;0x3;;;BA)", SDDL_REVISION_1, &sd, nullptr))
        return "cannot build the COM access rights (error " + std::to_string(GetLastError()) + ")";
    const HRESULT hr = CoInitializeSecurity(sd, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_CONNECT,
                                            RPC_C_IMP_LEVEL_IDENTIFY, nullptr, EOAC_NONE, nullptr);
    LocalFree(sd);
    // The thread stays in the apartment (the class object's own initialisation
    // balances its own call).
    return SUCCEEDED(hr) ? std::string() : HrText("CoInitializeSecurity", hr);
}

int RegisterByStartMode(TStartMode mode) {
    if (mode != TStartMode::Register && mode != TStartMode::Unregister) return 0;
    TComScope com(COINIT_APARTMENTTHREADED);
    const bool reg = mode == TStartMode::Register;
    try {
        UpdateRegistry(reg);
        const bool ok = reg ? RegisterOPCServer() : UnRegisterOPCServer();
        if (!ok) {
            std::fprintf(stderr, "Telegate: %s of the OPC server is incomplete\n",
                         reg ? "registration" : "unregistration");
            return 1;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Telegate: %s: %s\n", reg ? "/RegServer" : "/UnregServer", e.what());
        return 1;
    }
    return 0;
}

// ---- The class object ------------------------------------------------------------------

class TComClassObjects::TFactory final : public IClassFactory {
  public:
    explicit TFactory(sOPC& core) : FCore(core) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    // The object lives as long as the registration that owns it.
    ULONG STDMETHODCALLTYPE AddRef() override { return ++FRef; }
    ULONG STDMETHODCALLTYPE Release() override { return --FRef; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        ++FCreating;
        HRESULT hr = E_OUTOFMEMORY;
        try {
            sOPCDataAccess* server = sOPCDataAccess::Create(FCore);
            hr = server->QueryInterface(riid, ppv);
            server->Release();
        } catch (...) {
            hr = E_OUTOFMEMORY;
        }
        if (SUCCEEDED(hr)) FEverServed = true;
        --FCreating;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock)
            ++FLocks;
        else if (FLocks > 0)
            --FLocks;
        return S_OK;
    }

    // A client object is alive, being made, or a client holds the server locked.
    bool Busy() const { return FCreating > 0 || FLocks > 0 || FCore.GetServerCount() > 0; }
    bool EverServed() const { return FEverServed; }

  private:
    sOPC& FCore;
    std::atomic<ULONG> FRef{1};
    std::atomic<int> FCreating{0};
    std::atomic<int> FLocks{0};
    std::atomic<bool> FEverServed{false};
};

TComClassObjects::TComClassObjects(sOPC& core, TStartMode mode, std::function<void()> onLastRelease)
    : FCore(core), FOnLastRelease(std::move(onLastRelease)) {
    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(init)) {
        FError = HrText("CoInitializeEx (multithreaded)", init);
        return;
    }
    FComInit = true;
    // Codes the server has no text of its own for: the system's message text.
    FCore.SystemErrorText = [](HRESULT code, LCID locale) {
        WCHAR* buf = nullptr;
        const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                           FORMAT_MESSAGE_IGNORE_INSERTS,
                                       nullptr, static_cast<DWORD>(code), LANGIDFROMLCID(locale),
                                       reinterpret_cast<LPWSTR>(&buf), 0, nullptr);
        std::string text;
        if (n > 0 && buf) {
            std::wstring w(buf, n);
            while (!w.empty() && (w.back() == L'\r' || w.back() == L'\n' || w.back() == L' '))
                w.pop_back();
            text = com::WideToUtf8(reinterpret_cast<const WCHAR*>(w.c_str()));
        }
        if (buf) LocalFree(buf);
        return text;
    };
    FFactory = new TFactory(FCore);
    DWORD cookie = 0;
    const HRESULT hr = CoRegisterClassObject(kServerClsid, static_cast<IClassFactory*>(FFactory),
                                             CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    if (FAILED(hr))
        FError = HrText("CoRegisterClassObject", hr);
    else
        FCookie = cookie;
    // Started by COM, the process ends when no client comes (or came and went),
    // also when its class object could not be offered.
    if (mode == TStartMode::Embedding && FOnLastRelease)
        FWatcher = std::thread([this] { Watch(); });
}

TComClassObjects::~TComClassObjects() {
    {
        std::lock_guard lock(FMu);
        FStop = true;
    }
    FCv.notify_all();
    if (FWatcher.joinable()) FWatcher.join();
    if (FCookie != 0) CoRevokeClassObject(FCookie);
    // Clients that still hold server objects or groups are cut off here, also while
    // a client that never answered ShutdownRequest keeps its call's thread, and so
    // the apartment, alive: no call reaches an object after the core behind it.
    for (IUnknown* object : FCore.LiveObjects()) {
        CoDisconnectObject(object, 0);
        object->Release();
    }
    // Leaving the apartment disconnects the stubs of the objects clients still hold,
    // which releases them while the core they use is still there.
    if (FComInit) CoUninitialize();
    delete FFactory;
}

void TComClassObjects::Watch() {
    using Clock = std::chrono::steady_clock;
    TComScope com(COINIT_MULTITHREADED);
    auto idleSince = Clock::now();
    std::unique_lock lock(FMu);
    while (!FStop) {
        FCv.wait_for(lock, std::chrono::milliseconds(100));
        if (FStop) break;
        if (FFactory->Busy()) {
            idleSince = Clock::now();
            continue;
        }
        const auto limit = FFactory->EverServed() ? kGrace : kFirstClientWait;
        if (Clock::now() - idleSince < limit) continue;
        // No more activations here; one that reached the class object just before
        // is served, and the process goes on. After this, COM starts a new process
        // for the next client (which waits for this one to end).
        if (FCookie != 0) {
            CoRevokeClassObject(FCookie);
            FCookie = 0;
        }
        FCv.wait_for(lock, std::chrono::milliseconds(200));
        if (!FStop && FFactory->Busy()) {
            DWORD cookie = 0;
            if (SUCCEEDED(CoRegisterClassObject(kServerClsid, static_cast<IClassFactory*>(FFactory),
                                                CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie)))
                FCookie = cookie;
            idleSince = Clock::now();
            continue;
        }
        if (FStop) break;
        lock.unlock();
        FOnLastRelease();
        return;
    }
}

}  // namespace telegate::opc::win32
