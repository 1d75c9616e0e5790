// The OPC server core (sOPC): the address space (a flat array of sOPCNode records
// linked by parent identifiers), the live server objects, the three application
// callbacks through which every read and write of an item goes, the OPC activity
// log, and the one update loop that runs the timers of all groups.
//
// Threads: client calls arrive on any thread. The node array is written only while
// the address space is built and is read-only afterwards. The value fields of a
// node (InitCurrent, CurrentValue, Quality, LastUpdate) are read and written only
// under the core's node lock, which is also held around the read callback, so two
// simultaneous reads of an item never corrupt its value.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "opc/ComObject.h"
#include "opc/OpcLog.h"
#include "opc/com/Opc.h"
#include "support/Clock.h"

namespace telegate::opc {

class sOPCDataAccess;
class sOPCGroup;

enum TNodeType : int32_t { ntBranch = 0, ntLeaf = 1, ntProperty = 2 };

constexpr WORD kQualityGood = 0xC0;
constexpr WORD kQualityOutOfService = 0x1C;
constexpr WORD kQualityConfigError = 0x04;

struct sOPCNode {
    int32_t NodeType = ntBranch;
    int32_t Ident = 0;
    int32_t Parent = 0;
    std::atomic<int32_t> Instance{0};
    std::string stItemDataID;
    std::string stItemID;
    std::optional<std::vector<std::string>> slAddressPathList;
    VARTYPE vtCanonicalDataType = VT_EMPTY;
    DWORD dwAccessRights = 0;
    DWORD dwBlobSize = 0;
    BYTE* pBlob = nullptr;
    DWORD dwEUType = 0;
    com::TVariant vEUInfo;
    DWORD dwPropertyID = 0;
    std::string stDescription;
    VARTYPE vtPropertyDataType = VT_EMPTY;
    com::TVariant vPropertyData;
    // Value fields: under the core's node lock only.
    bool InitCurrent = false;
    com::TVariant CurrentValue;
    WORD Quality = kQualityOutOfService;
    TDateTime LastUpdate = 0.0;
    double BeforeValue = 0.0;
    // Counts the changes of value, quality or time stamp the reads found; 0 until
    // the first read. Items remember the count they last sent.
    uint64_t Version = 0;
    // Stands for an item whose item ID the rebuilt address space no longer has:
    // never read from the application, bad (configuration error), not writeable.
    bool Removed = false;

    sOPCNode() {
        vEUInfo = com::MakeI4(0);
        vPropertyData = com::MakeI4(0);
    }
};

// A consistent copy of a node's value fields.
struct TNodeValue {
    com::TVariant Value;
    WORD Quality = kQualityOutOfService;
    TDateTime LastUpdate = 0.0;
    uint64_t Version = 0;
};

// Callbacks of the application. The read callback runs under the node lock and
// must only update the node's value fields. The write callback runs without it
// and calls done exactly once with S_OK (the device accepted the write) or a
// per-item error, at once or later on any thread.
using sWriteDone = std::function<void(HRESULT)>;
using sOnRead = std::function<void(sOPCNode& node, const std::string& path, VARTYPE dataType)>;
using sOnWrite = std::function<void(sOPCNode& node, const VARIANT& value, const std::string& path,
                                    VARTYPE dataType, sWriteDone done)>;
using sOnSetDataType = std::function<void(sOPCNode& node, VARTYPE dataType)>;
// One address space: its nodes and their indexes, unchanged once published. A
// rebuilt space replaces it; the replaced one lives on while anything holds it (the
// items of a group, a pending write, a browse or property call in progress) and
// goes with its last user.
struct TAddressSpace {
    std::vector<std::unique_ptr<sOPCNode>> Nodes;
    std::unordered_map<std::string, int> ByItemID;  // first node of any kind
    std::unordered_map<int32_t, int> ByIdent;       // first branch or leaf
    std::unordered_map<std::string, int> BranchLeafByItemID;

    int IndexOfNode(int32_t Ident) const {
        auto it = ByIdent.find(Ident);
        return it == ByIdent.end() ? -1 : it->second;
    }
    int IndexOfItemID(const std::string& id) const {
        auto it = BranchLeafByItemID.find(id);
        return it == BranchLeafByItemID.end() ? -1 : it->second;
    }
    sOPCNode* Find(const std::string& id) const {
        auto it = ByItemID.find(id);
        return it == ByItemID.end() ? nullptr : Nodes[static_cast<size_t>(it->second)].get();
    }
};

using TSpaceRef = std::shared_ptr<const TAddressSpace>;
// A node together with the address space it belongs to, which it keeps alive.
using TNodeRef = std::shared_ptr<sOPCNode>;

// How long the close waits for the clients to answer ShutdownRequest.
constexpr std::chrono::milliseconds kShutdownRequestLimit{5000};

class sOPC;
using sOnInitAddressSpace = std::function<void(sOPC& core)>;
using sOnConnectEvent = std::function<void(bool connecting)>;

class sOPC {
  public:
    // clock must outlive the core.
    explicit sOPC(const IClock& clock);
    ~sOPC();
    sOPC(const sOPC&) = delete;
    sOPC& operator=(const sOPC&) = delete;

    // Stores name and description; with logFlag opens "OPCLog.txt" in logDir (the
    // working directory when empty) and writes "Start Log". report shows the log's
    // file errors to the operator.
    void Init(const std::string& ServerName, const std::string& ServerDescription, bool LogFlag,
              const std::string& logDir = {}, std::function<void(const std::string&)> report = {});
    void Start();
    bool CanStart() const { return FCanStart.load(); }
    // Blocks until Start (server objects wait here while the application starts).
    void WaitCanStart();
    // Asks every client with an IOPCShutdown connection to let go, all at once, each
    // on a thread of its own (in COM's multithreaded apartment on Windows), and
    // returns when all have answered or limit has passed: the number of clients
    // that had not answered by then. Such a client's thread finishes by itself
    // whenever the client returns; it holds the client's sink only, nothing of the
    // core, so the close goes on and the core may go meanwhile.
    size_t ShutDown(std::chrono::milliseconds limit = kShutdownRequestLimit);

    // Address-space construction (inside the construction callback only).
    void AddBranch(int32_t Parent, int32_t Ident, const std::string& stItemID);
    void AddLeaf(int32_t Parent, int32_t Ident, const std::string& stItemID, VARTYPE vtDataType,
                 DWORD dwAccessRights);
    void AddProperty(int32_t Parent, DWORD dwPropertyID, const std::string& stItemID,
                     const std::string& stDescription, VARTYPE vtDataType,
                     const VARIANT& vPropertyData);
    void InitAddressSpace();
    // Builds the address space anew (the station table changed) and re-resolves the
    // items of every group by item ID; items whose ID is gone stand for a removed
    // node. Call where construction is allowed (the application's main thread).
    void RebuildAddressSpace();
    bool AddressSpaceBuilt() const { return FAddressSpaceInit.load(); }
    // The current address space (empty before the first build), kept alive by the
    // reference.
    TSpaceRef SpaceRef() const;
    // The current address space, valid until the next rebuild only (tests and the
    // thread that rebuilds).
    const TAddressSpace& Space() const;
    // A node standing for the removed item ID id, owned by its users.
    static TNodeRef RemovedNode(const std::string& id);

    // The node of an item ID in the current space (first match of any kind), or null.
    TNodeRef FindNode(const std::string& stItemID) const;
    // Lookups (first match); the node is valid until the next rebuild only.
    sOPCNode* GetOPCNode(const std::string& stItemID, int32_t Ident);
    int GetIndexOfNode(int32_t Ident) const;
    int GetIndexOfstItemID(const std::string& stItemID) const;
    const std::vector<std::unique_ptr<sOPCNode>>& Nodes() const { return Space().Nodes; }

    // Item reads and writes through the application.
    void ItemRead(sOPCNode& node, const std::string& Path, VARTYPE DataType);
    // A read from the device (or only a copy of the node's value when fromDevice is
    // false), answered as one consistent copy of the node's value fields. The first
    // read of a node always goes to the device.
    TNodeValue ReadNode(sOPCNode& node, const std::string& Path, VARTYPE DataType, bool fromDevice);
    // The device read of an update cycle: refreshes the node and fills out's
    // quality, time and version; the value is copied only when the node's version
    // differs from since (the answer), which spares the copy for the many items
    // that did not change.
    bool ReadNodeIfMoved(sOPCNode& node, const std::string& Path, VARTYPE DataType, uint64_t since,
                         TNodeValue& out);
    // Runs job on the core's write thread, in the order posted: asynchronous writes
    // start there, so the update loop never waits for the application to take a
    // command.
    void PostWriteStart(std::function<void()> job) { FWriteStarts.Post(std::move(job)); }
    // Hands a client's write to the application; done gets its result (see sOnWrite).
    void ItemWrite(sOPCNode& node, const VARIANT& Value, const std::string& Path, VARTYPE DataType,
                   sWriteDone done);

    void UpAndDown(bool aUp);
    void AddDataAccessServer(sOPCDataAccess* server);
    void RemoveDataAccessServer(sOPCDataAccess* server);
    int32_t GetServerCount() const;
    int32_t GetGroupCount() const;
    // The server objects and groups alive now, each AddRef'd once for the caller.
    std::vector<IUnknown*> LiveObjects();

    // Groups whose timers the update loop serves.
    void RegisterGroup(sOPCGroup* group);
    void UnregisterGroup(sOPCGroup* group);
    // One 50 ms tick of every group. Called by the update loop; tests call it
    // themselves with the loop stopped.
    void Tick();
    // The update loop: one thread that runs Tick every 50 ms.
    void StartUpdateLoop();
    void StopUpdateLoop();
    // Waits until every write start posted and every callback handed to client
    // sinks so far has returned (tests).
    void FlushCallbacks();

    // Object handles (groups, items, cancel ids): unique among live objects.
    DWORD NewHandle();

    // The OPC activity log.
    void WriteOPCLog(const std::string& text);
    void WriteOPCLogException(const std::string& context, const std::string& message);
    bool LogEnabled() const { return FLog != nullptr; }

    // A local date-time as a UTC FILETIME, with the time-zone offset in force now
    // (looked up at most once a second, and never by two threads at once).
    FILETIME FileTime(TDateTime dt);

    const IClock& Clock() const { return FClock; }
    TDateTime Now() const { return FClock.Now(); }

    // Polling runs (the server state clients see); set by the application.
    void SetPollingRunning(bool running) { FPollingRunning = running; }
    bool PollingRunning() const { return FPollingRunning.load(); }
    // The operating system's text of an HRESULT in a locale; empty when it has none
    // (set on Windows).
    std::function<std::string(HRESULT, LCID)> SystemErrorText;

    std::string ServerName;
    std::string ServerDescription;
    sOnRead OnRead;
    sOnWrite OnWrite;
    sOnSetDataType OnSetDataType;
    sOnInitAddressSpace OnInitAddressSpace;
    sOnConnectEvent OnConnect;  // set before Start; ShutDown clears it

  private:
    void BuildItemIDs(TAddressSpace& space);
    void Build();  // under FInitCS
    void LoopMain();

    const IClock& FClock;
    mutable std::mutex FCS;  // FDataAccessServers
    std::vector<sOPCDataAccess*> FDataAccessServers;
    std::atomic<int32_t> FServerCount{0};
    std::mutex FInitCS;  // address-space construction
    std::atomic<bool> FAddressSpaceInit{false};
    std::unique_ptr<TAddressSpace> FBuilding;  // while the construction callback runs
    mutable std::mutex FSpaceMu;               // FSpace
    TSpaceRef FSpace;
    std::atomic<bool> FCanStart{false};
    std::atomic<bool> FPollingRunning{true};
    std::mutex FStartMu;
    std::condition_variable FStartCv;
    std::mutex FNodeLock;
    std::unique_ptr<TLogging> FLog;
    std::atomic<uint32_t> FNextHandle{1};
    std::mutex FTzLock;
    int64_t FTzOffsetMs = 0;
    int64_t FTzCheckedAt = 0;
    bool FTzKnown = false;

    mutable std::mutex FGroupsCS;
    std::vector<sOPCGroup*> FGroups;
    std::mutex FTickMu;  // one tick at a time (TickBusy)

    std::mutex FLoopMu;
    std::condition_variable FLoopCv;
    bool FLoopStop = false;
    std::thread FLoop;
    TCallbackQueue FWriteStarts;  // stopped first by the destructor
};

}  // namespace telegate::opc
