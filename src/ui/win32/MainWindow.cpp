#include "ui/win32/MainWindow.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>

#include "ui/OperatorCommands.h"
#include "ui/win32/DeviceDialog.h"

namespace telegate::win32ui {

namespace {

constexpr int kDesignWidth = 1077;  // client area at 96 DPI
// The grids' column widths in average characters; the quality titles are long.
constexpr int kSignalColumnChars[] = {4, 24, 10, 10, 20, 24};
constexpr int kMeasureColumnChars[] = {4, 24, 10, 14, 20, 14, 24};
constexpr int kDesignHeight = 667;
constexpr int kLedSize = 11;  // 96-DPI pixels

HICON LoadAppIcon(int size) {
    return static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1),
                                           IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
}

std::wstring MenuText(const std::string& caption, const wchar_t* shortcut = nullptr) {
    std::wstring w = Wide(caption);
    if (shortcut != nullptr) {
        w += L'\t';
        w += shortcut;
    }
    return w;
}

}  // namespace

TMainWindow::TMainWindow() = default;

TMainWindow::~TMainWindow() {
    Destroy();
    if (accel_ != nullptr) ::DestroyAcceleratorTable(accel_);
    if (icon_ != nullptr) ::DestroyIcon(icon_);
    if (smallIcon_ != nullptr) ::DestroyIcon(smallIcon_);
}

void TMainWindow::Destroy() {
    if (hwnd_ == nullptr) return;
    if (journal_ != nullptr) ::DestroyWindow(journal_);
    SetTrayIcon(false, {});
    ::DestroyWindow(hwnd_);
    hwnd_ = nullptr;
}

bool TMainWindow::Create(TMainWindowPresenter& presenter) {
    presenter_ = &presenter;
    HINSTANCE inst = ::GetModuleHandleW(nullptr);
    font_.Create(ScreenDpi());
    icon_ = LoadAppIcon(::GetSystemMetrics(SM_CXICON));
    smallIcon_ = LoadAppIcon(::GetSystemMetrics(SM_CXSMICON));

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = &TMainWindow::WndProc;
    wc.hInstance = inst;
    wc.hIcon = icon_;
    wc.hIconSm = smallIcon_;
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kMainWindowClass;
    ::RegisterClassExW(&wc);
    WNDCLASSEXW cc = wc;
    cc.lpfnWndProc = &TMainWindow::ChannelsProc;
    cc.hIcon = nullptr;
    cc.hIconSm = nullptr;
    cc.lpszClassName = L"TelegateChannels";
    ::RegisterClassExW(&cc);
    WNDCLASSEXW jc = wc;
    jc.lpfnWndProc = &TMainWindow::JournalProc;
    jc.lpszClassName = kJournalWindowClass;
    ::RegisterClassExW(&jc);

    hwnd_ = ::CreateWindowExW(0, kMainWindowClass, L"Telegate", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                              CW_USEDEFAULT, 100, 100, nullptr, nullptr, inst, this);
    if (hwnd_ == nullptr) return false;
    taskbarCreated_ = ::RegisterWindowMessageW(L"TaskbarCreated");
    showRunningCopy_ = ::RegisterWindowMessageW(kShowRunningCopyMessage);
    // A second start may come from a process of lower integrity.
    ::ChangeWindowMessageFilterEx(hwnd_, showRunningCopy_, MSGFLT_ALLOW, nullptr);
    CreateControls();
    // The window's size at design, for the font's DPI, centred on the screen.
    RECT r{0, 0, font_.Px(kDesignWidth), font_.Px(kDesignHeight)};
    ::AdjustWindowRectEx(&r, WS_OVERLAPPEDWINDOW, TRUE, 0);
    CenterWindow(hwnd_, nullptr, r.right - r.left, r.bottom - r.top);

    ACCEL keys[] = {
        {FCONTROL | FVIRTKEY, 'N', cmd_Add},  {FCONTROL | FVIRTKEY, 'E', cmd_Change},
        {FVIRTKEY, VK_DELETE, cmd_Delete},    {FCONTROL | FVIRTKEY, 'R', cmd_Restore},
        {FCONTROL | FVIRTKEY, 'H', cmd_Hide}, {FALT | FVIRTKEY, 'X', cmd_Exit},
        {FVIRTKEY, VK_F1, cmd_Help},
    };
    accel_ = ::CreateAcceleratorTableW(keys, static_cast<int>(std::size(keys)));
    presenter.Attach(this);
    return true;
}

void TMainWindow::CreateControls() {
    const HFONT f = font_.Handle();
    for (int id : {cmd_Add, cmd_Change, cmd_Delete, cmd_StartStop})
        MakeControl(hwnd_, L"BUTTON", L"", WS_TABSTOP | BS_PUSHBUTTON, id, f);
    MakeControl(hwnd_, L"STATIC", L"", SS_LEFT | SS_CENTERIMAGE, ctl_ClientsLabel, f);
    MakeControl(hwnd_, L"STATIC", L"0", SS_LEFT | SS_CENTERIMAGE, ctl_Clients, f);
    MakeControl(hwnd_, L"STATIC", L"", SS_LEFT | SS_CENTERIMAGE, ctl_GroupsLabel, f);
    MakeControl(hwnd_, L"STATIC", L"0", SS_LEFT | SS_CENTERIMAGE, ctl_Groups, f);
    MakeControl(hwnd_, L"LISTBOX", L"",
                WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_BORDER,
                ctl_DeviceList, f);
    const DWORD lvStyle = WS_TABSTOP | LVS_REPORT | LVS_OWNERDATA | LVS_SHOWSELALWAYS |
                          LVS_SINGLESEL | WS_CLIPSIBLINGS;
    for (int id : {ctl_SignalGrid, ctl_MeasurementGrid}) {
        HWND lv = MakeControl(hwnd_, WC_LISTVIEWW, L"", lvStyle, id, f, WS_EX_CLIENTEDGE);
        ::SendMessageW(lv, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
                       LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES | LVS_EX_DOUBLEBUFFER);
    }
    channels_ = MakeControl(hwnd_, L"TelegateChannels", L"", 0, ctl_Channels, f);
    ::SetWindowLongPtrW(channels_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    ledTips_ = ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                                 WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP, CW_USEDEFAULT,
                                 CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr,
                                 ::GetModuleHandleW(nullptr), nullptr);
    MakeControl(hwnd_, STATUSCLASSNAMEW, L"", SBARS_SIZEGRIP, ctl_Status, f);
    // Column titles come from the presenter's title rows; widths in characters.
    const int cw = font_.CharWidth();
    const TStringGrid& ts = presenter_->SignalGrid();
    const TStringGrid& ti = presenter_->MeasurementGrid();
    HWND sg = Control(ctl_SignalGrid), mg = Control(ctl_MeasurementGrid);
    // A trailing space: a header that measures a title a few pixels narrower than
    // it draws it (seen with Wine's) clips the blank, not the last letter.
    for (int c = 0; c < ts.ColCount(); ++c)
        AddListColumn(sg, c, c == 0 ? L"№" : Wide(ts.Cell(c, 0) + " "), kSignalColumnChars[c] * cw);
    for (int c = 0; c < ti.ColCount(); ++c)
        AddListColumn(mg, c, c == 0 ? L"№" : Wide(ti.Cell(c, 0) + " "),
                      kMeasureColumnChars[c] * cw);
    // Numbers line up at the right: the measurement values, raw and engineering.
    for (int c : {3, 5}) {
        LVCOLUMNW col{};
        col.mask = LVCF_FMT;
        col.fmt = LVCFMT_RIGHT;
        ::SendMessageW(mg, LVM_SETCOLUMNW, static_cast<WPARAM>(c), reinterpret_cast<LPARAM>(&col));
    }
    FitColumns();
}

void TMainWindow::FitColumns() {
    // Each column at least as wide as its title.
    const int cw = font_.CharWidth();
    const TStringGrid& ts = presenter_->SignalGrid();
    const TStringGrid& ti = presenter_->MeasurementGrid();
    HWND sg = Control(ctl_SignalGrid), mg = Control(ctl_MeasurementGrid);
    for (int c = 0; c < ts.ColCount(); ++c)
        ::SendMessageW(sg, LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(c),
                       std::max(kSignalColumnChars[c] * cw,
                                font_.TextWidth(sg, Wide(ts.Cell(c, 0))) + 6 * cw));
    for (int c = 0; c < ti.ColCount(); ++c)
        ::SendMessageW(mg, LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(c),
                       std::max(kMeasureColumnChars[c] * cw,
                                font_.TextWidth(mg, Wide(ti.Cell(c, 0))) + 6 * cw));
}

void TMainWindow::ApplyFont() {
    for (HWND child = ::GetWindow(hwnd_, GW_CHILD); child != nullptr;
         child = ::GetWindow(child, GW_HWNDNEXT))
        ::SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_.Handle()), TRUE);
    FitColumns();
}

void TMainWindow::Layout() {
    RECT rc;
    ::GetClientRect(hwnd_, &rc);
    const int line = font_.LineHeight();
    const int m = std::max(4, line / 2);
    const int bh = line + font_.Px(10);
    // Top bar: four buttons as wide as their captions, then the counters.
    int x = m;
    for (int id : {cmd_Add, cmd_Change, cmd_Delete, cmd_StartStop}) {
        HWND b = Control(id);
        std::wstring t(static_cast<size_t>(::GetWindowTextLengthW(b)) + 1, L'\0');
        t.resize(static_cast<size_t>(::GetWindowTextW(b, t.data(), static_cast<int>(t.size()))));
        const int w =
            std::max(font_.TextWidth(b, t) + 3 * font_.CharWidth(), 12 * font_.CharWidth());
        ::MoveWindow(b, x, m, w, bh, TRUE);
        x += w + m;
    }
    x += 2 * m;
    for (int id : {ctl_ClientsLabel, ctl_Clients, ctl_GroupsLabel, ctl_Groups}) {
        HWND s = Control(id);
        const bool number = id == ctl_Clients || id == ctl_Groups;
        std::wstring t(static_cast<size_t>(::GetWindowTextLengthW(s)) + 1, L'\0');
        t.resize(static_cast<size_t>(::GetWindowTextW(s, t.data(), static_cast<int>(t.size()))));
        const int w = number ? 6 * font_.CharWidth() : font_.TextWidth(s, t) + font_.CharWidth();
        ::MoveWindow(s, x, m, w, bh, TRUE);
        x += w + (number ? 2 * m : m / 2);
    }
    // Bottom: status bar, and the channel strip above it.
    HWND status = Control(ctl_Status);
    const int statusH = line + font_.Px(8);
    ::MoveWindow(status, 0, rc.bottom - statusH, rc.right, statusH, TRUE);
    channelStripHeight_ = line + font_.Px(8);
    channelStripTop_ = rc.bottom - statusH - channelStripHeight_;
    ::MoveWindow(channels_, 0, channelStripTop_, rc.right, channelStripHeight_, TRUE);
    UpdateLedTools();
    // Middle: device list | splitter | signal grid / splitter / measurement grid.
    const int top = m + bh + m;
    const int bottom = channelStripTop_ - font_.Px(2);
    const int split = std::max(4, font_.Px(5));
    const int avail = std::max(0, static_cast<int>(rc.right) - 2 * m - split);
    int listW = static_cast<int>(avail * listFraction_);
    listW = std::clamp(listW, std::min(avail, 6 * font_.CharWidth()),
                       std::max(0, avail - 6 * font_.CharWidth()));
    ::MoveWindow(Control(ctl_DeviceList), m, top, listW, std::max(0, bottom - top), TRUE);
    vSplit_ = RECT{m + listW, top, m + listW + split, bottom};
    const int gx = vSplit_.right;
    const int gw = std::max(0, static_cast<int>(rc.right) - m - gx);
    const int gh = std::max(0, bottom - top - split);
    int sigH = std::clamp(static_cast<int>(gh * gridFraction_), std::min(gh, 3 * line),
                          std::max(0, gh - 3 * line));
    ::MoveWindow(Control(ctl_SignalGrid), gx, top, gw, sigH, TRUE);
    hSplit_ = RECT{gx, top + sigH, gx + gw, top + sigH + split};
    ::MoveWindow(Control(ctl_MeasurementGrid), gx, hSplit_.bottom, gw,
                 std::max(0, bottom - static_cast<int>(hSplit_.bottom)), TRUE);
}

void TMainWindow::BuildMenu() {
    // Every item of a level gets a keyboard mnemonic of its own (Alt+letter).
    const std::vector<std::string> bar =
        WithMnemonics({captions_.MenuDevice, captions_.MenuServer, captions_.MenuJournal,
                       captions_.MenuHelp, captions_.MenuAbout});
    const std::vector<std::string> dev =
        WithMnemonics({captions_.MenuAdd, captions_.MenuChange, captions_.MenuDelete, traceCaption_,
                       captions_.MenuStatistics});
    const std::vector<std::string> srv =
        WithMnemonics({captions_.MenuRegister, captions_.MenuUnregister});
    HMENU menuBar = ::CreateMenu();
    HMENU device = ::CreatePopupMenu();
    const UINT edit = editEnabled_ ? MF_ENABLED : MF_GRAYED;
    ::AppendMenuW(device, MF_STRING | edit, cmd_Add, MenuText(dev[0], L"Ctrl+N").c_str());
    ::AppendMenuW(device, MF_STRING | edit, cmd_Change, MenuText(dev[1], L"Ctrl+E").c_str());
    ::AppendMenuW(device, MF_STRING | edit, cmd_Delete, MenuText(dev[2], L"Del").c_str());
    ::AppendMenuW(device, MF_STRING, cmd_Trace, MenuText(dev[3]).c_str());
    ::AppendMenuW(device, MF_STRING, cmd_Statistics, MenuText(dev[4]).c_str());
    HMENU server = ::CreatePopupMenu();
    ::AppendMenuW(server, MF_STRING, cmd_Register, MenuText(srv[0]).c_str());
    ::AppendMenuW(server, MF_STRING, cmd_Unregister, MenuText(srv[1]).c_str());
    ::AppendMenuW(menuBar, MF_POPUP, reinterpret_cast<UINT_PTR>(device), MenuText(bar[0]).c_str());
    ::AppendMenuW(menuBar, MF_POPUP, reinterpret_cast<UINT_PTR>(server), MenuText(bar[1]).c_str());
    ::AppendMenuW(menuBar, MF_STRING, cmd_Journal, MenuText(bar[2]).c_str());
    ::AppendMenuW(menuBar, MF_STRING, cmd_Help, MenuText(bar[3]).c_str());
    ::AppendMenuW(menuBar, MF_STRING, cmd_About, MenuText(bar[4]).c_str());
    ::SetMenu(hwnd_, menuBar);
    if (menu_ != nullptr) ::DestroyMenu(menu_);
    menu_ = menuBar;
    ::DrawMenuBar(hwnd_);
}

// ------------------------------------------------------------------ view

void TMainWindow::SetCaptions(const TMainCaptions& captions) {
    captions_ = captions;
    SetText(hwnd_, captions.Window);
    SetText(Control(cmd_Add), captions.BtnAdd);
    SetText(Control(cmd_Change), captions.BtnChange);
    SetText(Control(cmd_Delete), captions.BtnDelete);
    SetText(Control(cmd_StartStop), captions.BtnPoll);
    SetText(Control(ctl_ClientsLabel), captions.LabelClients);
    SetText(Control(ctl_GroupsLabel), captions.LabelGroups);
    BuildMenu();
    Layout();
}

void TMainWindow::SetTraceCaption(const std::string& caption) {
    traceCaption_ = caption;
    if (menu_ != nullptr) BuildMenu();
}

void TMainWindow::SetStatusText(const std::string& text) {
    ::SendMessageW(Control(ctl_Status), SB_SETTEXTW, 0,
                   reinterpret_cast<LPARAM>(Wide(text).c_str()));
}

void TMainWindow::SetOptionLists(const std::vector<TOptionEntry>&, int, int,
                                 const std::vector<TOptionEntry>&, int) {
    // The display-option lists are never shown; the presenter keeps their state.
}

void TMainWindow::SetDeviceList(const std::vector<std::string>& names, int selected) {
    HWND lb = Control(ctl_DeviceList);
    // A station's link mark changes the list often: it keeps its scroll position.
    const LRESULT top = ::SendMessageW(lb, LB_GETTOPINDEX, 0, 0);
    ::SendMessageW(lb, WM_SETREDRAW, FALSE, 0);
    ::SendMessageW(lb, LB_RESETCONTENT, 0, 0);
    for (const std::string& n : names)
        ::SendMessageW(lb, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(n).c_str()));
    ::SendMessageW(lb, LB_SETCURSEL, static_cast<WPARAM>(selected), 0);
    if (top > 0) ::SendMessageW(lb, LB_SETTOPINDEX, static_cast<WPARAM>(top), 0);
    ::SendMessageW(lb, WM_SETREDRAW, TRUE, 0);
    ::InvalidateRect(lb, nullptr, TRUE);
}

void TMainWindow::SetEditCommandsEnabled(bool enabled) {
    editEnabled_ = enabled;
    for (int id : {cmd_Add, cmd_Change, cmd_Delete}) ::EnableWindow(Control(id), enabled);
    if (menu_ != nullptr) BuildMenu();
}

void TMainWindow::ConfigureGrid(HWND lv, const TStringGrid& grid, bool) {
    const int items = std::max(0, grid.RowCount() - 1);
    const int had = static_cast<int>(::SendMessageW(lv, LVM_GETITEMCOUNT, 0, 0));
    if (had != items)
        ::SendMessageW(lv, LVM_SETITEMCOUNT, static_cast<WPARAM>(items),
                       LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
    // Only the rows on screen are asked for their texts again.
    ::InvalidateRect(lv, nullptr, FALSE);
}

void TMainWindow::GridChanged(bool measurements) {
    if (measurements)
        ConfigureGrid(Control(ctl_MeasurementGrid), presenter_->MeasurementGrid(), true);
    else
        ConfigureGrid(Control(ctl_SignalGrid), presenter_->SignalGrid(), false);
}

void TMainWindow::SetCounters(int clients, int groups) {
    ::SetWindowTextW(Control(ctl_Clients), std::to_wstring(clients).c_str());
    ::SetWindowTextW(Control(ctl_Groups), std::to_wstring(groups).c_str());
}

void TMainWindow::ShowWindow(bool) {
    ::ShowWindow(hwnd_, ::IsIconic(hwnd_) ? SW_RESTORE : SW_SHOW);
    ::SetForegroundWindow(hwnd_);
    // One control has the keyboard's focus: the one that had it, else the list.
    if (!::IsChild(hwnd_, ::GetFocus())) FocusControl();
    ::UpdateWindow(hwnd_);
}

void TMainWindow::FocusControl() {
    HWND target = focus_ != nullptr && ::IsChild(hwnd_, focus_) && ::IsWindowEnabled(focus_)
                      ? focus_
                      : Control(ctl_DeviceList);
    ::SetFocus(target);
}

void TMainWindow::HideWindow() {
    ::ShowWindow(hwnd_, SW_HIDE);
}

void TMainWindow::BringToForeground() {
    ::SetForegroundWindow(hwnd_);
}

void TMainWindow::SetTrayIcon(bool present, const std::string& tip) {
    NOTIFYICONDATAW nid{};
    nid.cbSize = sizeof nid;
    nid.hWnd = hwnd_;
    nid.uID = kTrayIconId;
    if (!present) {
        if (trayAdded_) ::Shell_NotifyIconW(NIM_DELETE, &nid);
        trayAdded_ = false;
        return;
    }
    if (!tip.empty()) tip_ = Wide(tip);
    nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    nid.uCallbackMessage = kTrayMessage;
    nid.hIcon = trayAlert_ ? ::LoadIconW(nullptr, IDI_WARNING)
                           : (smallIcon_ != nullptr ? smallIcon_ : icon_);
    lstrcpynW(nid.szTip, tip_.c_str(), static_cast<int>(std::size(nid.szTip)));
    // After a restart of the shell the icon is gone: add it again.
    if (!::Shell_NotifyIconW(NIM_ADD, &nid)) ::Shell_NotifyIconW(NIM_MODIFY, &nid);
    trayAdded_ = true;
}

void TMainWindow::SetTrayMenu(bool restoreEnabled, bool hideEnabled) {
    restoreEnabled_ = restoreEnabled;
    hideEnabled_ = hideEnabled;
}

void TMainWindow::PopupTrayMenu() {
    HMENU menu = ::CreatePopupMenu();
    ::AppendMenuW(menu, MF_STRING | (restoreEnabled_ ? MF_ENABLED : MF_GRAYED), cmd_Restore,
                  MenuText(captions_.TrayRestore, L"Ctrl+R").c_str());
    ::AppendMenuW(menu, MF_STRING | (hideEnabled_ ? MF_ENABLED : MF_GRAYED), cmd_Hide,
                  MenuText(captions_.TrayHide, L"Ctrl+H").c_str());
    ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    ::AppendMenuW(menu, MF_STRING, cmd_Exit, MenuText(captions_.TrayExit, L"Alt+X").c_str());
    POINT pt;
    ::GetCursorPos(&pt);
    ::SetForegroundWindow(hwnd_);
    ::TrackPopupMenu(menu, TPM_RIGHTBUTTON | TPM_BOTTOMALIGN, pt.x, pt.y, 0, hwnd_, nullptr);
    ::PostMessageW(hwnd_, WM_NULL, 0, 0);
    ::DestroyMenu(menu);
}

void TMainWindow::ShowMessage(const std::string& text) {
    ::MessageBoxW(::IsWindowVisible(hwnd_) ? hwnd_ : nullptr, Wide(text).c_str(), L"Telegate",
                  MB_OK | MB_ICONINFORMATION);
}

void TMainWindow::ShowError(const std::string& text) {
    ::MessageBoxW(::IsWindowVisible(hwnd_) ? hwnd_ : nullptr, Wide(text).c_str(), L"Telegate",
                  MB_OK | MB_ICONERROR);
}

TAnswer TMainWindow::Ask(const std::string& text) {
    const int r = ::MessageBoxW(::IsWindowVisible(hwnd_) ? hwnd_ : nullptr, Wide(text).c_str(),
                                L"Telegate", MB_YESNOCANCEL | MB_ICONWARNING);
    return r == IDYES ? TAnswer::Yes : r == IDNO ? TAnswer::No : TAnswer::Cancel;
}

void TMainWindow::RunDeviceDialog(TDevicePropsPresenter& dialog) {
    TDeviceDialog window(font_.Dpi(), &exceptionSink_);
    window.Run(::IsWindowVisible(hwnd_) ? hwnd_ : nullptr, dialog);
}

void TMainWindow::OpenDocument(const std::string& path) {
    const auto r = reinterpret_cast<INT_PTR>(
        ::ShellExecuteW(hwnd_, L"open", Wide(path).c_str(), nullptr, nullptr, SW_SHOWMAXIMIZED));
    if (r <= 32) ShowError("Не удалось открыть документ " + path);
}

void TMainWindow::ShowAbout(const std::string& product, const std::string& version) {
    MSGBOXPARAMSW p{};
    p.cbSize = sizeof p;
    p.hwndOwner = ::IsWindowVisible(hwnd_) ? hwnd_ : nullptr;
    p.hInstance = ::GetModuleHandleW(nullptr);
    const std::wstring text = Wide(product + "\r\nВерсия " + version +
                                   "\r\n\r\nIEC 60870-5-104 master, OPC DA 2.0 server");
    p.lpszText = text.c_str();
    p.lpszCaption = L"About Telegate";
    p.dwStyle = MB_OK | MB_USERICON;
    p.lpszIcon = MAKEINTRESOURCEW(1);
    ::MessageBoxIndirectW(&p);
}

// ------------------------------------------------------------------ channels

void TMainWindow::SetChannelCount(int count) {
    leds_.assign(static_cast<size_t>(std::max(0, count)), TLedView{});
    for (int i = 0; i < count; ++i) leds_[static_cast<size_t>(i)].Channel = i + 1;
    if (channels_ != nullptr) ::InvalidateRect(channels_, nullptr, TRUE);
    UpdateLedTools();
}

void TMainWindow::UpdateLedTools() {
    if (ledTips_ == nullptr || channels_ == nullptr) return;
    const int want = static_cast<int>(leds_.size());
    for (int i = 0; i < std::max(want, ledTools_); ++i) {
        TOOLINFOW ti{};
        ti.cbSize = sizeof ti;
        ti.hwnd = channels_;
        ti.uId = static_cast<UINT_PTR>(i + 1);
        if (i >= want) {
            ::SendMessageW(ledTips_, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
            continue;
        }
        // The LED and its number; the text is asked for when the tip shows, so it
        // follows the station table and the link.
        ti.rect = LedRect(i);
        ti.rect.right += 3 * font_.CharWidth();
        ti.rect.top = 0;
        ti.rect.bottom = channelStripHeight_;
        if (i < ledTools_) {
            ::SendMessageW(ledTips_, TTM_NEWTOOLRECTW, 0, reinterpret_cast<LPARAM>(&ti));
            continue;
        }
        ti.uFlags = TTF_SUBCLASS;
        ti.lpszText = LPSTR_TEXTCALLBACKW;
        ::SendMessageW(ledTips_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
    }
    ledTools_ = want;
}

RECT TMainWindow::LedRect(int index) const {
    const int size = font_.Px(kLedSize);
    const int slot = size + 3 * font_.CharWidth();
    const int x = font_.Px(5) + index * slot;
    const int y = std::max(0, (channelStripHeight_ - size) / 2);
    return RECT{x, y, x + size, y + size};
}

void TMainWindow::PaintLed(const TLedView& led) {
    if (led.Channel < 1) return;
    if (static_cast<size_t>(led.Channel) > leds_.size())
        leds_.resize(static_cast<size_t>(led.Channel));
    leds_[static_cast<size_t>(led.Channel - 1)] = led;
    if (channels_ == nullptr) return;
    RECT r = LedRect(led.Channel - 1);
    ::InflateRect(&r, 1, 1);
    ::InvalidateRect(channels_, &r, TRUE);
}

void TMainWindow::PaintChannels(HWND hwnd) {
    PAINTSTRUCT ps;
    HDC dc = ::BeginPaint(hwnd, &ps);
    HGDIOBJ oldFont = ::SelectObject(dc, font_.Handle());
    ::SetBkMode(dc, TRANSPARENT);
    ::SetTextColor(dc, ::GetSysColor(COLOR_BTNTEXT));
    HPEN pen = ::CreatePen(PS_SOLID, 1, RGB(64, 64, 64));
    HGDIOBJ oldPen = ::SelectObject(dc, pen);
    for (size_t i = 0; i < leds_.size(); ++i) {
        const TLedView& led = leds_[i];
        if (led.Channel < 1) continue;
        const RECT r = LedRect(static_cast<int>(i));
        HBRUSH brush = ::CreateSolidBrush(static_cast<COLORREF>(led.Fill));
        HGDIOBJ oldBrush = ::SelectObject(dc, brush);
        ::Ellipse(dc, r.left, r.top, r.right, r.bottom);
        ::SelectObject(dc, oldBrush);
        ::DeleteObject(brush);
        const std::wstring n = std::to_wstring(led.Channel);
        RECT tr{r.right + font_.Px(3), 0, r.right + 3 * font_.CharWidth(), channelStripHeight_};
        ::DrawTextW(dc, n.c_str(), static_cast<int>(n.size()), &tr,
                    DT_LEFT | DT_VCENTER | DT_SINGLELINE);
    }
    ::SelectObject(dc, oldPen);
    ::DeleteObject(pen);
    ::SelectObject(dc, oldFont);
    ::EndPaint(hwnd, &ps);
}

LRESULT CALLBACK TMainWindow::ChannelsProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto* self = reinterpret_cast<TMainWindow*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self != nullptr && msg == WM_PAINT) {
        self->PaintChannels(hwnd);
        return 0;
    }
    if (self != nullptr && msg == WM_NOTIFY && self->presenter_ != nullptr) {
        auto* di = reinterpret_cast<NMTTDISPINFOW*>(lp);
        if (di->hdr.hwndFrom == self->ledTips_ && di->hdr.code == TTN_GETDISPINFOW) {
            self->tipBuffer_ = Wide(self->presenter_->LedTip(static_cast<int>(di->hdr.idFrom)));
            di->lpszText = self->tipBuffer_.data();
            di->hinst = nullptr;
            return 0;
        }
    }
    return ::DefWindowProcW(hwnd, msg, wp, lp);
}

// ------------------------------------------------------------------ messages

bool TMainWindow::TranslateShortcut(MSG& msg) {
    if (accel_ == nullptr || hwnd_ == nullptr) return false;
    if (msg.message != WM_KEYDOWN && msg.message != WM_SYSKEYDOWN) return false;
    if (msg.hwnd != hwnd_ && !::IsChild(hwnd_, msg.hwnd)) return false;
    if (!::IsWindowEnabled(hwnd_)) return false;
    if (::TranslateAcceleratorW(hwnd_, accel_, &msg) != 0) return true;
    // Tab and Shift+Tab move the focus through the controls, as in a dialog
    // (none of them wants the Tab key for itself).
    if (msg.message != WM_KEYDOWN || msg.wParam != VK_TAB) return false;
    HWND focus = ::GetFocus();
    if (!::IsChild(hwnd_, focus)) focus = nullptr;
    HWND next = ::GetNextDlgTabItem(hwnd_, focus, ::GetKeyState(VK_SHIFT) < 0);
    if (next != nullptr) ::SetFocus(next);
    return true;
}

int TMainWindow::SplitterAt(POINT pt) const {
    if (::PtInRect(&vSplit_, pt)) return 1;
    if (::PtInRect(&hSplit_, pt)) return 2;
    return 0;
}

void TMainWindow::OnCommand(int id) {
    TMainWindowPresenter& p = *presenter_;
    switch (id) {
        case cmd_Add:
            if (editEnabled_) p.OnAdd();
            break;
        case cmd_Change:
            if (editEnabled_) p.OnChange();
            break;
        case cmd_Delete:
            if (editEnabled_) p.OnDelete();
            break;
        case cmd_StartStop:
            p.OnStartStop();
            break;
        case cmd_Trace:
            p.OnTraceSwitch();
            break;
        case cmd_Register:
            p.OnRegister(true);
            break;
        case cmd_Unregister:
            p.OnRegister(false);
            break;
        case cmd_Help:
            p.OnHelp();
            break;
        case cmd_About:
            p.OnAbout();
            break;
        case cmd_Journal:
            p.OnJournal();
            break;
        case cmd_Statistics:
            if (!statistics_) statistics_ = std::make_unique<TStatisticsWindow>(p.Context());
            statistics_->Show(hwnd_, font_.Handle(), font_.Px(460), font_.Px(560),
                              p.Selected() + 1);
            break;
        case cmd_Restore:
            if (restoreEnabled_) p.OnRestore();
            break;
        case cmd_Hide:
            if (hideEnabled_) p.OnMinimize();
            break;
        case cmd_Exit:
            p.OnCloseRequest();
            break;
        default:
            break;
    }
}

LRESULT TMainWindow::OnNotify(NMHDR* hdr) {
    if (hdr->code == NM_CUSTOMDRAW &&
        (hdr->idFrom == ctl_SignalGrid || hdr->idFrom == ctl_MeasurementGrid)) {
        // Doubtful data in dark red on light red, a stopped run in grey.
        auto* cd = reinterpret_cast<NMLVCUSTOMDRAW*>(hdr);
        if (cd->nmcd.dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
        if (cd->nmcd.dwDrawStage != CDDS_ITEMPREPAINT) return CDRF_DODEFAULT;
        const TRowLook look = presenter_->RowLook(hdr->idFrom == ctl_MeasurementGrid,
                                                  static_cast<int>(cd->nmcd.dwItemSpec) + 1);
        if (look == TRowLook::Bad) {
            cd->clrText = RGB(160, 0, 0);
            cd->clrTextBk = RGB(255, 228, 228);
        } else if (look == TRowLook::Stopped) {
            cd->clrText = ::GetSysColor(COLOR_GRAYTEXT);
        }
        return CDRF_NEWFONT;
    }
    if (hdr->code == LVN_GETDISPINFOW &&
        (hdr->idFrom == ctl_SignalGrid || hdr->idFrom == ctl_MeasurementGrid)) {
        auto* di = reinterpret_cast<NMLVDISPINFOW*>(hdr);
        if ((di->item.mask & LVIF_TEXT) == 0 || di->item.cchTextMax <= 0) return 0;
        const TStringGrid& grid = hdr->idFrom == ctl_SignalGrid ? presenter_->SignalGrid()
                                                                : presenter_->MeasurementGrid();
        const int row = di->item.iItem + 1;
        cellBuffer_ =
            di->item.iSubItem == 0 ? std::to_wstring(row) : Wide(grid.Cell(di->item.iSubItem, row));
        lstrcpynW(di->item.pszText, cellBuffer_.c_str(), di->item.cchTextMax);
    }
    return 0;
}

LRESULT TMainWindow::Handle(UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == taskbarCreated_ && taskbarCreated_ != 0) {
        trayAdded_ = false;
        presenter_->OnTaskbarCreated();
        return 0;
    }
    if (msg == showRunningCopy_ && showRunningCopy_ != 0) {
        presenter_->OnRestore();
        if (::IsIconic(hwnd_)) ::ShowWindow(hwnd_, SW_RESTORE);
        BringToForeground();
        return 0;
    }
    switch (msg) {
        case WM_COMMAND:
            if (LOWORD(wp) == ctl_DeviceList) {
                if (HIWORD(wp) == LBN_SELCHANGE) {
                    presenter_->OnDeviceSelected(static_cast<int>(
                        ::SendMessageW(Control(ctl_DeviceList), LB_GETCURSEL, 0, 0)));
                    if (statistics_) statistics_->Follow(presenter_->Selected() + 1);
                }
                return 0;
            }
            OnCommand(LOWORD(wp));
            return 0;
        case WM_NOTIFY:
            return OnNotify(reinterpret_cast<NMHDR*>(lp));
        case kTrayMessage:
            // A left click opens the menu only once the double-click time has passed
            // without a second click: an open menu would swallow it.
            if (lp == WM_LBUTTONDOWN)
                ::SetTimer(hwnd_, kTrayClickTimer, ::GetDoubleClickTime(), nullptr);
            if (lp == WM_RBUTTONUP) presenter_->OnTrayLeftDown();
            if (lp == WM_LBUTTONDBLCLK) {
                ::KillTimer(hwnd_, kTrayClickTimer);
                presenter_->OnTrayDoubleClick();
            }
            return 0;
        case WM_TIMER:
            if (wp == kTrayClickTimer) {
                ::KillTimer(hwnd_, kTrayClickTimer);
                presenter_->OnTrayLeftDown();
                return 0;
            }
            break;
        case WM_SIZE:
            if (wp == SIZE_MINIMIZED) {
                presenter_->OnMinimize();
                return 0;
            }
            Layout();
            return 0;
        case WM_GETMINMAXINFO: {
            auto* mm = reinterpret_cast<MINMAXINFO*>(lp);
            mm->ptMinTrackSize = POINT{font_.Px(480), font_.Px(320)};
            return 0;
        }
        case WM_DPICHANGED: {
            font_.Create(HIWORD(wp));
            ApplyFont();
            const RECT* r = reinterpret_cast<const RECT*>(lp);
            ::SetWindowPos(hwnd_, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                           SWP_NOZORDER | SWP_NOACTIVATE);
            Layout();
            return 0;
        }
        case WM_SETCURSOR:
            if (reinterpret_cast<HWND>(wp) == hwnd_ && LOWORD(lp) == HTCLIENT) {
                POINT pt;
                ::GetCursorPos(&pt);
                ::ScreenToClient(hwnd_, &pt);
                const int s = SplitterAt(pt);
                if (s != 0) {
                    ::SetCursor(::LoadCursorW(nullptr, s == 1 ? IDC_SIZEWE : IDC_SIZENS));
                    return TRUE;
                }
            }
            break;
        case WM_LBUTTONDOWN: {
            POINT pt{static_cast<short>(LOWORD(lp)), static_cast<short>(HIWORD(lp))};
            dragging_ = SplitterAt(pt);
            if (dragging_ != 0) ::SetCapture(hwnd_);
            return 0;
        }
        case WM_MOUSEMOVE:
            if (dragging_ != 0) {
                RECT rc;
                ::GetClientRect(hwnd_, &rc);
                const int x = static_cast<short>(LOWORD(lp)), y = static_cast<short>(HIWORD(lp));
                if (dragging_ == 1 && rc.right > 0)
                    listFraction_ = std::clamp(static_cast<double>(x) / rc.right, 0.05, 0.8);
                if (dragging_ == 2) {
                    const double h = static_cast<double>(channelStripTop_ - vSplit_.top);
                    if (h > 0) gridFraction_ = std::clamp((y - vSplit_.top) / h, 0.1, 0.9);
                }
                Layout();
            }
            return 0;
        case WM_LBUTTONUP:
        case WM_CAPTURECHANGED:
            if (dragging_ != 0) {
                dragging_ = 0;
                if (msg == WM_LBUTTONUP) ::ReleaseCapture();
            }
            return 0;
        case WM_CLOSE:
            presenter_->OnCloseRequest();
            return 0;
        case WM_QUERYENDSESSION:
            return TRUE;  // nothing to ask: the session's end closes as the operator would
        case WM_ENDSESSION:
            // Windows may end the process once this returns: close now.
            if (wp != FALSE) presenter_->OnEndSession();
            return 0;
        case WM_ACTIVATE:
            // The focused control is kept while another window is active.
            if (LOWORD(wp) == WA_INACTIVE) {
                HWND f = ::GetFocus();
                if (f != nullptr && ::IsChild(hwnd_, f)) focus_ = f;
            }
            break;
        case WM_SETFOCUS:
            FocusControl();
            return 0;
        default:
            break;
    }
    return ::DefWindowProcW(hwnd_, msg, wp, lp);
}

void TMainWindow::SetTrayAlert(bool alert) {
    trayAlert_ = alert;
    if (trayAdded_) SetTrayIcon(true, {});
}

void TMainWindow::ShowBalloon(const std::string& title, const std::string& text) {
    if (!trayAdded_) return;
    NOTIFYICONDATAW nid{};
    nid.cbSize = sizeof nid;
    nid.hWnd = hwnd_;
    nid.uID = kTrayIconId;
    nid.uFlags = NIF_INFO;
    nid.dwInfoFlags = NIIF_INFO;
    lstrcpynW(nid.szInfoTitle, Wide(title).c_str(), static_cast<int>(std::size(nid.szInfoTitle)));
    lstrcpynW(nid.szInfo, Wide(text).c_str(), static_cast<int>(std::size(nid.szInfo)));
    ::Shell_NotifyIconW(NIM_MODIFY, &nid);
}

// ------------------------------------------------------------------ journal window

namespace {
constexpr int kJournalEdit = 1;
// Lines the window holds before it starts again from the presenter's last lines.
constexpr int kJournalWindowMax = 2000;

std::wstring JournalText(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) {
        text += l;
        text += "\r\n";
    }
    return Wide(text);
}
}  // namespace

void TMainWindow::ShowJournal(const std::vector<std::string>& lines) {
    if (journal_ == nullptr) {
        journal_ = ::CreateWindowExW(
            0, kJournalWindowClass, Wide(captions_.MenuJournal + " - Telegate").c_str(),
            WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, font_.Px(720), font_.Px(400), hwnd_,
            nullptr, ::GetModuleHandleW(nullptr), this);
        if (journal_ == nullptr) return;
        HWND edit = ::CreateWindowExW(
            WS_EX_CLIENTEDGE, L"EDIT", L"",
            WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | WS_TABSTOP | ES_MULTILINE |
                ES_READONLY | ES_AUTOVSCROLL | ES_AUTOHSCROLL,
            0, 0, 0, 0, journal_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kJournalEdit)),
            ::GetModuleHandleW(nullptr), nullptr);
        ::SendMessageW(edit, WM_SETFONT, reinterpret_cast<WPARAM>(font_.Handle()), TRUE);
        ::SendMessageW(edit, EM_SETLIMITTEXT, 0, 0);
        RECT rc{};
        ::GetClientRect(journal_, &rc);
        ::MoveWindow(edit, 0, 0, rc.right, rc.bottom, TRUE);
    }
    HWND edit = ::GetDlgItem(journal_, kJournalEdit);
    ::SetWindowTextW(edit, JournalText(lines).c_str());
    journalLines_ = static_cast<int>(lines.size());
    const int end = ::GetWindowTextLengthW(edit);
    ::SendMessageW(edit, EM_SETSEL, static_cast<WPARAM>(end), static_cast<LPARAM>(end));
    ::SendMessageW(edit, EM_SCROLLCARET, 0, 0);
    ::ShowWindow(journal_, SW_SHOWNORMAL);
    ::SetForegroundWindow(journal_);
    ::SetFocus(edit);
}

void TMainWindow::AppendJournal(const std::string& line) {
    if (journal_ == nullptr) return;
    if (journalLines_ >= kJournalWindowMax) {
        ShowJournal(presenter_->JournalLines());
        return;
    }
    HWND edit = ::GetDlgItem(journal_, kJournalEdit);
    // The operator's selection stays where it is; the new line goes to the end.
    DWORD selStart = 0, selEnd = 0;
    ::SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&selStart),
                   reinterpret_cast<LPARAM>(&selEnd));
    const int end = ::GetWindowTextLengthW(edit);
    const bool atEnd = selStart == selEnd && static_cast<int>(selEnd) == end;
    ::SendMessageW(edit, EM_SETSEL, static_cast<WPARAM>(end), static_cast<LPARAM>(end));
    ::SendMessageW(edit, EM_REPLACESEL, FALSE,
                   reinterpret_cast<LPARAM>((Wide(line) + L"\r\n").c_str()));
    if (!atEnd) ::SendMessageW(edit, EM_SETSEL, selStart, selEnd);
    ++journalLines_;
}

LRESULT CALLBACK TMainWindow::JournalProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    }
    auto* self = reinterpret_cast<TMainWindow*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    switch (msg) {
        case WM_SIZE:
            ::MoveWindow(::GetDlgItem(hwnd, kJournalEdit), 0, 0, LOWORD(lp), HIWORD(lp), TRUE);
            return 0;
        case WM_SETFOCUS:
            ::SetFocus(::GetDlgItem(hwnd, kJournalEdit));
            return 0;
        case WM_DESTROY:
            if (self != nullptr && self->journal_ == hwnd) self->journal_ = nullptr;
            return 0;
        default:
            break;
    }
    return ::DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT CALLBACK TMainWindow::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
        auto* self = static_cast<TMainWindow*>(cs->lpCreateParams);
        self->hwnd_ = hwnd;
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<TMainWindow*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self == nullptr || self->presenter_ == nullptr || msg == WM_NCCREATE)
        return ::DefWindowProcW(hwnd, msg, wp, lp);
    if (msg == WM_NCDESTROY) {
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        return ::DefWindowProcW(hwnd, msg, wp, lp);
    }
    return GuardedHandle(&self->exceptionSink_, [&] { return self->Handle(msg, wp, lp); });
}

}  // namespace telegate::win32ui
