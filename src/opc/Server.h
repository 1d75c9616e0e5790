// The OPC server object (sOPCDataAccess), one per client connection: groups,
// status, error texts, locale and client name, public groups, the IOPCShutdown
// connection point, browsing (sOPCBrowse) and item properties.
//
// Group lifetime: the group list holds no references. Every group keeps its server
// object alive and leaves the list when it is destroyed, so the list never holds a
// destroyed group and the server object never destroys a group a client still uses.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "opc/ComObject.h"
#include "opc/Core.h"

namespace telegate::opc {

class sOPCGroup;

// A browse filter pattern in the usual OPC style: '*' any run of characters, '?' one
// character, '#' one digit, [abc] / [a-z] one character of the list, [!abc] one
// character not in it; any other character stands for itself, and [*] [?] [#] [[]
// match those characters literally. Letters match either case (ASCII, Latin-1 and
// Cyrillic). Names are compared by code point (UTF-8 decoded), so '?' matches one
// character of any script.
class TBrowsePattern {
  public:
    // False for a pattern that cannot be used: a list without its ']', an empty
    // list, a range whose ends are reversed. An empty pattern matches everything.
    bool Compile(const std::string& utf8);
    bool Match(const std::string& utf8) const;

  private:
    enum TKind { tkStar, tkAny, tkDigit, tkChar, tkSet };
    struct TToken {
        TKind Kind = tkChar;
        char32_t Char = 0;
        bool Negate = false;
        std::vector<std::pair<char32_t, char32_t>> Ranges;
    };
    bool MatchOne(const TToken& t, char32_t c) const;
    std::vector<TToken> FTokens;
    size_t FMinLength = 0;  // characters a name needs at least
};

// What BrowseOPCItemIDs narrows its answer with. Branches are filtered by the
// pattern only; leaves also by canonical data type (VT_EMPTY: any) and by access
// rights (0: any; otherwise every requested bit).
struct TBrowseFilter {
    TBrowsePattern Criteria;
    VARTYPE DataType = VT_EMPTY;
    DWORD AccessRights = 0;
};

// The browse position of one client: the branch it is in (0 = the root).
class sOPCBrowse {
  public:
    explicit sOPCBrowse(sOPC& core) : FCore(core) {}
    bool BrowseUp();
    bool BrowseDown(const std::string& stBranch);
    bool BrowseTo(const std::string& stItemID);
    // OPC_BRANCH and OPC_LEAF: the names under the position; OPC_FLAT: the item IDs
    // of every leaf at and below it. Any other type: nothing.
    std::vector<std::string> BrowseOPCItems(DWORD Filter, const TBrowseFilter& filter = {});
    // The item ID of element stItemDataID at the position ("" is the position
    // itself); false when there is no such element.
    bool GetItemID(const std::string& stItemDataID, std::string& out);
    // The property nodes of stItemID in sp.
    std::vector<const sOPCNode*> Properties(const TAddressSpace& sp, const std::string& stItemID);
    int32_t Parent() const { return FParent; }

  private:
    bool BelowPosition(const TAddressSpace& sp, const sOPCNode& n) const;
    sOPC& FCore;
    int32_t FParent = 0;
};

class sOPCDataAccess final : public TRefCounted,
                             public IOPCServer,
                             public IOPCCommon,
                             public IOPCServerPublicGroups,
                             public IOPCBrowseServerAddressSpace,
                             public IOPCItemProperties,
                             public IConnectionPointContainer,
                             public IPersistFile {
  public:
    // A new server object with reference count 1, constructed as a client's
    // activation constructs it: waits until the core has started, builds the
    // address space on first use and registers with the core.
    static sOPCDataAccess* Create(sOPC& core);
    ~sOPCDataAccess() override;

    // The client's IOPCShutdown sink, AddRef'd; null when none is connected.
    IUnknown* ShutdownSink();
    int32_t GroupCount(bool PublicFlag) const;
    void FlushCallbacks() { FCallbacks.Flush(); }
    TCallbackQueue& Callbacks() { return FCallbacks; }
    sOPC& Core() { return FCore; }
    void SetLastDataUpdateToClient(TDateTime t) { FLastDataUpdateToClient = t; }
    // The standard property id of a leaf into out; false for another id.
    bool LeafProperty(sOPCNode& node, DWORD id, VARIANT& out);
    // GetErrorString of both interfaces.
    HRESULT ErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString);
    // Group list operations used by the groups.
    void RemoveGroupFromList(sOPCGroup* group);
    void AddOPCGroup(sOPCGroup* group);
    bool GenerateUniqueGroupName(std::string& Name);
    HRESULT ChangeGroupToPublic(const std::string& Name);

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    TELEGATE_REFCOUNT

    // IOPCServer
    HRESULT STDMETHODCALLTYPE AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                                       OPCHANDLE hClientGroup, LONG* pTimeBias,
                                       FLOAT* pPercentDeadband, DWORD dwLCID,
                                       OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate,
                                       REFIID riid, LPUNKNOWN* ppUnk) override;
    HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LCID dwLocale,
                                             LPWSTR* ppString) override;
    HRESULT STDMETHODCALLTYPE GetGroupByName(LPCWSTR szName, REFIID riid,
                                             LPUNKNOWN* ppUnk) override;
    HRESULT STDMETHODCALLTYPE GetStatus(OPCSERVERSTATUS** ppServerStatus) override;
    HRESULT STDMETHODCALLTYPE RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) override;
    HRESULT STDMETHODCALLTYPE CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid,
                                                    LPUNKNOWN* ppUnk) override;

    // IOPCCommon
    HRESULT STDMETHODCALLTYPE SetLocaleID(LCID dwLcid) override;
    HRESULT STDMETHODCALLTYPE GetLocaleID(LCID* pdwLcid) override;
    HRESULT STDMETHODCALLTYPE QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) override;
    HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LPWSTR* ppString) override;
    HRESULT STDMETHODCALLTYPE SetClientName(LPCWSTR szName) override;

    // IOPCServerPublicGroups
    HRESULT STDMETHODCALLTYPE GetPublicGroupByName(LPCWSTR szName, REFIID riid,
                                                   LPUNKNOWN* ppUnk) override;
    HRESULT STDMETHODCALLTYPE RemovePublicGroup(OPCHANDLE hServerGroup, BOOL bForce) override;

    // IOPCBrowseServerAddressSpace
    HRESULT STDMETHODCALLTYPE QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) override;
    HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection,
                                                   LPCWSTR szString) override;
    HRESULT STDMETHODCALLTYPE BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType,
                                               LPCWSTR szFilterCriteria, VARTYPE vtDataTypeFilter,
                                               DWORD dwAccessRightsFilter,
                                               LPENUMSTRING* ppIEnumString) override;
    HRESULT STDMETHODCALLTYPE GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) override;
    HRESULT STDMETHODCALLTYPE BrowseAccessPaths(LPCWSTR szItemID,
                                                LPENUMSTRING* ppIEnumAccessPaths) override;

    // IOPCItemProperties
    HRESULT STDMETHODCALLTYPE QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount,
                                                       DWORD** ppPropertyIDs,
                                                       LPWSTR** ppDescriptions,
                                                       VARTYPE** ppvtDataTypes) override;
    HRESULT STDMETHODCALLTYPE GetItemProperties(LPWSTR szItemID, DWORD dwCount,
                                                DWORD* pdwPropertyIDs, VARIANT** ppvData,
                                                HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                            LPWSTR** ppszNewItemIDs, HRESULT** ppErrors) override;

    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

    // IPersistFile (not implemented: every method answers S_FALSE)
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) override;
    HRESULT STDMETHODCALLTYPE IsDirty() override;
    HRESULT STDMETHODCALLTYPE Load(LPCOLESTR pszFileName, DWORD dwMode) override;
    HRESULT STDMETHODCALLTYPE Save(LPCOLESTR pszFileName, BOOL fRemember) override;
    HRESULT STDMETHODCALLTYPE SaveCompleted(LPCOLESTR pszFileName) override;
    HRESULT STDMETHODCALLTYPE GetCurFile(LPOLESTR* ppszFileName) override;

  private:
    explicit sOPCDataAccess(sOPC& core);
    // The group called name (all scopes), AddRef'd; null when none.
    sOPCGroup* FindGroup(const std::string& name);
    bool NameTaken(const std::string& name) const;  // under FCS
    std::vector<std::string> GroupNames(int scope) const;
    void ConnectEvent(IUnknown* sink, bool connecting);
    HRESULT GroupQuery(sOPCGroup* group, REFIID riid, LPUNKNOWN* ppUnk);

    sOPC& FCore;
    const uint32_t FIdent;
    std::mutex FBrowseLock;
    sOPCBrowse FOPCBrowse;
    mutable std::mutex FCS;
    std::vector<sOPCGroup*> FOPCGroup;
    std::atomic<LCID> FLcid{0};
    std::mutex FNameLock;
    std::string FClientName;
    TDateTime FStartTime = 0.0;
    std::atomic<TDateTime> FLastDataUpdateToClient{0.0};
    std::mutex FSinkLock;
    IUnknown* FClientIUnknown = nullptr;
    TConnectionPoint FShutdown;
    TCallbackQueue FCallbacks;
};

}  // namespace telegate::opc
