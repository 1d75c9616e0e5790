#include "ui/win32/Controls.h"

#include <commctrl.h>

#include <exception>
#include <typeinfo>

#include "platform/LoopCore.h"
#include "platform/win32/Wide.h"
#include "ui/OperatorCommands.h"

namespace telegate::win32ui {

TUiFont::~TUiFont() {
    if (font_ != nullptr) ::DeleteObject(font_);
}

void TUiFont::Create(int dpi) {
    NONCLIENTMETRICSW ncm{};
    ncm.cbSize = sizeof ncm;
    ::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof ncm, &ncm, 0);
    LOGFONTW lf = ncm.lfMessageFont;
    // The metrics are those of the screen's DPI; scale them to the window's.
    const int screen = ScreenDpi();
    if (lf.lfHeight == 0) lf.lfHeight = -12;
    lf.lfHeight = MulDiv(lf.lfHeight, dpi, screen);
    HFONT font = ::CreateFontIndirectW(&lf);
    if (font == nullptr) return;
    if (font_ != nullptr) ::DeleteObject(font_);
    font_ = font;
    dpi_ = dpi;
    HDC dc = ::GetDC(nullptr);
    HGDIOBJ old = ::SelectObject(dc, font_);
    TEXTMETRICW tm{};
    ::GetTextMetricsW(dc, &tm);
    SIZE sz{};
    static const wchar_t kSample[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    ::GetTextExtentPoint32W(dc, kSample, 52, &sz);
    ::SelectObject(dc, old);
    ::ReleaseDC(nullptr, dc);
    line_ = tm.tmHeight > 0 ? tm.tmHeight : Px(16);
    char_ = sz.cx > 0 ? (sz.cx / 26 + 1) / 2 : Px(7);
}

int TUiFont::TextWidth(HWND hwnd, const std::wstring& text) const {
    HDC dc = ::GetDC(hwnd);
    HGDIOBJ old = ::SelectObject(dc, font_);
    SIZE sz{};
    ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &sz);
    ::SelectObject(dc, old);
    ::ReleaseDC(hwnd, dc);
    return sz.cx;
}

int ScreenDpi() {
    HDC dc = ::GetDC(nullptr);
    const int dpi = ::GetDeviceCaps(dc, LOGPIXELSY);
    ::ReleaseDC(nullptr, dc);
    return dpi > 0 ? dpi : 96;
}

HWND MakeControl(HWND parent, const wchar_t* cls, const std::wstring& text, DWORD style, int id,
                 HFONT font, DWORD exStyle) {
    HWND h = ::CreateWindowExW(exStyle, cls, text.c_str(), WS_CHILD | WS_VISIBLE | style, 0, 0, 10,
                               10, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                               ::GetModuleHandleW(nullptr), nullptr);
    if (h != nullptr && font != nullptr)
        ::SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return h;
}

std::wstring Wide(const std::string& utf8) {
    return win32::ToWide(utf8);
}

std::string Utf8(const std::wstring& wide) {
    return win32::FromWide(wide);
}

void SetText(HWND hwnd, const std::string& utf8) {
    ::SetWindowTextW(hwnd, Wide(utf8).c_str());
}

std::string GetText(HWND hwnd) {
    const int n = ::GetWindowTextLengthW(hwnd);
    std::wstring w(static_cast<size_t>(n) + 1, L'\0');
    const int got = ::GetWindowTextW(hwnd, w.data(), n + 1);
    w.resize(static_cast<size_t>(got > 0 ? got : 0));
    return Utf8(w);
}

void RunModal(HWND dialog, HWND owner, const bool& done, TKeyFilter filter, void* self) {
    if (owner != nullptr) ::EnableWindow(owner, FALSE);
    ::ShowWindow(dialog, SW_SHOW);
    ::SetForegroundWindow(dialog);
    MSG msg;
    while (!done) {
        const BOOL r = ::GetMessageW(&msg, nullptr, 0, 0);
        if (r == 0) {
            // The application is quitting: the outer loop must see the quit too.
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (r == -1) break;
        if (filter != nullptr && filter(self, msg)) continue;
        if (::IsDialogMessageW(dialog, &msg)) continue;
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    if (owner != nullptr) {
        ::EnableWindow(owner, TRUE);
        if (::IsWindowVisible(owner)) ::SetForegroundWindow(owner);
    }
    ::ShowWindow(dialog, SW_HIDE);
}

void ApplyDpiChange(HWND hwnd, TUiFont& font, WPARAM wp, LPARAM lp) {
    font.Create(HIWORD(wp));
    for (HWND c = ::GetWindow(hwnd, GW_CHILD); c != nullptr; c = ::GetWindow(c, GW_HWNDNEXT))
        ::SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(font.Handle()), TRUE);
    const RECT* r = reinterpret_cast<const RECT*>(lp);
    ::SetWindowPos(hwnd, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
}

void CenterWindow(HWND hwnd, HWND owner, int width, int height) {
    HMONITOR mon = ::MonitorFromWindow(owner != nullptr ? owner : hwnd, MONITOR_DEFAULTTOPRIMARY);
    MONITORINFO mi{};
    mi.cbSize = sizeof mi;
    ::GetMonitorInfoW(mon, &mi);
    // Within the work area (the screen less the task bar), so that no part of the
    // window opens out of reach.
    const RECT& wa = mi.rcWork;
    const TScreenRect r =
        FitToWorkArea(width, height, TScreenRect{wa.left, wa.top, wa.right, wa.bottom});
    ::SetWindowPos(hwnd, nullptr, r.Left, r.Top, r.Width(), r.Height(),
                   SWP_NOZORDER | SWP_NOACTIVATE);
}

LRESULT GuardedHandle(const TExceptionSink* sink, const std::function<LRESULT()>& handle) {
    try {
        return handle();
    } catch (const std::exception& e) {
        if (sink != nullptr && *sink)
            (*sink)(e.what(), DemangledTypeName(typeid(e).name()).c_str());
    } catch (...) {
        if (sink != nullptr && *sink) (*sink)("unknown exception", "");
    }
    return 0;
}

void AddListColumn(HWND lv, int index, const std::wstring& title, int width) {
    LVCOLUMNW col{};
    col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    col.pszText = const_cast<wchar_t*>(title.c_str());
    col.cx = width;
    col.iSubItem = index;
    ::SendMessageW(lv, LVM_INSERTCOLUMNW, static_cast<WPARAM>(index),
                   reinterpret_cast<LPARAM>(&col));
}

void SetListColumnTitle(HWND lv, int index, const std::wstring& title) {
    LVCOLUMNW col{};
    col.mask = LVCF_TEXT;
    col.pszText = const_cast<wchar_t*>(title.c_str());
    ::SendMessageW(lv, LVM_SETCOLUMNW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&col));
}

}  // namespace telegate::win32ui
