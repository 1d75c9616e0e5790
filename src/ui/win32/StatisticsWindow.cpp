#include "ui/win32/StatisticsWindow.h"

#include <commctrl.h>

#include "ui/win32/Controls.h"

namespace telegate::win32ui {

namespace {

constexpr int kListId = 1;

bool RegisterClassOnce(WNDPROC proc) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = proc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kStatisticsWindowClass;
    WNDCLASSEXW existing{};
    if (::GetClassInfoExW(wc.hInstance, kStatisticsWindowClass, &existing)) return true;
    return ::RegisterClassExW(&wc) != 0;
}

}  // namespace

TStatisticsWindow::~TStatisticsWindow() {
    if (hwnd_ != nullptr) ::DestroyWindow(hwnd_);
}

void TStatisticsWindow::Show(HWND owner, HFONT font, int width, int height, int kp) {
    if (!presenter_.Select(kp)) return;
    if (hwnd_ == nullptr) {
        if (!RegisterClassOnce(&Proc)) return;
        hwnd_ = ::CreateWindowExW(0, kStatisticsWindowClass, L"", WS_OVERLAPPEDWINDOW,
                                  CW_USEDEFAULT, CW_USEDEFAULT, width, height, owner, nullptr,
                                  ::GetModuleHandleW(nullptr), this);
        if (hwnd_ == nullptr) return;
        list_ = MakeControl(hwnd_, WC_LISTVIEWW, L"",
                            WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_NOCOLUMNHEADER |
                                LVS_SINGLESEL | LVS_SHOWSELALWAYS,
                            kListId, font, WS_EX_CLIENTEDGE);
        ::SendMessageW(list_, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
                       LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
        AddListColumn(list_, 0, L"", width * 3 / 5);
        AddListColumn(list_, 1, L"", width * 2 / 5 - 24);
        RECT rc{};
        ::GetClientRect(hwnd_, &rc);
        ::MoveWindow(list_, 0, 0, rc.right, rc.bottom, TRUE);
        ::SetTimer(hwnd_, kStatisticsTimer, kStatisticsRefreshMs, nullptr);
        rows_ = 0;
    }
    Refresh();
    ::ShowWindow(hwnd_, SW_SHOWNORMAL);
    ::SetForegroundWindow(hwnd_);
}

void TStatisticsWindow::Refresh() {
    if (hwnd_ == nullptr) return;
    SetText(hwnd_, presenter_.Caption());
    const std::vector<TStatisticsRow> rows = presenter_.Rows();
    // Rows come and go only with the types of ASDU seen: the rest are set in place,
    // so the list keeps its scroll position and selection.
    ::SendMessageW(list_, WM_SETREDRAW, FALSE, 0);
    while (rows_ > static_cast<int>(rows.size()))
        ::SendMessageW(list_, LVM_DELETEITEM, static_cast<WPARAM>(--rows_), 0);
    for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
        std::wstring name = Wide(rows[static_cast<size_t>(i)].Name);
        std::wstring value = Wide(rows[static_cast<size_t>(i)].Value);
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = i;
        item.pszText = name.data();
        if (i >= rows_) {
            ::SendMessageW(list_, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
        } else {
            ::SendMessageW(list_, LVM_SETITEMTEXTW, static_cast<WPARAM>(i),
                           reinterpret_cast<LPARAM>(&item));
        }
        item.iSubItem = 1;
        item.pszText = value.data();
        ::SendMessageW(list_, LVM_SETITEMTEXTW, static_cast<WPARAM>(i),
                       reinterpret_cast<LPARAM>(&item));
    }
    rows_ = static_cast<int>(rows.size());
    ::SendMessageW(list_, WM_SETREDRAW, TRUE, 0);
    ::InvalidateRect(list_, nullptr, FALSE);
}

LRESULT CALLBACK TStatisticsWindow::Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    }
    auto* self = reinterpret_cast<TStatisticsWindow*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self != nullptr) {
        switch (msg) {
            case WM_SIZE:
                if (self->list_ != nullptr)
                    ::MoveWindow(self->list_, 0, 0, LOWORD(lp), HIWORD(lp), TRUE);
                return 0;
            case WM_SETFOCUS:
                ::SetFocus(self->list_);
                return 0;
            case WM_TIMER:
                if (wp == kStatisticsTimer) {
                    GuardedHandle(nullptr, [&] {
                        self->Refresh();
                        return LRESULT{0};
                    });
                    return 0;
                }
                break;
            case WM_DESTROY:
                ::KillTimer(hwnd, kStatisticsTimer);
                ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
                self->hwnd_ = nullptr;
                self->list_ = nullptr;
                self->rows_ = 0;
                return 0;
            default:
                break;
        }
    }
    return ::DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace telegate::win32ui
