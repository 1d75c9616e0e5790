/* TelegatePS.dll: the proxies and stubs of the OPC interfaces, made by widl from
 * OpcDa.idl, with a registration that leaves a machine's existing marshalling alone.
 * Built twice from this file: 64-bit beside Telegate.exe, and 32-bit (x86\) for
 * 32-bit OPC clients, which find their proxies in the 32-bit registry view.
 *
 * DllRegisterServer registers an interface only where no proxy/stub is registered
 * for it yet (a machine with the standard OPC core components keeps its own
 * proxies), and marks what it wrote; DllUnregisterServer removes only what carries
 * the mark. Our factory has a class identifier of its own, so it never takes the
 * place of another proxy DLL's factory.
 *
 * The 64-bit DLL also registers its 32-bit twin, x86\TelegatePS.dll beside it, in
 * the 32-bit view by the same rule: DllInstall with the command line "x86"
 * (regsvr32 /n /i:x86 TelegatePS.dll, and /u to remove it), so the installer
 * starts no 32-bit process (WOW64 is optional on Server Core and missing from a
 * 64-bit-only Wine). The keys are those the 32-bit DLL's own DllRegisterServer
 * writes when run by the 32-bit regsvr32 under WOW64. */
#define PROXY_CLSID_IS {0x6A91EE3E, 0x4BFF, 0x4430, {0xB3, 0x94, 0xDE, 0xA0, 0xF5, 0x6A, 0x15, 0x2D}}
#include "dlldata.c"

#include <windows.h>
#include <olectl.h>
#include <wchar.h>

/* Under Interface\{iid}: "created" when this DLL made the key, "proxy" when the
 * key was there and only ProxyStubClsid32 was added. */
static const WCHAR kMark[] = L"TelegatePS";

static HINSTANCE g_module;

BOOL WINAPI DllMain(HINSTANCE inst, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = inst;
        DisableThreadLibraryCalls(inst);
    }
    return TRUE;
}

static void GuidText(const GUID* g, WCHAR* buf) {
    StringFromGUID2(g, buf, 40);
}

/* Registry access below goes through HKEY_CLASSES_ROOT in one view: 0 for the
 * process's own, KEY_WOW64_32KEY for the 32-bit view from the 64-bit DLL. */

static LONG SetString(REGSAM view, const WCHAR* path, const WCHAR* name, const WCHAR* value) {
    HKEY key;
    LONG rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, path, 0, NULL, 0, KEY_WRITE | view, NULL, &key,
                              NULL);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExW(key, name, 0, REG_SZ, (const BYTE*)value,
                        (DWORD)((wcslen(value) + 1) * sizeof(WCHAR)));
    RegCloseKey(key);
    return rc;
}

/* The string value name of HKCR\path into buf; FALSE when there is none. */
static BOOL GetString(REGSAM view, const WCHAR* path, const WCHAR* name, WCHAR* buf,
                      DWORD chars) {
    DWORD type = 0, size = chars * sizeof(WCHAR);
    HKEY key;
    LONG rc;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return FALSE;
    rc = RegQueryValueExW(key, name, NULL, &type, (BYTE*)buf, &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_SZ || size < sizeof(WCHAR)) return FALSE;
    buf[chars - 1] = 0;
    return TRUE;
}

static BOOL KeyExists(REGSAM view, const WCHAR* path) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return FALSE;
    RegCloseKey(key);
    return TRUE;
}

static void DeleteValue(REGSAM view, const WCHAR* path, const WCHAR* name) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, KEY_SET_VALUE | view, &key) == ERROR_SUCCESS) {
        RegDeleteValueW(key, name);
        RegCloseKey(key);
    }
}

/* Deletes HKCR\path with everything below it; ERROR_FILE_NOT_FOUND when absent. */
static LONG DeleteTree(REGSAM view, const WCHAR* path) {
    HKEY key;
    LONG rc = RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0,
                            DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE | view,
                            &key);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegDeleteTreeW(key, NULL);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return rc;
    return RegDeleteKeyExW(HKEY_CLASSES_ROOT, path, view, 0);
}

static const ProxyFileInfo* Proxies(void) {
    return aProxyFileList[0];
}

/* Registers the proxy/stub DLL module (a full path) in the given view. */
static HRESULT Register(REGSAM view, const WCHAR* module) {
    WCHAR clsid[40], iid[40], path[128], sub[160], current[64];
    const ProxyFileInfo* info = Proxies();
    unsigned short i;
    GuidText(&CLSID_PSFactoryBuffer, clsid);

    swprintf(path, 128, L"CLSID\\%ls", clsid);
    if (SetString(view, path, NULL, L"PSFactoryBuffer") != ERROR_SUCCESS)
        return SELFREG_E_CLASS;
    swprintf(sub, 160, L"%ls\\InProcServer32", path);
    if (SetString(view, sub, NULL, module) != ERROR_SUCCESS ||
        SetString(view, sub, L"ThreadingModel", L"Both") != ERROR_SUCCESS)
        return SELFREG_E_CLASS;

    for (i = 0; i < info->TableSize; ++i) {
        const WCHAR* mark;
        WCHAR name[128];
        GuidText(info->pStubVtblList[i]->header.piid, iid);
        swprintf(path, 128, L"Interface\\%ls", iid);
        swprintf(sub, 160, L"%ls\\ProxyStubClsid32", path);
        if (GetString(view, sub, NULL, current, 64)) {
            /* Someone's proxy is registered: keep it (ours again: nothing to do). */
            continue;
        }
        mark = KeyExists(view, path) ? L"proxy" : L"created";
        MultiByteToWideChar(CP_ACP, 0, info->pNamesArray[i], -1, name, 128);
        name[127] = 0;
        if (wcscmp(mark, L"created") == 0 && SetString(view, path, NULL, name) != ERROR_SUCCESS)
            return SELFREG_E_CLASS;
        if (SetString(view, sub, NULL, clsid) != ERROR_SUCCESS ||
            SetString(view, path, kMark, mark) != ERROR_SUCCESS)
            return SELFREG_E_CLASS;
    }
    return S_OK;
}

/* Removes from the given view what Register marked as its own. */
static HRESULT Unregister(REGSAM view) {
    WCHAR clsid[40], iid[40], path[128], sub[160], current[64], mark[16];
    const ProxyFileInfo* info = Proxies();
    unsigned short i;
    HRESULT hr = S_OK;
    LONG rc;
    GuidText(&CLSID_PSFactoryBuffer, clsid);
    for (i = 0; i < info->TableSize; ++i) {
        GuidText(info->pStubVtblList[i]->header.piid, iid);
        swprintf(path, 128, L"Interface\\%ls", iid);
        swprintf(sub, 160, L"%ls\\ProxyStubClsid32", path);
        if (!GetString(view, path, kMark, mark, 16)) continue; /* not ours */
        if (!GetString(view, sub, NULL, current, 64) || _wcsicmp(current, clsid) != 0) {
            /* Replaced by another proxy since: leave it, drop only the mark. */
            DeleteValue(view, path, kMark);
            continue;
        }
        if (wcscmp(mark, L"created") == 0) {
            if (DeleteTree(view, path) != ERROR_SUCCESS) hr = SELFREG_E_CLASS;
        } else {
            if (DeleteTree(view, sub) != ERROR_SUCCESS) hr = SELFREG_E_CLASS;
            DeleteValue(view, path, kMark);
        }
    }
    swprintf(path, 128, L"CLSID\\%ls", clsid);
    rc = DeleteTree(view, path);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) hr = SELFREG_E_CLASS;
    return hr;
}

/* The full path of this DLL into module (MAX_PATH + 1 characters). */
static BOOL ModulePath(WCHAR* module) {
    DWORD n = GetModuleFileNameW(g_module, module, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return FALSE;
    module[n] = 0;
    return TRUE;
}

HRESULT WINAPI DllRegisterServer(void) {
    WCHAR module[MAX_PATH + 1];
    if (!ModulePath(module)) return E_FAIL;
    return Register(0, module);
}

HRESULT WINAPI DllUnregisterServer(void) {
    return Unregister(0);
}

/* regsvr32 [/u] /n /i:x86 TelegatePS.dll: the 64-bit DLL registers (removes) the
 * 32-bit x86\TelegatePS.dll beside it in the 32-bit registry view. Any other
 * command line, and the 32-bit DLL itself (which registers with
 * DllRegisterServer), answer E_INVALIDARG. */
HRESULT WINAPI DllInstall(BOOL install, const WCHAR* cmdline) {
#ifdef _WIN64
    static const WCHAR kTwin[] = L"x86\\TelegatePS.dll";
    WCHAR module[MAX_PATH + 1];
    WCHAR* slash;
    DWORD attrs;
    if (cmdline == NULL || _wcsicmp(cmdline, L"x86") != 0) return E_INVALIDARG;
    if (!install) return Unregister(KEY_WOW64_32KEY);
    if (!ModulePath(module)) return E_FAIL;
    slash = wcsrchr(module, L'\\');
    if (slash == NULL || (size_t)(slash + 1 - module) + wcslen(kTwin) > MAX_PATH) return E_FAIL;
    wcscpy(slash + 1, kTwin);
    attrs = GetFileAttributesW(module);
    if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    return Register(KEY_WOW64_32KEY, module);
#else
    (void)install;
    (void)cmdline;
    return E_INVALIDARG;
#endif
}
