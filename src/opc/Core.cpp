#include "opc/Core.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <filesystem>
#include <system_error>
#include <utility>

#include "opc/Group.h"
#include "opc/Server.h"

namespace telegate::opc {

sOPC::sOPC(const IClock& clock) : FClock(clock) {}

sOPC::~sOPC() {
    StopUpdateLoop();
}

void sOPC::Init(const std::string& aServerName, const std::string& aServerDescription, bool LogFlag,
                const std::string& logDir, std::function<void(const std::string&)> report) {
    ServerName = aServerName;
    ServerDescription = aServerDescription;
    if (LogFlag && !FLog) {
        const std::string file = logDir.empty()
                                     ? kOpcLogFileName
                                     : (std::filesystem::path(logDir) / kOpcLogFileName).string();
        FLog = std::make_unique<TLogging>(file, FClock, std::move(report));
        FLog->WriteWithTimeStamp(true);
        FLog->WriteIntoFile("Start Log");
    }
}

void sOPC::Start() {
    {
        std::lock_guard lock(FStartMu);
        FCanStart = true;
    }
    FStartCv.notify_all();
}

void sOPC::WaitCanStart() {
    std::unique_lock lock(FStartMu);
    FStartCv.wait(lock, [&] { return FCanStart.load(); });
}

namespace {
// The ShutdownRequest calls of one close, shared with their threads.
struct TShutdownCalls {
    std::mutex Mu;
    std::condition_variable Cv;
    size_t Remaining = 0;
};

void AnswerShutdownCall(const std::shared_ptr<TShutdownCalls>& calls) {
    {
        std::lock_guard lock(calls->Mu);
        --calls->Remaining;
    }
    calls->Cv.notify_all();
}
}  // namespace

size_t sOPC::ShutDown(std::chrono::milliseconds limit) {
    std::vector<sOPCDataAccess*> copy;
    {
        std::lock_guard lock(FCS);
        OnConnect = nullptr;
        for (sOPCDataAccess* s : FDataAccessServers)
            if (s->TryAddRef()) copy.push_back(s);
    }
    std::vector<IUnknown*> sinks;
    for (sOPCDataAccess* s : copy) {
        if (IUnknown* sink = s->ShutdownSink()) sinks.push_back(sink);
        s->Release();
    }
    auto calls = std::make_shared<TShutdownCalls>();
    calls->Remaining = sinks.size();
    for (IUnknown* sink : sinks) {
        // The thread holds the client's sink and the shared record, nothing else: a
        // client that returns after the limit finds no server object, no core.
        auto call = [calls, sink] {
            {
                TComThreadScope com;
                IOPCShutdown* sd = nullptr;
                if (SUCCEEDED(sink->QueryInterface(com::IidOf<IOPCShutdown>(),
                                                   reinterpret_cast<void**>(&sd))) &&
                    sd) {
                    const com::WString reason = com::W("Terminated by User.");
                    sd->ShutdownRequest(reason.c_str());
                    sd->Release();
                }
                sink->Release();
            }
            AnswerShutdownCall(calls);
        };
        try {
            std::thread(call).detach();
        } catch (const std::system_error& e) {
            WriteOPCLogException("sOPC.ShutDown", e.what());
            sink->Release();
            AnswerShutdownCall(calls);
        }
    }
    size_t unanswered = 0;
    {
        std::unique_lock lock(calls->Mu);
        calls->Cv.wait_for(lock, limit, [&] { return calls->Remaining == 0; });
        unanswered = calls->Remaining;
    }
    if (unanswered > 0)
        WriteOPCLog("sOPC.ShutDown - " + std::to_string(unanswered) +
                    " client(s) did not answer ShutdownRequest in time");
    return unanswered;
}

namespace {
const TAddressSpace kEmptySpace;
}  // namespace

TSpaceRef sOPC::SpaceRef() const {
    std::lock_guard lock(FSpaceMu);
    if (FSpace) return FSpace;
    return TSpaceRef(TSpaceRef(), &kEmptySpace);  // static: owns nothing
}

const TAddressSpace& sOPC::Space() const {
    std::lock_guard lock(FSpaceMu);
    return FSpace ? *FSpace : kEmptySpace;
}

TNodeRef sOPC::FindNode(const std::string& stItemID) const {
    if (!FAddressSpaceInit) return nullptr;
    TSpaceRef sp = SpaceRef();
    sOPCNode* n = sp->Find(stItemID);
    return n ? TNodeRef(sp, n) : nullptr;
}

void sOPC::AddBranch(int32_t Parent, int32_t Ident, const std::string& stItemID) {
    if (!FBuilding) return;
    auto n = std::make_unique<sOPCNode>();
    n->NodeType = ntBranch;
    n->Parent = Parent;
    n->Ident = Ident;
    n->stItemDataID = stItemID;
    FBuilding->Nodes.push_back(std::move(n));
}

void sOPC::AddLeaf(int32_t Parent, int32_t Ident, const std::string& stItemID, VARTYPE vtDataType,
                   DWORD dwAccessRights) {
    if (!FBuilding) return;
    auto n = std::make_unique<sOPCNode>();
    n->NodeType = ntLeaf;
    n->Parent = Parent;
    n->Ident = Ident;
    n->stItemDataID = stItemID;
    n->vtCanonicalDataType = vtDataType;
    n->dwAccessRights = dwAccessRights;
    FBuilding->Nodes.push_back(std::move(n));
}

void sOPC::AddProperty(int32_t Parent, DWORD dwPropertyID, const std::string& stItemID,
                       const std::string& stDescription, VARTYPE vtDataType,
                       const VARIANT& vPropertyData) {
    if (!FBuilding) return;
    auto n = std::make_unique<sOPCNode>();
    n->NodeType = ntProperty;
    n->Parent = Parent;
    n->Ident = -1;
    n->stItemDataID = stItemID;
    n->dwPropertyID = dwPropertyID;
    n->stDescription = stDescription;
    n->vtPropertyDataType = vtDataType;
    n->vPropertyData = vPropertyData;
    FBuilding->Nodes.push_back(std::move(n));
}

void sOPC::InitAddressSpace() {
    std::lock_guard lock(FInitCS);
    if (FAddressSpaceInit) return;
    Build();
}

void sOPC::RebuildAddressSpace() {
    {
        std::lock_guard lock(FInitCS);
        Build();
    }
    std::vector<sOPCGroup*> groups;
    {
        std::lock_guard lock(FGroupsCS);
        for (sOPCGroup* g : FGroups)
            if (g->TryAddRef()) groups.push_back(g);
    }
    for (sOPCGroup* g : groups) {
        g->ResolveItems();
        g->Release();
    }
}

TNodeRef sOPC::RemovedNode(const std::string& id) {
    auto n = std::make_shared<sOPCNode>();
    n->NodeType = ntLeaf;
    n->Ident = 0;
    n->stItemDataID = id;
    n->stItemID = id;
    n->dwAccessRights = OPC_READABLE;
    n->Removed = true;
    n->InitCurrent = true;
    n->Quality = kQualityConfigError;
    n->Version = 1;
    return n;
}

void sOPC::Build() {
    FBuilding = std::make_unique<TAddressSpace>();
    try {
        if (OnInitAddressSpace)
            OnInitAddressSpace(*this);
        else
            AddLeaf(0, 1, "No address space defined!", VT_I4, 3);
    } catch (const std::exception& e) {
        WriteOPCLogException("InitAddressSpace", e.what());
        AddLeaf(0, 1, "No address space defined (Exception)!", VT_I4, 3);
    } catch (...) {
        WriteOPCLogException("InitAddressSpace", "");
        AddLeaf(0, 1, "No address space defined (Exception)!", VT_I4, 3);
    }
    TAddressSpace& sp = *FBuilding;
    // Identifier index first: BuildItemIDs walks the parents through it.
    for (int i = 0; i < static_cast<int>(sp.Nodes.size()); ++i)
        if (sp.Nodes[i]->NodeType != ntProperty) sp.ByIdent.emplace(sp.Nodes[i]->Ident, i);
    BuildItemIDs(sp);
    for (int i = 0; i < static_cast<int>(sp.Nodes.size()); ++i) {
        sp.ByItemID.emplace(sp.Nodes[i]->stItemID, i);
        if (sp.Nodes[i]->NodeType != ntProperty)
            sp.BranchLeafByItemID.emplace(sp.Nodes[i]->stItemID, i);
    }
    TSpaceRef built(std::move(FBuilding));
    TSpaceRef replaced;  // freed here, outside the lock, unless someone still holds it
    {
        std::lock_guard lock(FSpaceMu);
        replaced = std::exchange(FSpace, std::move(built));
    }
    FAddressSpaceInit = true;  // published last: readers check it before using the indexes
}

void sOPC::BuildItemIDs(TAddressSpace& sp) {
    for (auto& n : sp.Nodes) {
        std::string id = n->stItemDataID;
        int32_t p = n->Parent;
        // A parent chain that loops (only a faulty construction makes one) stops after
        // as many steps as there are nodes.
        size_t steps = 0;
        while (steps++ < sp.Nodes.size()) {
            const int idx = sp.IndexOfNode(p);
            if (idx < 0) break;
            id = sp.Nodes[static_cast<size_t>(idx)]->stItemDataID + "." + id;
            p = sp.Nodes[static_cast<size_t>(idx)]->Parent;
        }
        n->stItemID = std::move(id);
    }
}

sOPCNode* sOPC::GetOPCNode(const std::string& stItemID, int32_t Ident) {
    if (!FAddressSpaceInit) return nullptr;
    const TAddressSpace& sp = Space();
    if (Ident == -1) return sp.Find(stItemID);
    // The first node of any kind with that identifier: properties carry -1, so only
    // branches and leaves can match here.
    const int idx = sp.IndexOfNode(Ident);
    return idx < 0 ? nullptr : sp.Nodes[static_cast<size_t>(idx)].get();
}

int sOPC::GetIndexOfNode(int32_t Ident) const {
    return Space().IndexOfNode(Ident);
}

int sOPC::GetIndexOfstItemID(const std::string& stItemID) const {
    if (!FAddressSpaceInit) return -1;
    return Space().IndexOfItemID(stItemID);
}

namespace {
bool SameValue(const VARIANT& a, const VARIANT& b) {
    if (a.vt != b.vt) return false;
    switch (a.vt) {
        case VT_EMPTY:
        case VT_NULL:
            return true;
        case VT_BSTR:
            return com::WideToUtf8(a.bstrVal) == com::WideToUtf8(b.bstrVal);
        default: {
            double x = 0.0, y = 0.0;
            if (com::VariantToDouble(a, x) && com::VariantToDouble(b, y)) return x == y;
            return false;
        }
    }
}

// The read callback under the node lock; a failing callback leaves the node empty,
// bad and stamped now. A change of value, quality or time stamp counts a version.
void CallRead(sOPC& core, const sOnRead& onRead, sOPCNode& node, const std::string& Path,
              VARTYPE DataType) {
    const WORD quality = node.Quality;
    const TDateTime stamp = node.LastUpdate;
    com::TVariant value(node.CurrentValue.get());
    if (node.Removed) return;
    if (onRead) {
        try {
            onRead(node, Path, DataType);
        } catch (const std::exception& e) {
            core.WriteOPCLogException("sOPC.ItemRead", e.what());
            node.CurrentValue.Clear();
            node.LastUpdate = core.Now();
            node.Quality = kQualityOutOfService;
        }
    }
    if (node.Version == 0 || node.Quality != quality || node.LastUpdate != stamp ||
        !SameValue(node.CurrentValue.get(), value.get()))
        ++node.Version;
}
}  // namespace

void sOPC::ItemRead(sOPCNode& node, const std::string& Path, VARTYPE DataType) {
    std::lock_guard lock(FNodeLock);
    if (!OnRead) return;
    CallRead(*this, OnRead, node, Path, DataType);
}

TNodeValue sOPC::ReadNode(sOPCNode& node, const std::string& Path, VARTYPE DataType,
                          bool fromDevice) {
    std::lock_guard lock(FNodeLock);
    if (!node.InitCurrent) {
        node.InitCurrent = true;
        fromDevice = true;
    }
    if (fromDevice || node.Version == 0) CallRead(*this, OnRead, node, Path, DataType);
    TNodeValue v;
    v.Value = node.CurrentValue;
    v.Quality = node.Quality;
    v.LastUpdate = node.LastUpdate;
    v.Version = node.Version;
    return v;
}

bool sOPC::ReadNodeIfMoved(sOPCNode& node, const std::string& Path, VARTYPE DataType,
                           uint64_t since, TNodeValue& out) {
    std::lock_guard lock(FNodeLock);
    node.InitCurrent = true;
    CallRead(*this, OnRead, node, Path, DataType);
    out.Quality = node.Quality;
    out.LastUpdate = node.LastUpdate;
    out.Version = node.Version;
    if (node.Version == since) return false;
    out.Value = node.CurrentValue;
    return true;
}

void sOPC::ItemWrite(sOPCNode& node, const VARIANT& Value, const std::string& Path,
                     VARTYPE DataType, sWriteDone done) {
    if (OnWrite) {
        // done is called once, whatever the callback does.
        auto once = std::make_shared<std::atomic<bool>>(false);
        auto guarded = [once, done](HRESULT hr) {
            if (!once->exchange(true)) done(hr);
        };
        try {
            OnWrite(node, Value, Path, DataType, guarded);
        } catch (const std::exception& e) {
            WriteOPCLogException("sOPC.ItemWrite", e.what());
            guarded(E_FAIL);
        }
        return;
    }
    {
        std::lock_guard lock(FNodeLock);
        node.CurrentValue = Value;
        node.LastUpdate = Now();
        ++node.Version;
    }
    done(S_OK);
}

void sOPC::UpAndDown(bool aUp) {
    sOnConnectEvent cb;
    {
        std::lock_guard lock(FCS);
        if (FDataAccessServers.size() == 1) cb = OnConnect;
    }
    if (cb) cb(aUp);
}

void sOPC::AddDataAccessServer(sOPCDataAccess* server) {
    std::lock_guard lock(FCS);
    FDataAccessServers.push_back(server);
    FServerCount = static_cast<int32_t>(FDataAccessServers.size());
}

void sOPC::RemoveDataAccessServer(sOPCDataAccess* server) {
    std::lock_guard lock(FCS);
    auto it = std::find(FDataAccessServers.begin(), FDataAccessServers.end(), server);
    if (it != FDataAccessServers.end()) FDataAccessServers.erase(it);
    FServerCount = static_cast<int32_t>(FDataAccessServers.size());
}

int32_t sOPC::GetServerCount() const {
    return FServerCount.load();
}

int32_t sOPC::GetGroupCount() const {
    std::lock_guard lock(FCS);
    int32_t n = 0;
    for (sOPCDataAccess* s : FDataAccessServers) n += s->GroupCount(false) + s->GroupCount(true);
    return n;
}

std::vector<IUnknown*> sOPC::LiveObjects() {
    std::vector<IUnknown*> out;
    {
        std::lock_guard lock(FCS);
        for (sOPCDataAccess* s : FDataAccessServers)
            if (s->TryAddRef()) out.push_back(static_cast<IOPCServer*>(s));
    }
    std::lock_guard lock(FGroupsCS);
    for (sOPCGroup* g : FGroups)
        if (g->TryAddRef()) out.push_back(static_cast<IOPCItemMgt*>(g));
    return out;
}

void sOPC::RegisterGroup(sOPCGroup* group) {
    std::lock_guard lock(FGroupsCS);
    FGroups.push_back(group);
}

void sOPC::UnregisterGroup(sOPCGroup* group) {
    std::lock_guard lock(FGroupsCS);
    auto it = std::find(FGroups.begin(), FGroups.end(), group);
    if (it != FGroups.end()) FGroups.erase(it);
}

void sOPC::Tick() {
    std::unique_lock busy(FTickMu, std::try_to_lock);
    if (!busy.owns_lock()) return;
    std::vector<sOPCGroup*> groups;
    {
        std::lock_guard lock(FGroupsCS);
        groups.reserve(FGroups.size());
        for (sOPCGroup* g : FGroups)
            if (g->TryAddRef()) groups.push_back(g);
    }
    for (sOPCGroup* g : groups) {
        g->GroupTimerTick();
        g->Release();
    }
}

void sOPC::StartUpdateLoop() {
    std::lock_guard lock(FLoopMu);
    if (FLoop.joinable()) return;
    FLoopStop = false;
    FLoop = std::thread([this] { LoopMain(); });
}

void sOPC::StopUpdateLoop() {
    {
        std::lock_guard lock(FLoopMu);
        FLoopStop = true;
    }
    FLoopCv.notify_all();
    if (FLoop.joinable()) FLoop.join();
}

void sOPC::LoopMain() {
    using namespace std::chrono;
    auto next = steady_clock::now();
    std::unique_lock lock(FLoopMu);
    while (!FLoopStop) {
        next += milliseconds(50);
        const auto now = steady_clock::now();
        if (next < now) next = now;  // never tick in bursts to catch up
        if (FLoopCv.wait_until(lock, next, [&] { return FLoopStop; })) break;
        lock.unlock();
        Tick();
        lock.lock();
    }
}

void sOPC::FlushCallbacks() {
    FWriteStarts.Flush();
    std::vector<sOPCDataAccess*> copy;
    {
        std::lock_guard lock(FCS);
        for (sOPCDataAccess* s : FDataAccessServers)
            if (s->TryAddRef()) copy.push_back(s);
    }
    for (sOPCDataAccess* s : copy) {
        s->FlushCallbacks();
        s->Release();
    }
}

FILETIME sOPC::FileTime(TDateTime dt) {
    int64_t offset;
    {
        std::lock_guard lock(FTzLock);
        const int64_t mono = FClock.MonotonicMs();
        if (!FTzKnown || mono - FTzCheckedAt >= 1000 || mono < FTzCheckedAt) {
            FTzOffsetMs = com::UtcOffsetMs(FClock.Now());
            FTzCheckedAt = mono;
            FTzKnown = true;
        }
        offset = FTzOffsetMs;
    }
    return com::DateTimeToUtcFileTime(dt, offset);
}

DWORD sOPC::NewHandle() {
    DWORD h = FNextHandle.fetch_add(1);
    if (h == 0) h = FNextHandle.fetch_add(1);  // 0 is never a handle
    return h;
}

void sOPC::WriteOPCLog(const std::string& text) {
    if (FLog) FLog->WriteIntoFile(text);
}

void sOPC::WriteOPCLogException(const std::string& context, const std::string& message) {
    if (FLog) FLog->WriteIntoFile(ExceptionLine(Now(), context, message));
}

}  // namespace telegate::opc
