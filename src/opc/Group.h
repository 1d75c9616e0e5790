// The OPC group (sOPCGroup) and its items (sOPCItem): item management, group state,
// public groups, the IOPCDataCallback connection point, synchronous and
// asynchronous reads and writes, and the update cycle that reports changed items.
//
// Threads: client calls come on any thread; queued requests and update cycles run
// on the core's update loop (GroupTimerTick), except the commands of asynchronous
// writes, which start on the core's write thread. FItemLock makes item-list changes,
// item-field changes, synchronous I/O and the cycle's walk over the list mutually
// exclusive. Callbacks to the client's sink are handed to the server object's
// callback queue and never made with a lock held; while a group has a callback
// that its client has not returned from, its ticks are skipped (its requests and
// cycles wait), and no other group is held up.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "opc/ComObject.h"
#include "opc/Core.h"

namespace telegate::opc {

class sOPCDataAccess;

struct sOPCItem {
    TNodeRef FOPCNode;  // keeps its address space alive
    std::string stAccessPath;
    bool bActive = false;
    OPCHANDLE hClient = 0;
    OPCHANDLE hServer = 0;
    VARTYPE vtRequestedDataType = VT_EMPTY;
    // The node version the client last received by OnDataChange or Refresh2; 0
    // means the next update cycle sends the item whatever its state.
    uint64_t FSentVersion = 0;
    WORD FQuality = kQualityOutOfService;
    int32_t FTag = 0;

    bool ReadAble() const { return (FOPCNode->dwAccessRights & OPC_READABLE) != 0; }
    bool WriteAble() const { return (FOPCNode->dwAccessRights & OPC_WRITEABLE) != 0; }
};

enum sOPCMode { omRead = 0, omWrite = 1, omRefresh = 2, omTimerRefresh = 3 };

// A queued asynchronous request.
struct sOPCAsyncIO2 {
    sOPCMode OPCMode = omRead;
    DWORD dwTransactionID = 0;
    DWORD dwCount = 0;
    int32_t DataSource = 0;
    DWORD pdwCancelID = 0;
    bool FCancelFlag = false;
    std::vector<OPCHANDLE> hServer;
    std::vector<com::TVariant> ItemValues;
};

// How long a synchronous write waits for the station's answer at most (the
// command's own time-outs normally end it sooner).
constexpr int kSyncWriteLimitMs = 20000;

// A stopwatch on the core's monotonic clock.
class sTimer {
  public:
    explicit sTimer(const IClock& clock) : FClock(clock) {}
    void Start() {
        FStart = FClock.MonotonicMs();
        FRunning = true;
    }
    void Stop() {
        FStop = FClock.MonotonicMs();
        FRunning = false;
    }
    bool isRunning() const { return FRunning; }
    double msTime() const {
        const int64_t d = (FRunning ? FClock.MonotonicMs() : FStop) - FStart;
        return d < 0 ? 0.0 : static_cast<double>(d);
    }

  private:
    const IClock& FClock;
    int64_t FStart = 0;
    int64_t FStop = 0;
    bool FRunning = false;
};

class sOPCGroup final : public TRefCounted,
                        public IOPCItemMgt,
                        public IOPCGroupStateMgt,
                        public IOPCPublicGroupStateMgt,
                        public IOPCSyncIO,
                        public IOPCAsyncIO2,
                        public IConnectionPointContainer {
  public:
    // A new group of server (which it keeps alive while it lives), reference count 1.
    sOPCGroup(sOPCDataAccess& server, sOPC& core);
    ~sOPCGroup() override;

    void Init(const std::string& szName, bool bActive, DWORD dwRequestedUpdateRate,
              OPCHANDLE hClientGroup, const LONG* pTimeBias, const FLOAT* pPercentDeadband,
              DWORD dwLCID);
    OPCHANDLE Handle() const { return FHandle; }
    std::string Name() const;
    bool IsPublic() const { return FPublicGroupFlag.load(); }
    void SetPublic() { FPublicGroupFlag = true; }
    // A copy of this group for CloneGroup (new handles, not active, no sink).
    sOPCGroup* CloneTo(const std::string& name);
    // After a rebuild of the address space: every item takes the node its item ID
    // names now, or a removed node; each is sent again with the next update.
    void ResolveItems();
    // One 50 ms tick: queued requests, then an update cycle when the rate has passed.
    void GroupTimerTick();
    DWORD UpdateRate() const;

    // Item enumerator support: attributes of the item at position index; false past
    // the end.
    bool ItemAttributesAt(size_t index, OPCITEMATTRIBUTES& out);
    size_t ItemCount() const;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    TELEGATE_REFCOUNT

    // IOPCItemMgt
    HRESULT STDMETHODCALLTYPE AddItems(DWORD dwCount, OPCITEMDEF* pItemArray,
                                       OPCITEMRESULT** ppAddResults, HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                                            OPCITEMRESULT** ppValidationResults,
                                            HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE RemoveItems(DWORD dwCount, OPCHANDLE* phServer,
                                          HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                                             HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE SetClientHandles(DWORD dwCount, OPCHANDLE* phServer,
                                               OPCHANDLE* phClient, HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE SetDatatypes(DWORD dwCount, OPCHANDLE* phServer,
                                           VARTYPE* pRequestedDatatypes,
                                           HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) override;

    // IOPCGroupStateMgt
    HRESULT STDMETHODCALLTYPE GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName,
                                       LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                                       OPCHANDLE* phClientGroup, OPCHANDLE* phServerGroup) override;
    HRESULT STDMETHODCALLTYPE SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate,
                                       BOOL* pActive, LONG* pTimeBias, FLOAT* pPercentDeadband,
                                       DWORD* pLCID, OPCHANDLE* phClientGroup) override;
    HRESULT STDMETHODCALLTYPE SetName(LPCWSTR szName) override;
    HRESULT STDMETHODCALLTYPE CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;

    // IOPCPublicGroupStateMgt
    HRESULT STDMETHODCALLTYPE GetState(BOOL* pPublic) override;
    HRESULT STDMETHODCALLTYPE MoveToPublic() override;

    // IOPCSyncIO
    HRESULT STDMETHODCALLTYPE Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                                   OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                                    HRESULT** ppErrors) override;

    // IOPCAsyncIO2
    HRESULT STDMETHODCALLTYPE Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID,
                                   DWORD* pdwCancelID, HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                                    DWORD dwTransactionID, DWORD* pdwCancelID,
                                    HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID,
                                       DWORD* pdwCancelID) override;
    HRESULT STDMETHODCALLTYPE Cancel2(DWORD dwCancelID) override;
    HRESULT STDMETHODCALLTYPE SetEnable(BOOL bEnable) override;
    HRESULT STDMETHODCALLTYPE GetEnable(BOOL* pbEnable) override;

    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

  private:
    sOPCItem* GetOPCItem(OPCHANDLE h);  // under FItemLock
    void SetUpdateRate(DWORD rate);     // under FItemLock
    void OnCallbackConnect(IUnknown* sink, bool connecting);
    IOPCDataCallback* TakeSink();  // AddRef'd, or null
    bool HasSink();
    void ProcessRequest(sOPCAsyncIO2& req);
    void RunRead(sOPCAsyncIO2& req);
    void RunWrite(sOPCAsyncIO2& req);
    void RunRefresh(sOPCAsyncIO2& req);
    // Hands a callback to the client's queue; call(sink) runs there. dataChange
    // marks an OnDataChange of the update cycle, which SetEnable(FALSE) stops.
    void Deliver(std::function<void(IOPCDataCallback*)> call, bool dataChange = false);
    // Checks handles (and write rights) of an asynchronous request when it is made:
    // the valid ones go into req, the others get their error in errors. False when
    // none is valid.
    bool AcceptAsyncItems(DWORD dwCount, const OPCHANDLE* phServer, const VARIANT* values,
                          sOPCAsyncIO2& req, HRESULT* errors);
    // The next update cycle sends every active item (initial values).
    void ResendAll();  // under FItemLock
    HRESULT QueueRequest(std::unique_ptr<sOPCAsyncIO2> req, DWORD* pdwCancelID);

    sOPCDataAccess& FDataAccess;
    sOPC& FCore;
    const OPCHANDLE FHandle;

    mutable std::mutex FItemLock;  // everything below up to the queue
    std::string FName;
    bool FActive = false;
    DWORD FRequestedUpdateRate = 0;
    OPCHANDLE FClientGroup = 0;
    LONG FTimeBias = 0;
    FLOAT FPercentDeadband = 0.0f;
    DWORD FLCID = 0;
    std::vector<std::unique_ptr<sOPCItem>> FOPCItemList;
    std::unordered_map<OPCHANDLE, sOPCItem*> FItemsByHandle;
    sTimer FTimer;
    std::atomic<bool> FGroupTimerEnabled{false};
    std::atomic<bool> FPublicGroupFlag{false};
    std::atomic<bool> CallBackEnabled{true};

    std::mutex FQueueLock;
    std::deque<std::unique_ptr<sOPCAsyncIO2>> AsyncIOList;

    std::mutex FSinkLock;
    IOPCDataCallback* FDataCallback = nullptr;
    TConnectionPoint FConnectionPoint;
    std::atomic<int> FPendingCallbacks{0};
};

}  // namespace telegate::opc
