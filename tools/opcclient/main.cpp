// opcclient: an OPC DA 2.0 client of our own for the Windows build, run under Wine by
// scripts/test-opc-windows.sh against the real Telegate.exe. It finds the server as
// any OPC client does (component category, ProgID), activates it out of process
// and checks what a control-room client relies on, through the real proxies.
//
//   opcclient find                  category and ProgID lookups
//   opcclient full DIR              the main run (DIR: files shared with the script)
//   opcclient hold DIR              subscribes, writes DIR/hold.ready, stays 120 s
//   opcclient watch                 one more client: data changes keep arriving
//   opcclient shutdown DIR          waits for ShutdownRequest (DIR/shutdown.ready)
//   opcclient bench                 the out-of-process figures
//
// Every check prints "ok: ..." or "FAIL: ..."; the exit status is the number of
// failures (capped at 100), 0 when all passed.
// clang-format off
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <comcat.h>
#include <ocidl.h>
#include "OpcDa.h"
// clang-format on

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// {F9EFFA0D-1C69-41A4-8000-E0407C0544FB}: Telegate.OPCServer
const CLSID kServerClsid = {
    0xF9EFFA0D, 0x1C69, 0x41A4, {0x80, 0x00, 0xE0, 0x40, 0x7C, 0x05, 0x44, 0xFB}};
const CATID kCatidOPCDAServer20 = {
    0x63D5F432, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};

using Clock = std::chrono::steady_clock;
int gFailures = 0;
std::string gDir;

void Check(bool ok, const std::string& what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!ok) ++gFailures;
}

std::string Hr(HRESULT hr) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08lX", static_cast<unsigned long>(hr));
    return b;
}

std::string Utf8(const wchar_t* w) {
    if (!w) return "(null)";
    const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
    return s;
}

void Touch(const std::string& name) {
    FILE* f = std::fopen((gDir + "\\" + name).c_str(), "w");
    if (f) std::fclose(f);
}

double FileTimeAgeSeconds(const FILETIME& ft) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const auto v = [](const FILETIME& f) {
        return (static_cast<long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
    };
    return static_cast<double>(v(now) - v(ft)) / 1e7;
}

double AsDouble(const VARIANT& v) {
    VARIANT d;
    VariantInit(&d);
    if (FAILED(VariantChangeType(&d, const_cast<VARIANT*>(&v), 0, VT_R8))) return -1e300;
    return d.dblVal;
}

// ---- The client's sinks ----------------------------------------------------------------

struct TItemEvent {
    OPCHANDLE hClient;
    double value;
    VARTYPE vt;
    WORD quality;
    FILETIME time;
    HRESULT error;
};

struct TCallback {
    char kind;  // 'D' data change, 'R' read complete, 'W' write complete, 'C' cancel
    DWORD transId;
    OPCHANDLE group;
    HRESULT masterError;
    std::vector<TItemEvent> items;
    Clock::time_point at;
};

class TSink final : public IOPCDataCallback, public IOPCShutdown {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IOPCDataCallback)
            *ppv = static_cast<IOPCDataCallback*>(this);
        else if (riid == IID_IOPCShutdown)
            *ppv = static_cast<IOPCShutdown*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&FRef); }
    ULONG STDMETHODCALLTYPE Release() override { return InterlockedDecrement(&FRef); }

    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD t, OPCHANDLE g, HRESULT, HRESULT me, DWORD n,
                                           OPCHANDLE* h, VARIANT* v, WORD* q, FILETIME* ft,
                                           HRESULT* e) override {
        Add('D', t, g, me, n, h, v, q, ft, e);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD t, OPCHANDLE g, HRESULT, HRESULT me, DWORD n,
                                             OPCHANDLE* h, VARIANT* v, WORD* q, FILETIME* ft,
                                             HRESULT* e) override {
        Add('R', t, g, me, n, h, v, q, ft, e);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD t, OPCHANDLE g, HRESULT me, DWORD n,
                                              OPCHANDLE* h, HRESULT* e) override {
        Add('W', t, g, me, n, h, nullptr, nullptr, nullptr, e);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD t, OPCHANDLE g) override {
        Add('C', t, g, S_OK, 0, nullptr, nullptr, nullptr, nullptr, nullptr);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR reason) override {
        std::lock_guard lock(FMu);
        FShutdown = true;
        FReason = Utf8(reason);
        FCv.notify_all();
        return S_OK;
    }

    size_t Count() {
        std::lock_guard lock(FMu);
        return FSeen.size();
    }
    // Waits for a callback from number `from` on that satisfies pred; copies it.
    bool Wait(size_t from, int ms, const std::function<bool(const TCallback&)>& pred,
              TCallback* out = nullptr) {
        std::unique_lock lock(FMu);
        const auto until = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            for (size_t i = from; i < FSeen.size(); ++i)
                if (pred(FSeen[i])) {
                    if (out) *out = FSeen[i];
                    return true;
                }
            from = FSeen.size();
            if (FCv.wait_until(lock, until) == std::cv_status::timeout && from == FSeen.size())
                return false;
        }
    }
    bool WaitShutdown(int ms, std::string& reason) {
        std::unique_lock lock(FMu);
        FCv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return FShutdown; });
        reason = FReason;
        return FShutdown;
    }

  private:
    void Add(char kind, DWORD t, OPCHANDLE g, HRESULT me, DWORD n, OPCHANDLE* h, VARIANT* v,
             WORD* q, FILETIME* ft, HRESULT* e) {
        TCallback c{kind, t, g, me, {}, Clock::now()};
        for (DWORD i = 0; i < n && h; ++i) {
            TItemEvent it{h[i],
                          v ? AsDouble(v[i]) : 0.0,
                          v ? v[i].vt : static_cast<VARTYPE>(VT_EMPTY),
                          q ? q[i] : static_cast<WORD>(0),
                          ft ? ft[i] : FILETIME{},
                          e ? e[i] : S_OK};
            c.items.push_back(it);
        }
        std::lock_guard lock(FMu);
        FSeen.push_back(std::move(c));
        FCv.notify_all();
    }

    LONG FRef = 1;
    std::mutex FMu;
    std::condition_variable FCv;
    std::vector<TCallback> FSeen;
    bool FShutdown = false;
    std::string FReason;
};

// ---- Connecting ---------------------------------------------------------------------

template <typename T>
struct Ptr {
    T* p = nullptr;
    ~Ptr() {
        if (p) p->Release();
    }
    T* operator->() const { return p; }
    void** out() { return reinterpret_cast<void**>(&p); }
};

IOPCServer* Connect() {
    MULTI_QI qi{&IID_IOPCServer, nullptr, S_OK};
    const auto t0 = Clock::now();
    const HRESULT hr =
        CoCreateInstanceEx(kServerClsid, nullptr, CLSCTX_LOCAL_SERVER, nullptr, 1, &qi);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    Check(SUCCEEDED(hr) && SUCCEEDED(qi.hr) && qi.pItf,
          "CoCreateInstanceEx(CLSCTX_LOCAL_SERVER) " + Hr(hr) + " in " +
              std::to_string(static_cast<int>(ms)) + " ms");
    return SUCCEEDED(hr) && SUCCEEDED(qi.hr) ? static_cast<IOPCServer*>(qi.pItf) : nullptr;
}

std::vector<std::wstring> ReadEnum(IEnumString* e, bool& allStrings) {
    std::vector<std::wstring> out;
    allStrings = true;
    if (!e) return out;
    for (;;) {
        LPOLESTR s[16] = {};
        ULONG got = 0;
        const HRESULT hr = e->Next(16, s, &got);
        for (ULONG i = 0; i < got; ++i) {
            if (!s[i]) allStrings = false;
            out.emplace_back(s[i] ? s[i] : L"");
            CoTaskMemFree(s[i]);
        }
        if (hr != S_OK || got == 0) break;
    }
    return out;
}

// The items the runs use: from the first station's branch, found by browsing.
struct TAddressSpace {
    std::wstring station;
    std::wstring connected;            // the station's link state
    std::vector<std::wstring> leaves;  // the station's item IDs
    std::vector<std::wstring> flat;
    std::vector<std::wstring> all;  // every station's item IDs
    // The item IDs in the stations' sub-branches (their link statistics): every
    // station's, and the first station's alone.
    std::vector<std::wstring> sub;
    std::vector<std::wstring> firstSub;
};

// The item IDs of the leaves in the sub-branches of the current browse position.
std::vector<std::wstring> SubBranchLeaves(IOPCBrowseServerAddressSpace* br) {
    std::vector<std::wstring> out;
    bool strings = true;
    Ptr<IEnumString> eb;
    br->BrowseOPCItemIDs(OPC_BRANCH, L"", VT_EMPTY, 0, &eb.p);
    for (const auto& branch : ReadEnum(eb.p, strings)) {
        if (br->ChangeBrowsePosition(OPC_BROWSE_DOWN, branch.c_str()) != S_OK) continue;
        Ptr<IEnumString> e;
        br->BrowseOPCItemIDs(OPC_LEAF, L"", VT_EMPTY, 0, &e.p);
        for (const auto& leaf : ReadEnum(e.p, strings)) {
            LPWSTR id = nullptr;
            if (br->GetItemID(const_cast<LPWSTR>(leaf.c_str()), &id) == S_OK && id)
                out.emplace_back(id);
            CoTaskMemFree(id);
        }
        br->ChangeBrowsePosition(OPC_BROWSE_UP, L"");
    }
    return out;
}

// Flat browsing from the root lists the item ID of every leaf: the stations' leaves
// and the root's own; a name pattern narrows it, a broken one is refused.
void CheckFlat(IOPCBrowseServerAddressSpace* br, const TAddressSpace& as, size_t stations) {
    bool strings = true;
    std::vector<std::wstring> rootLeaves;
    {
        Ptr<IEnumString> e;
        br->BrowseOPCItemIDs(OPC_LEAF, L"", VT_EMPTY, 0, &e.p);
        rootLeaves = ReadEnum(e.p, strings);
    }
    auto has = [](const std::vector<std::wstring>& v, const std::wstring& s) {
        return std::find(v.begin(), v.end(), s) != v.end();
    };
    const bool every = std::all_of(as.all.begin(), as.all.end(),
                                   [&](const auto& id) { return has(as.flat, id); }) &&
                       std::all_of(as.sub.begin(), as.sub.end(),
                                   [&](const auto& id) { return has(as.flat, id); }) &&
                       std::all_of(rootLeaves.begin(), rootLeaves.end(),
                                   [&](const auto& id) { return has(as.flat, id); });
    Check(every && as.flat.size() == as.all.size() + as.sub.size() + rootLeaves.size(),
          "BrowseOPCItemIDs(OPC_FLAT) at the root: the item IDs of all " +
              std::to_string(as.all.size()) + " station leaves, " +
              std::to_string(as.sub.size()) + " statistics leaves and " +
              std::to_string(rootLeaves.size()) + " root leaves, nothing else");
    {
        Ptr<IEnumString> e;
        const HRESULT hr = br->BrowseOPCItemIDs(OPC_FLAT, L"*.connected", VT_EMPTY, 0, &e.p);
        const auto got = ReadEnum(e.p, strings);
        const bool linkStates = std::all_of(got.begin(), got.end(), [&](const auto& id) {
            return id.size() > 10 && id.compare(id.size() - 10, 10, L".Connected") == 0 &&
                   has(as.all, id);
        });
        Check(
            hr == S_OK && strings && linkStates && got.size() == stations && has(got, as.connected),
            "BrowseOPCItemIDs(OPC_FLAT, \"*.connected\"): " + std::to_string(got.size()) +
                " link states, one per station");
    }
    {
        Ptr<IEnumString> e;
        // In lower case: letters match either case, Cyrillic included.
        std::wstring pattern = as.station + L".*";
        CharLowerBuffW(pattern.data(), static_cast<DWORD>(pattern.size()));
        const HRESULT hr = br->BrowseOPCItemIDs(OPC_FLAT, pattern.c_str(), VT_EMPTY, 0, &e.p);
        auto got = ReadEnum(e.p, strings);
        auto want = as.leaves;
        want.insert(want.end(), as.firstSub.begin(), as.firstSub.end());
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
        Check(hr == S_OK && strings && got == want,
              "BrowseOPCItemIDs(OPC_FLAT, \"" + Utf8(pattern.c_str()) + "\"): the station's " +
                  std::to_string(got.size()) + " item IDs");
    }
    {
        Ptr<IEnumString> e;
        const HRESULT hr = br->BrowseOPCItemIDs(OPC_FLAT, L"*[a-", VT_EMPTY, 0, &e.p);
        Check(hr == OPC_E_INVALIDFILTER && !e.p,
              "BrowseOPCItemIDs(OPC_FLAT, \"*[a-\"): OPC_E_INVALIDFILTER " + Hr(hr));
    }
}

bool Browse(IOPCServer* server, TAddressSpace& as, bool verbose) {
    Ptr<IOPCBrowseServerAddressSpace> br;
    HRESULT hr = server->QueryInterface(IID_IOPCBrowseServerAddressSpace, br.out());
    if (verbose) Check(SUCCEEDED(hr), "IOPCBrowseServerAddressSpace " + Hr(hr));
    if (FAILED(hr)) return false;
    OPCNAMESPACETYPE ns{};
    hr = br->QueryOrganization(&ns);
    if (verbose) Check(hr == S_OK && ns == OPC_NS_HIERARCHIAL, "QueryOrganization: hierarchical");
    bool strings = true;
    {
        Ptr<IEnumString> e;
        hr = br->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, &e.p);
        as.flat = ReadEnum(e.p, strings);
        // Checked against the hierarchy at the end.
        if (verbose)
            Check(hr == S_OK && e.p && strings, "BrowseOPCItemIDs(OPC_FLAT) " + Hr(hr) + ": " +
                                                    std::to_string(as.flat.size()) + " item IDs");
    }
    std::vector<std::wstring> branches;
    {
        Ptr<IEnumString> e;
        hr = br->BrowseOPCItemIDs(OPC_BRANCH, L"", VT_EMPTY, 0, &e.p);
        branches = ReadEnum(e.p, strings);
        if (verbose)
            Check(hr == S_OK && !branches.empty() && strings,
                  "BrowseOPCItemIDs(OPC_BRANCH) at the root: " + std::to_string(branches.size()) +
                      " stations, first \"" + Utf8(branches.empty() ? L"" : branches[0].c_str()) +
                      "\"");
    }
    if (branches.empty()) return false;
    as.station = branches[0];
    hr = br->ChangeBrowsePosition(OPC_BROWSE_DOWN, as.station.c_str());
    if (verbose) Check(hr == S_OK, "ChangeBrowsePosition(DOWN) " + Hr(hr));
    std::vector<std::wstring> leafNames;
    {
        Ptr<IEnumString> e;
        hr = br->BrowseOPCItemIDs(OPC_LEAF, L"", VT_EMPTY, 0, &e.p);
        leafNames = ReadEnum(e.p, strings);
        if (verbose)
            Check(hr == S_OK && leafNames.size() >= 3 && strings,
                  "BrowseOPCItemIDs(OPC_LEAF) in the station: " + std::to_string(leafNames.size()) +
                      " leaves");
    }
    as.leaves.clear();
    bool idsOk = true;
    for (const auto& leaf : leafNames) {
        LPWSTR id = nullptr;
        hr = br->GetItemID(const_cast<LPWSTR>(leaf.c_str()), &id);
        if (hr != S_OK || !id) {
            idsOk = false;
            if (verbose)
                Check(false, "GetItemID(\"" + Utf8(leaf.c_str()) + "\") " + Hr(hr) +
                                 (id ? "" : " with a null string"));
            continue;
        }
        as.leaves.emplace_back(id);
        if (leaf == L"Connected") as.connected = id;
        CoTaskMemFree(id);
    }
    as.firstSub = SubBranchLeaves(br.p);
    as.sub = as.firstSub;
    if (verbose) {
        const bool distinct = std::all_of(as.leaves.begin(), as.leaves.end(), [&](const auto& id) {
            return std::count(as.leaves.begin(), as.leaves.end(), id) == 1 &&
                   id.find(as.station) != std::wstring::npos;
        });
        Check(idsOk && !as.leaves.empty() && distinct,
              "GetItemID ([out] LPWSTR) of every leaf: distinct item IDs naming the station, e.g. "
              "\"" +
                  Utf8(as.leaves.empty() ? L"" : as.leaves[0].c_str()) + "\"");
        // Filters (name, data type, rights): the matching leaves are in the answer, and
        // the read-only "Connected" is not among the writeable ones.
        const struct {
            const wchar_t* criteria;
            VARTYPE vt;
            DWORD rights;
            bool connected;
        } filters[] = {{L"Connect*", VT_EMPTY, 0, true},
                       {L"", VT_BOOL, 0, true},
                       {L"*", VT_EMPTY, OPC_WRITEABLE, false}};
        for (const auto& f : filters) {
            Ptr<IEnumString> ef;
            hr = br->BrowseOPCItemIDs(OPC_LEAF, f.criteria, f.vt, f.rights, &ef.p);
            const auto got = ReadEnum(ef.p, strings);
            const bool hasConnected = std::find(got.begin(), got.end(), L"Connected") != got.end();
            Check(SUCCEEDED(hr) && strings && hasConnected == f.connected &&
                      got.size() <= leafNames.size(),
                  "BrowseOPCItemIDs(OPC_LEAF, \"" + Utf8(f.criteria) + "\", vt " +
                      std::to_string(f.vt) + ", rights " + std::to_string(f.rights) +
                      "): " + std::to_string(got.size()) + " leaves, \"Connected\" " +
                      (f.connected ? "among them" : "not among them"));
        }
        Ptr<IEnumString> ap;
        hr = br->BrowseAccessPaths(as.leaves.empty() ? L"" : as.leaves[0].c_str(), &ap.p);
        Check(hr == S_OK || hr == S_FALSE || hr == E_NOTIMPL,
              "BrowseAccessPaths of a leaf " + Hr(hr));
        hr = br->ChangeBrowsePosition(OPC_BROWSE_UP, L"");
        Check(hr == S_OK, "ChangeBrowsePosition(UP) back to the root");
        hr = br->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"no such branch");
        Check(FAILED(hr), "ChangeBrowsePosition to an unknown branch fails " + Hr(hr));
    } else {
        br->ChangeBrowsePosition(OPC_BROWSE_UP, L"");
    }
    // Every station's leaves (the first station's are as.leaves).
    as.all = as.leaves;
    for (size_t b = 1; b < branches.size(); ++b) {
        if (br->ChangeBrowsePosition(OPC_BROWSE_DOWN, branches[b].c_str()) != S_OK) continue;
        Ptr<IEnumString> e;
        br->BrowseOPCItemIDs(OPC_LEAF, L"", VT_EMPTY, 0, &e.p);
        for (const auto& leaf : ReadEnum(e.p, strings)) {
            LPWSTR id = nullptr;
            if (br->GetItemID(const_cast<LPWSTR>(leaf.c_str()), &id) == S_OK && id)
                as.all.emplace_back(id);
            CoTaskMemFree(id);
        }
        const auto sub = SubBranchLeaves(br.p);
        as.sub.insert(as.sub.end(), sub.begin(), sub.end());
        br->ChangeBrowsePosition(OPC_BROWSE_UP, L"");
    }
    if (verbose) CheckFlat(br.p, as, branches.size());
    return !as.leaves.empty();
}

struct TGroup {
    Ptr<IUnknown> unk;
    OPCHANDLE hGroup = 0;
    std::vector<OPCHANDLE> hServer;
    std::vector<VARTYPE> canonical;
    std::vector<HRESULT> errors;
    DWORD cookie = 0;
    Ptr<IConnectionPoint> cp;
};

bool AddGroup(IOPCServer* server, const wchar_t* name, DWORD rate,
              const std::vector<std::wstring>& ids, TGroup& g, bool verbose) {
    DWORD revised = 0;
    HRESULT hr = server->AddGroup(name, TRUE, rate, 77, nullptr, nullptr, 0, &g.hGroup, &revised,
                                  IID_IUnknown, &g.unk.p);
    if (verbose)
        Check(hr == S_OK && g.unk.p,
              "AddGroup " + Hr(hr) + " revised rate " + std::to_string(revised));
    if (!g.unk.p) return false;
    Ptr<IOPCItemMgt> mgt;
    g.unk->QueryInterface(IID_IOPCItemMgt, mgt.out());
    if (!mgt.p) return false;
    std::vector<OPCITEMDEF> defs(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        defs[i].szAccessPath = const_cast<LPWSTR>(L"");
        defs[i].szItemID = const_cast<LPWSTR>(ids[i].c_str());
        defs[i].bActive = TRUE;
        defs[i].hClient = static_cast<OPCHANDLE>(i);
        defs[i].vtRequestedDataType = VT_EMPTY;
    }
    OPCITEMRESULT* res = nullptr;
    HRESULT* errs = nullptr;
    hr = mgt->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &res, &errs);
    bool all = hr == S_OK && res && errs;
    for (size_t i = 0; res && errs && i < ids.size(); ++i) {
        g.hServer.push_back(res[i].hServer);
        g.canonical.push_back(res[i].vtCanonicalDataType);
        g.errors.push_back(errs[i]);
        if (res[i].pBlob) CoTaskMemFree(res[i].pBlob);
    }
    CoTaskMemFree(res);
    CoTaskMemFree(errs);
    if (verbose) Check(all, "AddItems of " + std::to_string(ids.size()) + " items " + Hr(hr));
    return all;
}

bool Subscribe(TGroup& g, TSink& sink, bool verbose) {
    Ptr<IConnectionPointContainer> cpc;
    HRESULT hr = g.unk->QueryInterface(IID_IConnectionPointContainer, cpc.out());
    if (SUCCEEDED(hr)) hr = cpc->FindConnectionPoint(IID_IOPCDataCallback, &g.cp.p);
    if (SUCCEEDED(hr)) hr = g.cp->Advise(static_cast<IOPCDataCallback*>(&sink), &g.cookie);
    if (verbose) Check(hr == S_OK, "IConnectionPoint::Advise(IOPCDataCallback) " + Hr(hr));
    return hr == S_OK;
}

void Unsubscribe(TGroup& g) {
    if (g.cp.p && g.cookie) g.cp->Unadvise(g.cookie);
    g.cookie = 0;
}

int FindLeaf(const TAddressSpace& as, const TGroup& g, VARTYPE vt, bool notConnected) {
    for (size_t i = 0; i < as.leaves.size() && i < g.canonical.size(); ++i)
        if (g.canonical[i] == vt && g.errors[i] == S_OK &&
            (!notConnected || as.leaves[i] != as.connected))
            return static_cast<int>(i);
    return -1;
}

// ---- Runs ---------------------------------------------------------------------------

int RunFind() {
    Ptr<ICatInformation> cat;
    HRESULT hr = CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_ICatInformation, cat.out());
    Check(SUCCEEDED(hr), "component category manager " + Hr(hr));
    bool found = false;
    int classes = 0;
    if (cat.p) {
        Ptr<IEnumCLSID> e;
        CATID c = kCatidOPCDAServer20;
        hr = cat->EnumClassesOfCategories(1, &c, 0, nullptr, &e.p);
        CLSID id;
        ULONG got = 0;
        while (e.p && e->Next(1, &id, &got) == S_OK && got == 1) {
            ++classes;
            if (IsEqualCLSID(id, kServerClsid)) found = true;
        }
    }
    Check(found, "EnumClassesOfCategories(CATID_OPCDAServer20) lists Telegate (" +
                     std::to_string(classes) + " class(es))");
    CLSID byProg{};
    hr = CLSIDFromProgID(L"Telegate.OPCServer", &byProg);
    Check(hr == S_OK && IsEqualCLSID(byProg, kServerClsid),
          "CLSIDFromProgID(\"Telegate.OPCServer\") " + Hr(hr));
    LPOLESTR prog = nullptr;
    hr = ProgIDFromCLSID(kServerClsid, &prog);
    Check(hr == S_OK && prog && std::wcscmp(prog, L"Telegate.OPCServer") == 0, "ProgIDFromCLSID");
    CoTaskMemFree(prog);
    return gFailures;
}

void CheckServerStrings(IOPCServer* server) {
    OPCSERVERSTATUS* st = nullptr;
    HRESULT hr = server->GetStatus(&st);
    Check(hr == S_OK && st && st->szVendorInfo && st->szVendorInfo[0],
          "GetStatus: szVendorInfo \"" + Utf8(st ? st->szVendorInfo : nullptr) + "\", state " +
              std::to_string(st ? st->dwServerState : 0));
    if (st) {
        Check(st->dwServerState == OPC_STATUS_RUNNING &&
                  FileTimeAgeSeconds(st->ftCurrentTime) < 60 &&
                  FileTimeAgeSeconds(st->ftCurrentTime) > -60,
              "GetStatus: running, current time within a minute of ours");
        CoTaskMemFree(st->szVendorInfo);
        CoTaskMemFree(st);
    }
    LPWSTR text = nullptr;
    hr = server->GetErrorString(OPC_E_UNKNOWNITEMID, 0x409, &text);
    Check(hr == S_OK && text && text[0], "IOPCServer::GetErrorString: \"" + Utf8(text) + "\"");
    CoTaskMemFree(text);
    // The server's own command errors, in Russian as well ([out] LPWSTR through the proxy).
    text = nullptr;
    hr = server->GetErrorString(static_cast<HRESULT>(0xC0040401u), 0x419, &text);
    Check(hr == S_OK && text && text[0],
          "IOPCServer::GetErrorString of a rejected command in 0x419: \"" + Utf8(text) + "\"");
    CoTaskMemFree(text);
    Ptr<IOPCCommon> common;
    server->QueryInterface(IID_IOPCCommon, common.out());
    text = nullptr;
    hr = common.p ? common->GetErrorString(E_FAIL, &text) : E_NOINTERFACE;
    Check(hr == S_OK && text && text[0], "IOPCCommon::GetErrorString: \"" + Utf8(text) + "\"");
    CoTaskMemFree(text);
    if (common.p) {
        hr = common->SetClientName(L"opcclient");
        Check(hr == S_OK, "SetClientName");
        DWORD n = 0;
        LCID* ids = nullptr;
        hr = common->QueryAvailableLocaleIDs(&n, &ids);
        Check(hr == S_OK && n == 2 && ids && ids[0] == 0x409 && ids[1] == 0x419,
              "QueryAvailableLocaleIDs " + Hr(hr) + ": " + std::to_string(n) + " (0x409, 0x419)");
        CoTaskMemFree(ids);
    }
}

void CheckProperties(IOPCServer* server, const std::wstring& item) {
    Ptr<IOPCItemProperties> props;
    HRESULT hr = server->QueryInterface(IID_IOPCItemProperties, props.out());
    Check(SUCCEEDED(hr), "IOPCItemProperties " + Hr(hr));
    if (!props.p) return;
    DWORD n = 0;
    DWORD* ids = nullptr;
    LPWSTR* desc = nullptr;
    VARTYPE* types = nullptr;
    hr = props->QueryAvailableProperties(const_cast<LPWSTR>(item.c_str()), &n, &ids, &desc, &types);
    bool allDesc = n == 0 || desc != nullptr;
    std::string first;
    for (DWORD i = 0; desc && i < n; ++i) {
        if (!desc[i]) allDesc = false;
        if (i == 0) first = Utf8(desc[i]);
        CoTaskMemFree(desc[i]);
    }
    Check(SUCCEEDED(hr) && allDesc,
          "QueryAvailableProperties " + Hr(hr) + ": " + std::to_string(n) +
              " properties, every description ([out] LPWSTR*) set, first \"" + first + "\"");
    if (ids && n > 0) {
        VARIANT* data = nullptr;
        HRESULT* errs = nullptr;
        hr = props->GetItemProperties(const_cast<LPWSTR>(item.c_str()), n, ids, &data, &errs);
        int good = 0;
        bool strOk = true;
        for (DWORD i = 0; data && errs && i < n; ++i) {
            if (errs[i] == S_OK) ++good;
            if (data[i].vt == VT_BSTR && !data[i].bstrVal) strOk = false;
            VariantClear(&data[i]);
        }
        Check(
            hr == S_OK && good == static_cast<int>(n) && strOk,
            "GetItemProperties: " + std::to_string(good) + " of " + std::to_string(n) + " values");
        CoTaskMemFree(data);
        CoTaskMemFree(errs);
        LPWSTR* newIds = nullptr;
        errs = nullptr;
        hr = props->LookupItemIDs(const_cast<LPWSTR>(item.c_str()), n, ids, &newIds, &errs);
        bool consistent = SUCCEEDED(hr) && newIds && errs;
        for (DWORD i = 0; consistent && i < n; ++i) {
            if (errs[i] == S_OK && !newIds[i]) consistent = false;
            CoTaskMemFree(newIds[i]);
        }
        Check(consistent, "LookupItemIDs " + Hr(hr) + ": every S_OK entry carries its string");
        CoTaskMemFree(newIds);
        CoTaskMemFree(errs);
    }
    CoTaskMemFree(ids);
    CoTaskMemFree(types);
    n = 0;
    hr = props->QueryAvailableProperties(const_cast<LPWSTR>(L"no such item"), &n, &ids, &desc,
                                         &types);
    Check(FAILED(hr) && n == 0, "QueryAvailableProperties of an unknown item fails " + Hr(hr));
}

int RunFull() {
    Ptr<IOPCServer> server;
    server.p = Connect();
    if (!server.p) return gFailures;
    CheckServerStrings(server.p);
    TAddressSpace as;
    if (!Browse(server.p, as, true)) return gFailures;
    CheckProperties(server.p, as.leaves[0]);

    TSink sink;
    TGroup g;
    if (!AddGroup(server.p, L"main", 100, as.leaves, g, true) || !Subscribe(g, sink, true))
        return gFailures;
    const int meas = FindLeaf(as, g, VT_R8, false);
    const int sw = FindLeaf(as, g, VT_BOOL, true);
    Check(meas >= 0 && sw >= 0,
          "the station has a measurement (VT_R8) and a two-state item (VT_BOOL)");
    if (meas < 0 || sw < 0) return gFailures;
    std::printf("items: measurement \"%s\", switch \"%s\", link \"%s\"\n",
                Utf8(as.leaves[meas].c_str()).c_str(), Utf8(as.leaves[sw].c_str()).c_str(),
                Utf8(as.connected.c_str()).c_str());

    // Group state strings through the proxy.
    {
        Ptr<IOPCGroupStateMgt> gs;
        g.unk->QueryInterface(IID_IOPCGroupStateMgt, gs.out());
        DWORD rate = 0, lcid = 0;
        BOOL active = FALSE;
        LPWSTR name = nullptr;
        LONG bias = 0;
        FLOAT db = 0;
        OPCHANDLE hc = 0, hs = 0;
        const HRESULT hr =
            gs.p ? gs->GetState(&rate, &active, &name, &bias, &db, &lcid, &hc, &hs) : E_NOINTERFACE;
        Check(hr == S_OK && name && std::wcscmp(name, L"main") == 0 && hc == 77 && hs == g.hGroup,
              "IOPCGroupStateMgt::GetState: name \"" + Utf8(name) + "\" ([out] LPWSTR)");
        CoTaskMemFree(name);
        Ptr<IOPCItemMgt> mgt;
        g.unk->QueryInterface(IID_IOPCItemMgt, mgt.out());
        Ptr<IEnumOPCItemAttributes> en;
        HRESULT h2 = mgt.p ? mgt->CreateEnumerator(IID_IEnumOPCItemAttributes,
                                                   reinterpret_cast<IUnknown**>(&en.p))
                           : E_NOINTERFACE;
        OPCITEMATTRIBUTES* attrs = nullptr;
        ULONG got = 0;
        if (h2 == S_OK) h2 = en->Next(static_cast<ULONG>(as.leaves.size()), &attrs, &got);
        bool ok = attrs && got == as.leaves.size();
        for (ULONG i = 0; attrs && i < got; ++i) {
            if (!attrs[i].szItemID || as.leaves[attrs[i].hClient] != attrs[i].szItemID) ok = false;
            CoTaskMemFree(attrs[i].szItemID);
            CoTaskMemFree(attrs[i].szAccessPath);
            CoTaskMemFree(attrs[i].pBlob);
            VariantClear(&attrs[i].vEUInfo);
        }
        CoTaskMemFree(attrs);
        Check(ok, "IEnumOPCItemAttributes::Next: " + std::to_string(got) +
                      " items, every szItemID set");
    }

    // The server's group list through the standard string enumerator, and a lookup
    // by name.
    {
        Ptr<IEnumString> names;
        HRESULT hr = server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString,
                                                   reinterpret_cast<IUnknown**>(&names.p));
        bool strings = true;
        const auto list = ReadEnum(names.p, strings);
        Check(hr == S_OK && strings && std::count(list.begin(), list.end(), L"main") == 1,
              "CreateGroupEnumerator(OPC_ENUM_ALL, IEnumString): " + std::to_string(list.size()) +
                  " group(s), \"main\" among them");
        Ptr<IUnknown> byName;
        hr = server->GetGroupByName(L"main", IID_IOPCGroupStateMgt, &byName.p);
        Check(hr == S_OK && byName.p, "GetGroupByName(\"main\") " + Hr(hr));
    }

    // 1. A value changed at the station arrives in OnDataChange with quality and time.
    const OPCHANDLE hm = static_cast<OPCHANDLE>(meas);
    TCallback first, changed;
    bool got = sink.Wait(
        0, 15000,
        [&](const TCallback& c) {
            return c.kind == 'D' &&
                   std::any_of(c.items.begin(), c.items.end(), [&](const auto& it) {
                       return it.hClient == hm && (it.quality & 0xC0) == 0xC0;
                   });
        },
        &first);
    Check(got, "OnDataChange with the measurement in good quality");
    double v0 = 0;
    for (const auto& it : first.items)
        if (it.hClient == hm) v0 = it.value;
    got = got && sink.Wait(
                     0, 15000,
                     [&](const TCallback& c) {
                         return c.kind == 'D' &&
                                std::any_of(c.items.begin(), c.items.end(), [&](const auto& it) {
                                    return it.hClient == hm && it.value != v0 &&
                                           (it.quality & 0xC0) == 0xC0 && it.vt == VT_R8 &&
                                           std::abs(FileTimeAgeSeconds(it.time)) < 120;
                                });
                     },
                     &changed);
    Check(got,
          "a value changed at the station arrives in OnDataChange (VT_R8, quality good, time stamp "
          "within 2 min)");

    Ptr<IOPCSyncIO> sync;
    g.unk->QueryInterface(IID_IOPCSyncIO, sync.out());
    // 2. IOPCSyncIO::Read from cache and device.
    for (OPCDATASOURCE src : {OPC_DS_CACHE, OPC_DS_DEVICE}) {
        OPCITEMSTATE* st = nullptr;
        HRESULT* errs = nullptr;
        OPCHANDLE hs = g.hServer[meas];
        const HRESULT hr = sync.p ? sync->Read(src, 1, &hs, &st, &errs) : E_NOINTERFACE;
        Check(hr == S_OK && st && errs && errs[0] == S_OK && st[0].hClient == hm &&
                  st[0].vDataValue.vt == VT_R8 && (st[0].wQuality & 0xC0) == 0xC0,
              std::string("IOPCSyncIO::Read from ") + (src == OPC_DS_CACHE ? "cache" : "device") +
                  ": " + std::to_string(st ? AsDouble(st[0].vDataValue) : 0.0));
        if (st) VariantClear(&st[0].vDataValue);
        CoTaskMemFree(st);
        CoTaskMemFree(errs);
    }
    {
        OPCITEMSTATE* st = nullptr;
        HRESULT* errs = nullptr;
        OPCHANDLE bad = 0xDEADBEEF;
        const HRESULT hr = sync->Read(OPC_DS_CACHE, 1, &bad, &st, &errs);
        Check(hr == S_FALSE && errs && errs[0] == OPC_E_INVALIDHANDLE,
              "IOPCSyncIO::Read of an unknown handle: S_FALSE, OPC_E_INVALIDHANDLE");
        CoTaskMemFree(st);
        CoTaskMemFree(errs);
    }

    // 3. A write of 1 to the two-state item: the command at the station (the script
    // reads the simulator's log).
    {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_BOOL;
        v.boolVal = VARIANT_TRUE;
        OPCHANDLE hs = g.hServer[sw];
        HRESULT* errs = nullptr;
        const HRESULT hr = sync->Write(1, &hs, &v, &errs);
        Check(hr == S_OK && errs && errs[0] == S_OK,
              "IOPCSyncIO::Write of true to the switch " + Hr(hr));
        CoTaskMemFree(errs);
        Touch("write.done");
        // A measurement cannot be commanded: refused, never S_OK.
        hs = g.hServer[meas];
        errs = nullptr;
        const HRESULT hm = sync->Write(1, &hs, &v, &errs);
        Check(hm == S_FALSE && errs && errs[0] == OPC_E_BADRIGHTS,
              "a write to a measurement: OPC_E_BADRIGHTS " + Hr(hm));
        CoTaskMemFree(errs);
        // The round trip of a command: the write answers when the station confirmed
        // the execute. VT_I4 1 means on, 0 off.
        std::vector<double> ms;
        for (int i = 0; i < 9; ++i) {
            VARIANT iv;
            VariantInit(&iv);
            iv.vt = VT_I4;
            iv.lVal = (i % 2 == 0) ? 1 : 0;
            hs = g.hServer[sw];
            errs = nullptr;
            const auto t0 = std::chrono::steady_clock::now();
            const HRESULT hw = sync->Write(1, &hs, &iv, &errs);
            const auto t1 = std::chrono::steady_clock::now();
            const bool ok = hw == S_OK && errs && errs[0] == S_OK;
            CoTaskMemFree(errs);
            if (!ok) {
                Check(false, "IOPCSyncIO::Write of VT_I4 to the switch " + Hr(hw));
                break;
            }
            ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        }
        if (ms.size() == 9) {
            std::sort(ms.begin(), ms.end());
            Check(true, "IOPCSyncIO::Write of VT_I4 1/0 to the switch, confirmed by the station");
            std::printf(
                "figure: IOPCSyncIO::Write round trip (select + execute confirmed): median %.1f ms "
                "(9 writes)\n",
                ms[4]);
        }
        // The link state is not writeable.
        int ci = -1;
        for (size_t i = 0; i < as.leaves.size(); ++i)
            if (as.leaves[i] == as.connected) ci = static_cast<int>(i);
        if (ci >= 0) {
            hs = g.hServer[ci];
            errs = nullptr;
            const HRESULT h2 = sync->Write(1, &hs, &v, &errs);
            Check(h2 == S_FALSE && errs && FAILED(errs[0]),
                  "a write to \"Connected\" is refused per item");
            CoTaskMemFree(errs);
        }
    }

    // 4. IOPCAsyncIO2: read, write, refresh, cancel, with their transaction ids.
    Ptr<IOPCAsyncIO2> async;
    g.unk->QueryInterface(IID_IOPCAsyncIO2, async.out());
    Check(async.p != nullptr, "IOPCAsyncIO2");
    if (async.p) {
        size_t from = sink.Count();
        OPCHANDLE hs[2] = {g.hServer[meas], g.hServer[sw]};
        DWORD cancel = 0;
        HRESULT* errs = nullptr;
        HRESULT hr = async->Read(2, hs, 501, &cancel, &errs);
        CoTaskMemFree(errs);
        TCallback rc;
        const bool rd =
            hr == S_OK &&
            sink.Wait(
                from, 10000, [](const TCallback& c) { return c.kind == 'R' && c.transId == 501; },
                &rc);
        Check(rd && rc.items.size() == 2,
              "IOPCAsyncIO2::Read: OnReadComplete with transaction 501 and 2 items");
        from = sink.Count();
        VARIANT vals[1];
        VariantInit(&vals[0]);
        vals[0].vt = VT_BOOL;
        vals[0].boolVal = VARIANT_FALSE;
        errs = nullptr;
        hr = async->Write(1, &hs[1], vals, 502, &cancel, &errs);
        CoTaskMemFree(errs);
        TCallback wc;
        const bool wr =
            hr == S_OK &&
            sink.Wait(
                from, 10000, [](const TCallback& c) { return c.kind == 'W' && c.transId == 502; },
                &wc);
        Check(wr && wc.items.size() == 1 && wc.items[0].error == S_OK,
              "IOPCAsyncIO2::Write: OnWriteComplete with transaction 502");
        from = sink.Count();
        hr = async->Refresh2(OPC_DS_CACHE, 503, &cancel);
        TCallback fc;
        const bool rf =
            hr == S_OK &&
            sink.Wait(
                from, 10000, [](const TCallback& c) { return c.kind == 'D' && c.transId == 503; },
                &fc);
        Check(rf && fc.items.size() == as.leaves.size(),
              "IOPCAsyncIO2::Refresh2: OnDataChange with transaction 503 and every item (" +
                  std::to_string(fc.items.size()) + ")");
        hr = async->Cancel2(0x7FFFFFF0);
        Check(hr == E_FAIL, "IOPCAsyncIO2::Cancel2 of an unknown transaction: E_FAIL " + Hr(hr));
        // A refresh cancelled at once: Cancel2 S_OK, OnCancelComplete for the
        // transaction and the refresh never arrives; or Cancel2 too late (E_FAIL) and
        // the refresh arrives.
        from = sink.Count();
        hr = async->Refresh2(OPC_DS_DEVICE, 504, &cancel);
        const HRESULT hc = async->Cancel2(cancel);
        bool cc = false;
        if (hr == S_OK && hc == S_OK) {
            TCallback cb;
            cc = sink.Wait(
                     from, 10000,
                     [](const TCallback& c) { return c.kind == 'C' && c.transId == 504; }, &cb) &&
                 cb.group == 77 && !sink.Wait(from, 1000, [](const TCallback& c) {
                     return c.kind == 'D' && c.transId == 504;
                 });
        } else if (hr == S_OK) {
            cc = sink.Wait(from, 10000,
                           [](const TCallback& c) { return c.kind == 'D' && c.transId == 504; });
        }
        Check(cc, std::string("IOPCAsyncIO2::Cancel2 right after Refresh2: ") +
                      (hc == S_OK ? "S_OK, OnCancelComplete(504, group 77), and no refresh"
                                  : "too late (" + Hr(hc) + "), the refresh arrived"));
        // A write cancelled at once the same way: OnCancelComplete, no OnWriteComplete.
        from = sink.Count();
        VARIANT wv;
        VariantInit(&wv);
        wv.vt = VT_BOOL;
        wv.boolVal = VARIANT_FALSE;
        errs = nullptr;
        hr = async->Write(1, &hs[1], &wv, 505, &cancel, &errs);
        CoTaskMemFree(errs);
        const HRESULT hw = async->Cancel2(cancel);
        bool cw = false;
        if (hr == S_OK && hw == S_OK)
            cw = sink.Wait(from, 10000, [](const TCallback& c) {
                return c.kind == 'C' && c.transId == 505;
            }) && !sink.Wait(from, 1000, [](const TCallback& c) {
                return c.kind == 'W' && c.transId == 505;
            });
        else if (hr == S_OK)
            cw = sink.Wait(from, 10000,
                           [](const TCallback& c) { return c.kind == 'W' && c.transId == 505; });
        Check(cw, std::string("IOPCAsyncIO2::Cancel2 right after Write: ") +
                      (hw == S_OK ? "S_OK, OnCancelComplete(505), and no write completion"
                                  : "too late (" + Hr(hw) + "), the write completed"));
        Check(async->Cancel2(cancel) == E_FAIL,
              "IOPCAsyncIO2::Cancel2 of the same id again: E_FAIL");
    }

    // 5. A link loss turns the station's items bad (the script stops the simulator).
    {
        const size_t from = sink.Count();
        Touch("linkloss.request");
        TCallback bad;
        const bool lost = sink.Wait(
            from, 60000,
            [&](const TCallback& c) {
                return c.kind == 'D' &&
                       std::any_of(c.items.begin(), c.items.end(), [&](const auto& it) {
                           return it.hClient == hm && (it.quality & 0xC0) != 0xC0;
                       });
            },
            &bad);
        Check(lost, "a link loss turns the measurement bad in OnDataChange");
        OPCITEMSTATE* st = nullptr;
        HRESULT* errs = nullptr;
        OPCHANDLE hs = g.hServer[meas];
        sync->Read(OPC_DS_CACHE, 1, &hs, &st, &errs);
        Check(st && (st[0].wQuality & 0xC0) != 0xC0,
              "IOPCSyncIO::Read after the link loss: quality not good");
        if (st) VariantClear(&st[0].vDataValue);
        CoTaskMemFree(st);
        CoTaskMemFree(errs);
    }
    Unsubscribe(g);
    const HRESULT hr = server->RemoveGroup(g.hGroup, FALSE);
    Check(SUCCEEDED(hr), "RemoveGroup " + Hr(hr));
    return gFailures;
}

int RunHold() {
    Ptr<IOPCServer> server;
    server.p = Connect();
    if (!server.p) return gFailures;
    TAddressSpace as;
    TSink sink;
    TGroup g;
    if (!Browse(server.p, as, false) || !AddGroup(server.p, L"hold", 100, as.leaves, g, false) ||
        !Subscribe(g, sink, false))
        return ++gFailures;
    Touch("hold.ready");
    Sleep(120000);  // killed by the script long before
    return gFailures;
}

int RunWatch() {
    Ptr<IOPCServer> server;
    server.p = Connect();
    if (!server.p) return gFailures;
    TAddressSpace as;
    TSink sink;
    TGroup g;
    if (!Browse(server.p, as, false) || !AddGroup(server.p, L"watch", 100, as.leaves, g, false) ||
        !Subscribe(g, sink, true))
        return ++gFailures;
    // Two data changes a second apart: the subscription keeps running.
    const bool a = sink.Wait(0, 15000, [](const TCallback& c) { return c.kind == 'D'; });
    Sleep(1000);
    const size_t n = sink.Count();
    const bool b = sink.Wait(n, 15000, [](const TCallback& c) { return c.kind == 'D'; });
    Check(a && b, "this client's OnDataChange keeps arriving");
    Unsubscribe(g);
    server->RemoveGroup(g.hGroup, FALSE);
    return gFailures;
}

int RunShutdown() {
    Ptr<IOPCServer> server;
    server.p = Connect();
    if (!server.p) return gFailures;
    TSink sink;
    Ptr<IConnectionPointContainer> cpc;
    Ptr<IConnectionPoint> cp;
    DWORD cookie = 0;
    HRESULT hr = server->QueryInterface(IID_IConnectionPointContainer, cpc.out());
    if (SUCCEEDED(hr)) hr = cpc->FindConnectionPoint(IID_IOPCShutdown, &cp.p);
    if (SUCCEEDED(hr)) hr = cp->Advise(static_cast<IOPCShutdown*>(&sink), &cookie);
    Check(hr == S_OK, "Advise(IOPCShutdown) " + Hr(hr));
    Touch("shutdown.ready");
    std::string reason;
    const bool got = sink.WaitShutdown(60000, reason);
    Check(got && !reason.empty(), "closing Telegate sends ShutdownRequest(\"" + reason + "\")");
    // The server is going: do not wait for it to answer the releases.
    cp.p = nullptr;
    cpc.p = nullptr;
    server.p = nullptr;
    return gFailures;
}

int RunBench() {
    Ptr<IOPCServer> server;
    server.p = Connect();
    if (!server.p) return gFailures;
    TAddressSpace as;
    if (!Browse(server.p, as, false)) return ++gFailures;
    // 1000 items: the address space's leaves, repeated (an item may be added to a
    // group more than once; each entry has its own handle).
    std::vector<std::wstring> ids;
    std::vector<std::wstring> leaves;
    for (const auto& id : as.all) leaves.push_back(id);
    for (size_t i = 0; ids.size() < 1000 && !leaves.empty(); ++i)
        ids.push_back(leaves[i % leaves.size()]);
    TSink sink;
    TGroup g;
    if (!AddGroup(server.p, L"bench", 100000, ids, g, true) || !Subscribe(g, sink, true))
        return gFailures;
    // The group's own first update; then Refresh2 of all 1000 from cache, each
    // answered by one OnDataChange carrying 1000 items. The same with a group of one
    // item tells the server's own wait (requests are served on its 50 ms tick) from
    // the cost of carrying 1000 items across the process boundary.
    sink.Wait(0, 5000, [](const TCallback& c) { return c.kind == 'D'; });
    TSink sink1;
    TGroup g1;
    if (!AddGroup(server.p, L"bench1", 100000, {ids[0]}, g1, false) || !Subscribe(g1, sink1, false))
        return ++gFailures;
    sink1.Wait(0, 5000, [](const TCallback& c) { return c.kind == 'D'; });
    const auto measure = [](TGroup& grp, TSink& sk, size_t items, std::vector<double>& ms) {
        Ptr<IOPCAsyncIO2> async;
        grp.unk->QueryInterface(IID_IOPCAsyncIO2, async.out());
        for (int k = 0; k < 30 && async.p; ++k) {
            const size_t from = sk.Count();
            DWORD cancel = 0;
            const DWORD tid = 1000 + static_cast<DWORD>(k);
            const auto t0 = Clock::now();
            if (async->Refresh2(OPC_DS_CACHE, tid, &cancel) != S_OK) break;
            TCallback c;
            if (!sk.Wait(
                    from, 10000,
                    [tid](const TCallback& cb) { return cb.kind == 'D' && cb.transId == tid; }, &c))
                break;
            if (c.items.size() != items) break;
            ms.push_back(std::chrono::duration<double, std::milli>(c.at - t0).count());
        }
        std::sort(ms.begin(), ms.end());
    };
    std::vector<double> ms, ms1;
    measure(g, sink, 1000, ms);
    measure(g1, sink1, 1, ms1);
    Check(ms.size() == 30 && ms1.size() == 30,
          "30 OnDataChange callbacks of 1000 items each, and 30 of one item");
    if (!ms.empty() && !ms1.empty())
        std::printf(
            "figure: OnDataChange out of process, Refresh2 to callback: 1000 items median %.2f ms "
            "(max %.2f), 1 item median %.2f ms (max %.2f), difference %.2f ms\n",
            ms[ms.size() / 2], ms.back(), ms1[ms1.size() / 2], ms1.back(),
            ms[ms.size() / 2] - ms1[ms1.size() / 2]);
    Unsubscribe(g1);
    server->RemoveGroup(g1.hGroup, FALSE);
    // The same 1000 item states in one synchronous call: what carrying them across
    // costs without the server's tick.
    {
        Ptr<IOPCSyncIO> sync;
        g.unk->QueryInterface(IID_IOPCSyncIO, sync.out());
        std::vector<double> rd;
        for (int k = 0; k < 30 && sync.p; ++k) {
            OPCITEMSTATE* st = nullptr;
            HRESULT* errs = nullptr;
            const auto t0 = Clock::now();
            const HRESULT hr = sync->Read(OPC_DS_CACHE, static_cast<DWORD>(g.hServer.size()),
                                          g.hServer.data(), &st, &errs);
            rd.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            for (size_t i = 0; st && i < g.hServer.size(); ++i) VariantClear(&st[i].vDataValue);
            CoTaskMemFree(st);
            CoTaskMemFree(errs);
            if (hr != S_OK) break;
        }
        std::sort(rd.begin(), rd.end());
        if (rd.size() == 30)
            std::printf("figure: IOPCSyncIO::Read of 1000 items out of process: median %.2f ms\n",
                        rd[rd.size() / 2]);
    }
    // IOPCSyncIO::Read of 100 items, from cache, for two seconds.
    Ptr<IOPCSyncIO> sync;
    g.unk->QueryInterface(IID_IOPCSyncIO, sync.out());
    if (sync.p) {
        std::vector<OPCHANDLE> hs(g.hServer.begin(), g.hServer.begin() + 100);
        int calls = 0;
        bool ok = true;
        const auto t0 = Clock::now();
        while (Clock::now() - t0 < std::chrono::seconds(2) && calls < 100000) {
            OPCITEMSTATE* st = nullptr;
            HRESULT* errs = nullptr;
            if (sync->Read(OPC_DS_CACHE, 100, hs.data(), &st, &errs) != S_OK) ok = false;
            for (int i = 0; st && i < 100; ++i) VariantClear(&st[i].vDataValue);
            CoTaskMemFree(st);
            CoTaskMemFree(errs);
            ++calls;
            if (!ok) break;
        }
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        Check(ok, "IOPCSyncIO::Read of 100 items answers S_OK");
        std::printf("figure: IOPCSyncIO::Read of 100 items from cache: %.0f calls/s (%d calls)\n",
                    calls / s, calls);
    }
    Unsubscribe(g);
    server->RemoveGroup(g.hGroup, FALSE);
    return gFailures;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: opcclient find|full DIR|hold DIR|watch|shutdown DIR|bench\n", stderr);
        return 100;
    }
    const std::string cmd = argv[1];
    gDir = argc > 2 ? argv[2] : ".";
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        std::puts("FAIL: CoInitializeEx");
        return 100;
    }
    int rc = 100;
    if (cmd == "find")
        rc = RunFind();
    else if (cmd == "full")
        rc = RunFull();
    else if (cmd == "hold")
        rc = RunHold();
    else if (cmd == "watch")
        rc = RunWatch();
    else if (cmd == "shutdown")
        rc = RunShutdown();
    else if (cmd == "bench")
        rc = RunBench();
    else
        std::fprintf(stderr, "opcclient: unknown command %s\n", cmd.c_str());
    std::printf("opcclient %s: %d failure(s)\n", cmd.c_str(), rc == 100 ? 1 : rc);
    std::fflush(stdout);
    // After a ShutdownRequest the server is going or gone, and the proxies this
    // client left unreleased on purpose would be released now; under Wine that
    // release can wait on the dead server for minutes. The process ends without it.
    if (cmd != "shutdown") CoUninitialize();
    return std::min(rc, 100);
}
