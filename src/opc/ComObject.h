// Reference counting and the single-connection connection point shared by the
// server's COM objects.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "opc/com/Opc.h"

namespace telegate::opc {

// The reference count of an object; the last Release deletes it.
class TRefCounted {
  public:
    virtual ~TRefCounted() = default;
    ULONG DoAddRef() { return ++FRef; }
    ULONG DoRelease() {
        const ULONG n = --FRef;
        if (n == 0) delete this;
        return n;
    }
    // AddRef only while the object is alive (its count is not yet 0); for lists
    // that hold objects without a reference of their own.
    bool TryAddRef() {
        ULONG n = FRef.load();
        while (n != 0)
            if (FRef.compare_exchange_weak(n, n + 1)) return true;
        return false;
    }

  private:
    std::atomic<ULONG> FRef{1};
};

#define TELEGATE_REFCOUNT                        \
    ULONG STDMETHODCALLTYPE AddRef() override {  \
        return DoAddRef();                       \
    }                                            \
    ULONG STDMETHODCALLTYPE Release() override { \
        return DoRelease();                      \
    }

// A connection point with one connection for the sink interface FIid. It shares the
// reference count of its container (AddRef and Release go to the owner), so it
// lives exactly as long as the object that holds it. onConnect(sink, true) is
// called after Advise with the sink's FIid interface, onConnect(nullptr, false)
// after Unadvise.
class TConnectionPoint final : public IConnectionPoint {
  public:
    TConnectionPoint(IUnknown& owner, IConnectionPointContainer& container, const IID& iid,
                     std::function<void(IUnknown* sink, bool connecting)> onConnect)
        : FOwner(owner), FContainer(container), FIid(iid), FOnConnect(std::move(onConnect)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid == com::IidOf<IUnknown>() || riid == com::IidOf<IConnectionPoint>()) {
            *ppv = static_cast<IConnectionPoint*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return FOwner.AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return FOwner.Release(); }

    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIID) override {
        if (!pIID) return E_POINTER;
        *pIID = FIid;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE
    GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override {
        if (!ppCPC) return E_POINTER;
        *ppCPC = &FContainer;
        FContainer.AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override {
        if (pdwCookie) *pdwCookie = 0;
        if (!pUnkSink || !pdwCookie) return E_POINTER;
        IUnknown* sink = nullptr;
        if (FAILED(pUnkSink->QueryInterface(FIid, reinterpret_cast<void**>(&sink))) || !sink)
            return CONNECT_E_CANNOTCONNECT;
        {
            std::lock_guard lock(FMu);
            if (FConnected) {
                sink->Release();
                return CONNECT_E_ADVISELIMIT;
            }
            FConnected = true;
        }
        *pdwCookie = kCookie;
        FOnConnect(sink, true);  // takes over the reference
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) override {
        {
            std::lock_guard lock(FMu);
            if (!FConnected || dwCookie != kCookie) return CONNECT_E_NOCONNECTION;
            FConnected = false;
        }
        FOnConnect(nullptr, false);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** ppEnum) override {
        if (ppEnum) *ppEnum = nullptr;
        return E_NOTIMPL;
    }

  private:
    static constexpr DWORD kCookie = 1;
    IUnknown& FOwner;
    IConnectionPointContainer& FContainer;
    const IID FIid;
    std::function<void(IUnknown*, bool)> FOnConnect;
    std::mutex FMu;
    bool FConnected = false;
};

// Joins the calling thread to COM's multithreaded apartment while it lives (on
// Windows; nothing elsewhere): for the server's own threads that call into clients
// through COM proxies.
class TComThreadScope {
  public:
    TComThreadScope();
    ~TComThreadScope();
    TComThreadScope(const TComThreadScope&) = delete;
    TComThreadScope& operator=(const TComThreadScope&) = delete;

  private:
    [[maybe_unused]] bool FJoined = false;
};

// Calls into one client's sinks, in order, on a thread of their own, so that a
// client that does not return from a callback holds up only its own groups.
class TCallbackQueue {
  public:
    TCallbackQueue();
    ~TCallbackQueue();
    TCallbackQueue(const TCallbackQueue&) = delete;
    TCallbackQueue& operator=(const TCallbackQueue&) = delete;
    void Post(std::function<void()> job);
    // Waits until every job posted so far has run.
    void Flush();
    // Stops the thread after the jobs already posted; joins it unless called on it.
    void Stop();

  private:
    // Shared with the thread, so that a job that releases the queue's owner (and so
    // the queue) leaves the thread a valid state to finish on.
    struct TState {
        std::mutex Mu;
        std::condition_variable Cv;
        std::condition_variable IdleCv;
        std::deque<std::function<void()>> Jobs;
        bool Busy = false;
        bool Stop = false;
    };
    static void Run(std::shared_ptr<TState> st);
    std::shared_ptr<TState> FState;
    std::thread FThread;
};

}  // namespace telegate::opc
