/* TelegatePS.dll: the proxies and stubs of the OPC interfaces, made by widl from
 * OpcDa.idl, with a registration that leaves a machine's existing marshalling alone.
 *
 * DllRegisterServer registers an interface only where no proxy/stub is registered
 * for it yet (a machine with the standard OPC core components keeps its own
 * proxies), and marks what it wrote; DllUnregisterServer removes only what carries
 * the mark. Our factory has a class identifier of its own, so it never takes the
 * place of another proxy DLL's factory. */
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

static LONG SetString(HKEY root, const WCHAR* path, const WCHAR* name, const WCHAR* value) {
    HKEY key;
    LONG rc = RegCreateKeyExW(root, path, 0, NULL, 0, KEY_WRITE, NULL, &key, NULL);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExW(key, name, 0, REG_SZ, (const BYTE*)value,
                        (DWORD)((wcslen(value) + 1) * sizeof(WCHAR)));
    RegCloseKey(key);
    return rc;
}

/* The string value name of HKCR\path into buf; FALSE when there is none. */
static BOOL GetString(const WCHAR* path, const WCHAR* name, WCHAR* buf, DWORD chars) {
    DWORD type = 0, size = chars * sizeof(WCHAR);
    HKEY key;
    LONG rc;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return FALSE;
    rc = RegQueryValueExW(key, name, NULL, &type, (BYTE*)buf, &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_SZ || size < sizeof(WCHAR)) return FALSE;
    buf[chars - 1] = 0;
    return TRUE;
}

static BOOL KeyExists(const WCHAR* path) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return FALSE;
    RegCloseKey(key);
    return TRUE;
}

static const ProxyFileInfo* Proxies(void) {
    return aProxyFileList[0];
}

HRESULT WINAPI DllRegisterServer(void) {
    WCHAR clsid[40], iid[40], path[128], sub[160], current[64], module[MAX_PATH + 1];
    const ProxyFileInfo* info = Proxies();
    unsigned short i;
    DWORD n = GetModuleFileNameW(g_module, module, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return E_FAIL;
    module[n] = 0;
    GuidText(&CLSID_PSFactoryBuffer, clsid);

    swprintf(path, 128, L"CLSID\\%ls", clsid);
    if (SetString(HKEY_CLASSES_ROOT, path, NULL, L"PSFactoryBuffer") != ERROR_SUCCESS)
        return SELFREG_E_CLASS;
    swprintf(sub, 160, L"%ls\\InProcServer32", path);
    if (SetString(HKEY_CLASSES_ROOT, sub, NULL, module) != ERROR_SUCCESS ||
        SetString(HKEY_CLASSES_ROOT, sub, L"ThreadingModel", L"Both") != ERROR_SUCCESS)
        return SELFREG_E_CLASS;

    for (i = 0; i < info->TableSize; ++i) {
        const WCHAR* mark;
        WCHAR name[128];
        GuidText(info->pStubVtblList[i]->header.piid, iid);
        swprintf(path, 128, L"Interface\\%ls", iid);
        swprintf(sub, 160, L"%ls\\ProxyStubClsid32", path);
        if (GetString(sub, NULL, current, 64)) {
            /* Someone's proxy is registered: keep it (ours again: nothing to do). */
            continue;
        }
        mark = KeyExists(path) ? L"proxy" : L"created";
        MultiByteToWideChar(CP_ACP, 0, info->pNamesArray[i], -1, name, 128);
        name[127] = 0;
        if (wcscmp(mark, L"created") == 0 &&
            SetString(HKEY_CLASSES_ROOT, path, NULL, name) != ERROR_SUCCESS)
            return SELFREG_E_CLASS;
        if (SetString(HKEY_CLASSES_ROOT, sub, NULL, clsid) != ERROR_SUCCESS ||
            SetString(HKEY_CLASSES_ROOT, path, kMark, mark) != ERROR_SUCCESS)
            return SELFREG_E_CLASS;
    }
    return S_OK;
}

HRESULT WINAPI DllUnregisterServer(void) {
    WCHAR clsid[40], iid[40], path[128], sub[160], current[64], mark[16];
    const ProxyFileInfo* info = Proxies();
    unsigned short i;
    HRESULT hr = S_OK;
    GuidText(&CLSID_PSFactoryBuffer, clsid);
    for (i = 0; i < info->TableSize; ++i) {
        GuidText(info->pStubVtblList[i]->header.piid, iid);
        swprintf(path, 128, L"Interface\\%ls", iid);
        swprintf(sub, 160, L"%ls\\ProxyStubClsid32", path);
        if (!GetString(path, kMark, mark, 16)) continue; /* not ours */
        if (!GetString(sub, NULL, current, 64) || _wcsicmp(current, clsid) != 0) {
            /* Replaced by another proxy since: leave it, drop only the mark. */
            HKEY key;
            if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, KEY_WRITE, &key) == ERROR_SUCCESS) {
                RegDeleteValueW(key, kMark);
                RegCloseKey(key);
            }
            continue;
        }
        if (wcscmp(mark, L"created") == 0) {
            if (RegDeleteTreeW(HKEY_CLASSES_ROOT, path) != ERROR_SUCCESS) hr = SELFREG_E_CLASS;
        } else {
            HKEY key;
            if (RegDeleteTreeW(HKEY_CLASSES_ROOT, sub) != ERROR_SUCCESS) hr = SELFREG_E_CLASS;
            if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, KEY_WRITE, &key) == ERROR_SUCCESS) {
                RegDeleteValueW(key, kMark);
                RegCloseKey(key);
            }
        }
    }
    swprintf(path, 128, L"CLSID\\%ls", clsid);
    {
        LONG rc = RegDeleteTreeW(HKEY_CLASSES_ROOT, path);
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) hr = SELFREG_E_CLASS;
    }
    return hr;
}
