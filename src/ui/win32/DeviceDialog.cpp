#include "ui/win32/DeviceDialog.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdlib>

#include "ui/win32/ProtocolDialog.h"

namespace telegate::win32ui {

namespace {

// Labels of the upper panel, in the order of the presenter's caption keys.
struct TFieldLabel {
    const char* Key;
    int Control;
};
constexpr TFieldLabel kLabels[] = {
    {"Name_dev_e", dev_Name},
    {"IP_e", dev_IP},
    {"Port_e", dev_Port},
    {"ASDU_Adr", dev_Asdu},
    {"SE_Time_Popravka", dev_TimeCorrection},
    {"Period_opros", dev_Period},
    {"SE_Port_WebServ", dev_WebPort},
    {"SE_Time_Popravka_unit", 0},
    {"Period_opros_unit", 0},
    {"Bind_WebServ", dev_BindWeb},
};
constexpr int kLabelCount = static_cast<int>(std::size(kLabels));

int32_t ParseInt(const std::string& text) {
    return static_cast<int32_t>(std::strtol(text.c_str(), nullptr, 10));
}

}  // namespace

TDeviceDialog::TDeviceDialog(int dpi, const TExceptionSink* sink) : sink_(sink) {
    font_.Create(dpi);
}

TDeviceDialog::~TDeviceDialog() {
    if (hwnd_ != nullptr) ::DestroyWindow(hwnd_);
}

void TDeviceDialog::Run(HWND owner, TDevicePropsPresenter& presenter) {
    presenter_ = &presenter;
    owner_ = owner;
    HINSTANCE inst = ::GetModuleHandleW(nullptr);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &TDeviceDialog::WndProc;
    wc.hInstance = inst;
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kDeviceDialogClass;
    ::RegisterClassExW(&wc);
    hwnd_ = ::CreateWindowExW(WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT, kDeviceDialogClass, L"",
                              WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_CLIPCHILDREN,
                              0, 0, 100, 100, owner, nullptr, inst, this);
    if (hwnd_ == nullptr) return;
    CreateControls();
    const int cw = font_.CharWidth(), line = font_.LineHeight();
    RECT r{0, 0, 110 * cw, 36 * line};
    ::AdjustWindowRectEx(&r, WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME, FALSE,
                         WS_EX_DLGMODALFRAME);
    CenterWindow(hwnd_, owner, r.right - r.left, r.bottom - r.top);
    presenter.Attach(this);
    Layout();
    ShowPage(0);
    ::SetFocus(Ctl(dev_Name));
    RunModal(hwnd_, owner, done_, &TDeviceDialog::KeyFilter, this);
    presenter.Attach(nullptr);
    EndEdit();
    ::DestroyWindow(hwnd_);
    hwnd_ = nullptr;
}

void TDeviceDialog::CreateControls() {
    const HFONT f = font_.Handle();
    for (int i = 0; i < kLabelCount; ++i)
        MakeControl(hwnd_, L"STATIC", L"", SS_LEFT | SS_CENTERIMAGE, dev_FirstLabel + i, f);
    const DWORD edit = WS_TABSTOP | ES_AUTOHSCROLL;
    MakeControl(hwnd_, L"EDIT", L"", edit, dev_Name, f, WS_EX_CLIENTEDGE);
    MakeControl(hwnd_, L"EDIT", L"", edit, dev_IP, f, WS_EX_CLIENTEDGE);
    MakeControl(hwnd_, L"EDIT", L"", edit, dev_BindWeb, f, WS_EX_CLIENTEDGE);
    for (int id : {dev_Port, dev_Asdu, dev_TimeCorrection, dev_Period, dev_WebPort})
        MakeControl(hwnd_, L"EDIT", L"", edit, id, f, WS_EX_CLIENTEDGE);
    for (int id : {dev_Pereschet, dev_TimeToOpc, dev_SaveExchange, dev_UseWeb})
        MakeControl(hwnd_, L"BUTTON", L"", WS_TABSTOP | BS_AUTOCHECKBOX, id, f);
    MakeControl(hwnd_, L"BUTTON", L"", WS_TABSTOP | BS_PUSHBUTTON, dev_Advanced, f);
    HWND tabs = MakeControl(hwnd_, WC_TABCONTROLW, L"", WS_TABSTOP | WS_CLIPSIBLINGS, dev_Tabs, f);
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = const_cast<wchar_t*>(L"");
    ::SendMessageW(tabs, TCM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    ::SendMessageW(tabs, TCM_INSERTITEMW, 1, reinterpret_cast<LPARAM>(&item));
    const DWORD lvStyle = WS_TABSTOP | LVS_REPORT | LVS_OWNERDATA | LVS_SHOWSELALWAYS |
                          LVS_SINGLESEL | WS_CLIPSIBLINGS;
    for (int id : {dev_GridTS, dev_GridTIT}) {
        HWND lv = MakeControl(hwnd_, WC_LISTVIEWW, L"", lvStyle, id, f, WS_EX_CLIENTEDGE);
        ::SendMessageW(lv, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
                       LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES | LVS_EX_DOUBLEBUFFER);
        const int cols = id == dev_GridTS ? kTsGridCols : kTitGridCols;
        const int cw = font_.CharWidth();
        for (int c = 0; c < cols; ++c)
            AddListColumn(lv, c, c == 0 ? L"№" : L"",
                          (c == 0   ? 4
                           : c == 1 ? 18
                           : c == 4 ? 8
                                    : 12) *
                              cw);
    }
    MakeControl(hwnd_, L"BUTTON", L"", WS_TABSTOP | BS_PUSHBUTTON, dev_AddRow, f);
    MakeControl(hwnd_, L"BUTTON", L"", WS_TABSTOP | BS_PUSHBUTTON, dev_DeleteRow, f);
    MakeControl(hwnd_, L"BUTTON", L"OK", WS_TABSTOP | BS_DEFPUSHBUTTON, IDOK, f);
    MakeControl(hwnd_, L"BUTTON", L"Cancel", WS_TABSTOP | BS_PUSHBUTTON, IDCANCEL, f);
}

void TDeviceDialog::Layout() {
    RECT rc;
    ::GetClientRect(hwnd_, &rc);
    const int cw = font_.CharWidth(), line = font_.LineHeight();
    const int m = line / 2 + 2, h = line + font_.Px(8), gap = h + font_.Px(4);
    const int labelW = 24 * cw, editW = 26 * cw, smallW = 10 * cw;
    auto label = [&](int i, int x, int y, int w) {
        ::MoveWindow(Ctl(dev_FirstLabel + i), x, y, w, h, TRUE);
    };
    // Left column: name, address, port, ASDU address; right column: the numbers.
    int y = m;
    const int x2 = m + labelW + editW + 3 * m;
    label(0, m, y, labelW);
    ::MoveWindow(Ctl(dev_Name), m + labelW, y, editW, h, TRUE);
    label(4, x2, y, labelW);
    ::MoveWindow(Ctl(dev_TimeCorrection), x2 + labelW, y, smallW, h, TRUE);
    label(7, x2 + labelW + smallW + m, y, 16 * cw);
    y += gap;
    label(1, m, y, labelW);
    ::MoveWindow(Ctl(dev_IP), m + labelW, y, editW, h, TRUE);
    label(5, x2, y, labelW);
    ::MoveWindow(Ctl(dev_Period), x2 + labelW, y, smallW, h, TRUE);
    label(8, x2 + labelW + smallW + m, y, 20 * cw);
    y += gap;
    label(2, m, y, labelW);
    ::MoveWindow(Ctl(dev_Port), m + labelW, y, smallW, h, TRUE);
    label(6, x2, y, labelW);
    ::MoveWindow(Ctl(dev_WebPort), x2 + labelW, y, smallW, h, TRUE);
    y += gap;
    label(3, m, y, labelW);
    ::MoveWindow(Ctl(dev_Asdu), m + labelW, y, smallW, h, TRUE);
    ::MoveWindow(Ctl(dev_UseWeb), x2, y, labelW + smallW, h, TRUE);
    y += gap;
    const int wide = std::max(10, static_cast<int>(rc.right) - 2 * m);
    ::MoveWindow(Ctl(dev_Pereschet), m, y, labelW + editW, h, TRUE);
    ::MoveWindow(Ctl(dev_SaveExchange), x2, y, std::max(10, static_cast<int>(rc.right) - x2 - m), h,
                 TRUE);
    y += gap;
    ::MoveWindow(Ctl(dev_TimeToOpc), m, y, labelW + editW, h, TRUE);
    const int advW = 18 * cw;
    ::MoveWindow(Ctl(dev_Advanced), x2, y, advW, h, TRUE);
    y += gap;
    label(9, x2, y, labelW);
    ::MoveWindow(Ctl(dev_BindWeb), x2 + labelW, y, 2 * smallW, h, TRUE);
    y += gap + m / 2;
    // Pages with the grids; buttons at the bottom.
    const int bottomY = rc.bottom - m - h;
    ::MoveWindow(Ctl(dev_Tabs), m, y, wide, std::max(0, bottomY - m - y), TRUE);
    RECT page{m, y, m + wide, std::max(y, bottomY - m)};
    ::SendMessageW(Ctl(dev_Tabs), TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&page));
    const int rowButtonsY = page.bottom - h;
    for (int id : {dev_GridTS, dev_GridTIT})
        ::MoveWindow(Ctl(id), page.left, page.top, page.right - page.left,
                     std::max(0, static_cast<int>(rowButtonsY - m / 2 - page.top)), TRUE);
    const int rowBtnW = 24 * cw;
    ::MoveWindow(Ctl(dev_AddRow), page.left, rowButtonsY, rowBtnW, h, TRUE);
    ::MoveWindow(Ctl(dev_DeleteRow), page.left + rowBtnW + m, rowButtonsY, rowBtnW, h, TRUE);
    const int okW = 12 * cw;
    ::MoveWindow(Ctl(IDCANCEL), rc.right - m - okW, bottomY, okW, h, TRUE);
    ::MoveWindow(Ctl(IDOK), rc.right - 2 * (m + okW), bottomY, okW, h, TRUE);
    // Controls above the pages.
    for (int id : {dev_GridTS, dev_GridTIT, dev_AddRow, dev_DeleteRow})
        ::SetWindowPos(Ctl(id), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

void TDeviceDialog::ShowPage(int page) {
    EndEdit();
    page_ = page;
    ::SendMessageW(Ctl(dev_Tabs), TCM_SETCURSEL, static_cast<WPARAM>(page), 0);
    ::ShowWindow(Ctl(dev_GridTS), page == 0 ? SW_SHOW : SW_HIDE);
    ::ShowWindow(Ctl(dev_GridTIT), page == 1 ? SW_SHOW : SW_HIDE);
}

HWND TDeviceDialog::Grid(TGridKind grid) const {
    return Ctl(grid == TGridKind::Signals ? dev_GridTS : dev_GridTIT);
}

void TDeviceDialog::SetCaptions(const std::vector<std::pair<std::string, std::string>>& captions) {
    auto find = [&](const char* key) -> std::string {
        for (const auto& [k, v] : captions)
            if (k == key) return v;
        return {};
    };
    SetText(hwnd_, find(""));
    for (int i = 0; i < kLabelCount; ++i) SetText(Ctl(dev_FirstLabel + i), find(kLabels[i].Key));
    SetText(Ctl(dev_Pereschet), find("CB_Pereschet"));
    SetText(Ctl(dev_TimeToOpc), find("CB_Time_to_OPC"));
    SetText(Ctl(dev_SaveExchange), find("CB_Save_Obmen_v_File"));
    SetText(Ctl(dev_UseWeb), find("CB_UseWebServer"));
    SetText(Ctl(dev_Advanced), find("BitBtn1"));
    SetText(Ctl(IDOK), find("OKBtn"));
    SetText(Ctl(IDCANCEL), find("CancelBtn"));
    SetText(Ctl(dev_AddRow), find("AddRow"));
    SetText(Ctl(dev_DeleteRow), find("DeleteRow"));
    const std::string pages[2] = {find("PageTS"), find("PageTIT")};
    for (int i = 0; i < 2; ++i) {
        std::wstring w = Wide(pages[i]);
        TCITEMW item{};
        item.mask = TCIF_TEXT;
        item.pszText = w.data();
        ::SendMessageW(Ctl(dev_Tabs), TCM_SETITEMW, static_cast<WPARAM>(i),
                       reinterpret_cast<LPARAM>(&item));
    }
}

void TDeviceDialog::ShowForm(const TDeviceForm& form) {
    EndEdit();
    settingText_ = true;
    SetText(Ctl(dev_Name), form.Name_dev_e);
    SetText(Ctl(dev_IP), form.IP_e);
    SetText(Ctl(dev_Port), std::to_string(form.Port_e));
    SetText(Ctl(dev_Asdu), std::to_string(form.ASDU_Adr));
    SetText(Ctl(dev_TimeCorrection), std::to_string(form.SE_Time_Popravka));
    SetText(Ctl(dev_Period), std::to_string(form.Period_opros));
    SetText(Ctl(dev_WebPort), std::to_string(form.SE_Port_WebServ));
    SetText(Ctl(dev_BindWeb), presenter_->BindAddress());
    auto check = [this](int id, bool on) {
        ::SendMessageW(Ctl(id), BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
    };
    check(dev_Pereschet, form.CB_Pereschet);
    check(dev_TimeToOpc, form.CB_Time_to_OPC);
    check(dev_SaveExchange, form.CB_Save_Obmen_v_File);
    check(dev_UseWeb, form.CB_UseWebServer);
    settingText_ = false;
    ShowGrid(TGridKind::Signals, form.StringGrid_TS);
    ShowGrid(TGridKind::Measurements, form.StringGrid_TIT);
}

void TDeviceDialog::ReadFields() {
    TDevicePropsPresenter& p = *presenter_;
    auto checked = [this](int id) {
        return ::SendMessageW(Ctl(id), BM_GETCHECK, 0, 0) == BST_CHECKED;
    };
    p.SetName(GetText(Ctl(dev_Name)));
    p.SetIP(GetText(Ctl(dev_IP)));
    // The ports as typed: OK refuses what is not a port number.
    p.SetPortText(GetText(Ctl(dev_Port)));
    p.SetPort(ParseInt(GetText(Ctl(dev_Port))));
    p.SetAsduAddress(ParseInt(GetText(Ctl(dev_Asdu))));
    p.SetTimeCorrection(ParseInt(GetText(Ctl(dev_TimeCorrection))));
    p.SetPeriod(ParseInt(GetText(Ctl(dev_Period))));
    p.SetWebPort(ParseInt(GetText(Ctl(dev_WebPort))));
    p.SetWebPortText(GetText(Ctl(dev_WebPort)));
    p.SetBindAddress(GetText(Ctl(dev_BindWeb)));
    p.SetPereschet(checked(dev_Pereschet));
    p.SetTimeToOpc(checked(dev_TimeToOpc));
    p.SetSaveExchange(checked(dev_SaveExchange));
    p.SetUseWebServer(checked(dev_UseWeb));
}

void TDeviceDialog::SetCell(TGridKind grid, int col, int row, const std::string& text) {
    ::SendMessageW(Grid(grid), LVM_REDRAWITEMS, static_cast<WPARAM>(row - 1), row - 1);
    if (editor_ != nullptr && grid == editGrid_ && row == editRow_ && col == editCol_) {
        settingText_ = true;
        SetText(editor_, text);
        const LPARAM end = ::GetWindowTextLengthW(editor_);
        ::SendMessageW(editor_, EM_SETSEL, static_cast<WPARAM>(end), end);
        settingText_ = false;
        ::MessageBeep(MB_OK);
    }
}

void TDeviceDialog::ShowGrid(TGridKind grid, const TStringGrid& cells) {
    HWND lv = Grid(grid);
    const int cw = font_.CharWidth();
    for (int c = 1; c < cells.ColCount(); ++c) {
        const std::wstring title = Wide(cells.Cell(c, 0));
        SetListColumnTitle(lv, c, title);
        // The comment column stays narrow; the others show their titles.
        const int minWidth = (c == 1 ? 18 : c == 4 ? 8 : 10) * cw;
        const int width =
            c == 4 ? minWidth : std::max(minWidth, font_.TextWidth(lv, title) + 3 * cw);
        ::SendMessageW(lv, LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(c), width);
    }
    ::SendMessageW(lv, LVM_SETITEMCOUNT, static_cast<WPARAM>(std::max(0, cells.RowCount() - 1)),
                   LVSICF_NOSCROLL);
    ::InvalidateRect(lv, nullptr, FALSE);
}

void TDeviceDialog::RunProtocolDialog(TProtocolParamsPresenter& dialog) {
    TProtocolDialog window(font_.Dpi(), sink_);
    window.Run(hwnd_, dialog);
}

void TDeviceDialog::ShowError(const std::string& text) {
    ::MessageBoxW(hwnd_, Wide(text).c_str(), L"Telegate", MB_OK | MB_ICONERROR);
}

void TDeviceDialog::EndDialog(bool) {
    done_ = true;
}

// ------------------------------------------------------------------ cell editor

void TDeviceDialog::BeginEdit(TGridKind grid, int item, int col) {
    EndEdit();
    HWND lv = Grid(grid);
    const TStringGrid& cells = grid == TGridKind::Signals ? presenter_->Form().StringGrid_TS
                                                          : presenter_->Form().StringGrid_TIT;
    if (item < 0 || item + 1 >= cells.RowCount() || col < 1 || col >= cells.ColCount()) return;
    RECT r{};
    r.top = col;
    r.left = LVIR_BOUNDS;
    if (!::SendMessageW(lv, LVM_GETSUBITEMRECT, static_cast<WPARAM>(item),
                        reinterpret_cast<LPARAM>(&r)))
        return;
    ::MapWindowPoints(lv, hwnd_, reinterpret_cast<POINT*>(&r), 2);
    editGrid_ = grid;
    editRow_ = item + 1;
    editCol_ = col;
    settingText_ = true;
    editor_ = MakeControl(hwnd_, L"EDIT", Wide(cells.Cell(col, editRow_)),
                          ES_AUTOHSCROLL | WS_BORDER, dev_CellEditor, font_.Handle());
    settingText_ = false;
    ::SetWindowPos(editor_, HWND_TOP, r.left, r.top, r.right - r.left, r.bottom - r.top + 2, 0);
    ::SendMessageW(editor_, EM_SETSEL, 0, -1);
    ::SetFocus(editor_);
}

void TDeviceDialog::EndEdit() {
    if (editor_ == nullptr) return;
    HWND e = editor_;
    editor_ = nullptr;
    ::DestroyWindow(e);
}

bool TDeviceDialog::KeyFilter(void* p, MSG& msg) {
    auto* self = static_cast<TDeviceDialog*>(p);
    if (self->editor_ != nullptr && msg.hwnd == self->editor_ && msg.message == WM_KEYDOWN &&
        (msg.wParam == VK_RETURN || msg.wParam == VK_ESCAPE)) {
        HWND lv = self->Grid(self->editGrid_);
        self->EndEdit();
        ::SetFocus(lv);
        return true;
    }
    return false;
}

LRESULT TDeviceDialog::OnNotify(NMHDR* hdr) {
    if (hdr->idFrom == dev_Tabs && hdr->code == TCN_SELCHANGE) {
        ShowPage(static_cast<int>(::SendMessageW(Ctl(dev_Tabs), TCM_GETCURSEL, 0, 0)));
        return 0;
    }
    if (hdr->idFrom != dev_GridTS && hdr->idFrom != dev_GridTIT) return 0;
    const TGridKind grid = hdr->idFrom == dev_GridTS ? TGridKind::Signals : TGridKind::Measurements;
    switch (hdr->code) {
        case LVN_GETDISPINFOW: {
            auto* di = reinterpret_cast<NMLVDISPINFOW*>(hdr);
            if ((di->item.mask & LVIF_TEXT) == 0 || di->item.cchTextMax <= 0) return 0;
            const TStringGrid& cells = grid == TGridKind::Signals
                                           ? presenter_->Form().StringGrid_TS
                                           : presenter_->Form().StringGrid_TIT;
            const int row = di->item.iItem + 1;
            cellBuffer_ = di->item.iSubItem == 0 ? std::to_wstring(row)
                                                 : Wide(cells.Cell(di->item.iSubItem, row));
            lstrcpynW(di->item.pszText, cellBuffer_.c_str(), di->item.cchTextMax);
            return 0;
        }
        case NM_DBLCLK: {
            auto* ia = reinterpret_cast<NMITEMACTIVATE*>(hdr);
            LVHITTESTINFO hit{};
            hit.pt = ia->ptAction;
            ::SendMessageW(hdr->hwndFrom, LVM_SUBITEMHITTEST, 0, reinterpret_cast<LPARAM>(&hit));
            if (hit.iItem >= 0) BeginEdit(grid, hit.iItem, std::max(1, hit.iSubItem));
            return 0;
        }
        case LVN_KEYDOWN: {
            auto* kd = reinterpret_cast<NMLVKEYDOWN*>(hdr);
            if (kd->wVKey == VK_F2) {
                const int item = static_cast<int>(::SendMessageW(
                    hdr->hwndFrom, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED));
                BeginEdit(grid, item, 1);
            }
            return 0;
        }
        case LVN_BEGINSCROLL:
            EndEdit();
            return 0;
        default:
            return 0;
    }
}

LRESULT TDeviceDialog::Handle(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_COMMAND: {
            const int id = LOWORD(wp);
            if (id == dev_CellEditor) {
                if (HIWORD(wp) == EN_CHANGE && !settingText_ && editor_ != nullptr)
                    presenter_->OnCellEdited(editGrid_, editCol_, editRow_, GetText(editor_));
                if (HIWORD(wp) == EN_KILLFOCUS) ::PostMessageW(hwnd_, WM_APP, 0, 0);
                return 0;
            }
            const TGridKind grid = page_ == 0 ? TGridKind::Signals : TGridKind::Measurements;
            switch (id) {
                case IDOK:
                    EndEdit();
                    ReadFields();
                    presenter_->OnOk();
                    return 0;
                case IDCANCEL:
                    EndEdit();
                    presenter_->OnCancel();
                    return 0;
                case dev_Advanced:
                    EndEdit();
                    ReadFields();
                    presenter_->OnAdvanced();
                    return 0;
                case dev_AddRow:
                    EndEdit();
                    presenter_->OnAddRow(grid);
                    return 0;
                case dev_DeleteRow: {
                    EndEdit();
                    const int item = static_cast<int>(::SendMessageW(
                        Grid(grid), LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
                    if (item >= 0) presenter_->OnDeleteRow(grid, item + 1);
                    return 0;
                }
                default:
                    return 0;
            }
        }
        case WM_APP:
            // The editor lost the focus: close it unless it got the focus back.
            if (editor_ != nullptr && ::GetFocus() != editor_) EndEdit();
            return 0;
        case WM_NOTIFY:
            return OnNotify(reinterpret_cast<NMHDR*>(lp));
        case WM_SIZE:
            EndEdit();
            Layout();
            return 0;
        case WM_GETMINMAXINFO: {
            auto* mm = reinterpret_cast<MINMAXINFO*>(lp);
            mm->ptMinTrackSize = POINT{100 * font_.CharWidth(), 30 * font_.LineHeight()};
            return 0;
        }
        case WM_DPICHANGED: {
            // Moved to a screen of another scale: the font for the new DPI, the
            // size the system suggests, the controls laid out again.
            EndEdit();
            ApplyDpiChange(hwnd_, font_, wp, lp);
            Layout();
            return 0;
        }
        case WM_CLOSE:
            EndEdit();
            presenter_->OnCancel();
            return 0;
        default:
            return ::DefWindowProcW(hwnd_, msg, wp, lp);
    }
}

LRESULT CALLBACK TDeviceDialog::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
        static_cast<TDeviceDialog*>(cs->lpCreateParams)->hwnd_ = hwnd;
    }
    auto* self = reinterpret_cast<TDeviceDialog*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self == nullptr || self->presenter_ == nullptr || msg == WM_NCCREATE || msg == WM_NCDESTROY)
        return ::DefWindowProcW(hwnd, msg, wp, lp);
    return GuardedHandle(self->sink_, [&] { return self->Handle(msg, wp, lp); });
}

}  // namespace telegate::win32ui
