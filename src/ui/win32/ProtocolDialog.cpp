#include "ui/win32/ProtocolDialog.h"

#include <commctrl.h>

#include <algorithm>
#include <vector>

namespace telegate::win32ui {

namespace {

struct TGroup {
    int Page;
    int Column;
    const wchar_t* Caption;  // empty: no frame
    std::vector<TParamField> Fields;
};

const std::vector<TGroup>& Groups() {
    static const std::vector<TGroup> kGroups = {
        {0, 0, L"", {pf_DevName}},
        {0, 0, L"TCT/IP Parameters", {pf_Host, pf_Port}},
        {0, 0, L"Window Sizes", {pf_k, pf_w}},
        {0, 1, L"Timeouts (sec)", {pf_t0, pf_t1, pf_t2, pf_t3}},
        {0, 1, L"Connection Retries", {pf_RetryCount, pf_RetryTimeout}},
        {1, 0, L"Applications Timeouts", {pf_ConfirmationTimeout, pf_TerminationTimeout}},
        {1, 0, L"Field Sizes", {pf_SzAsduAddress, pf_SzInfObjAddress, pf_SzCOT, pf_SzLinkAddress}},
        {1, 1, L"", {pf_CommonAsduAddress, pf_OriginatorAddress, pf_ReceiveBufferLength}},
        {1, 1, L"Clock Sinhronization", {pf_ClockSinhronizationTime}},
    };
    return kGroups;
}

}  // namespace

TProtocolDialog::TProtocolDialog(int dpi, const TExceptionSink* sink) : sink_(sink) {
    font_.Create(dpi);
}

TProtocolDialog::~TProtocolDialog() {
    if (hwnd_ != nullptr) ::DestroyWindow(hwnd_);
}

void TProtocolDialog::Run(HWND owner, TProtocolParamsPresenter& presenter) {
    presenter_ = &presenter;
    HINSTANCE inst = ::GetModuleHandleW(nullptr);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &TProtocolDialog::WndProc;
    wc.hInstance = inst;
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kProtocolDialogClass;
    ::RegisterClassExW(&wc);
    const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
    hwnd_ = ::CreateWindowExW(WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT, kProtocolDialogClass,
                              Wide(TProtocolParamsPresenter::kCaption).c_str(), style, 0, 0, 100,
                              100, owner, nullptr, inst, this);
    if (hwnd_ == nullptr) return;
    CreateControls();
    const int cw = font_.CharWidth(), line = font_.LineHeight();
    RECT r{0, 0, 80 * cw, 24 * line};
    ::AdjustWindowRectEx(&r, style, FALSE, WS_EX_DLGMODALFRAME);
    CenterWindow(hwnd_, owner, r.right - r.left, r.bottom - r.top);
    Layout();
    presenter.Attach(this);
    ShowPage(0);
    RunModal(hwnd_, owner, done_);
    presenter.Attach(nullptr);
    ::DestroyWindow(hwnd_);
    hwnd_ = nullptr;
}

void TProtocolDialog::CreateControls() {
    const HFONT f = font_.Handle();
    HWND tabs = MakeControl(hwnd_, WC_TABCONTROLW, L"", WS_TABSTOP | WS_CLIPSIBLINGS, prm_Tabs, f);
    const wchar_t* pages[] = {L"Communication Parameters", L"870 Protocol"};
    for (int i = 0; i < 2; ++i) {
        TCITEMW item{};
        item.mask = TCIF_TEXT;
        item.pszText = const_cast<wchar_t*>(pages[i]);
        ::SendMessageW(tabs, TCM_INSERTITEMW, static_cast<WPARAM>(i),
                       reinterpret_cast<LPARAM>(&item));
    }
    const auto& groups = Groups();
    for (size_t g = 0; g < groups.size(); ++g) {
        // A group is a caption followed by an etched line; nothing overlaps.
        MakeControl(hwnd_, L"STATIC", L"", SS_ETCHEDHORZ, prm_FirstGroup + static_cast<int>(g), f);
        MakeControl(hwnd_, L"STATIC", groups[g].Caption, SS_LEFT,
                    prm_FirstGroupCaption + static_cast<int>(g), f);
        for (TParamField field : groups[g].Fields) {
            if (field == pf_ClockSinhronizationTime) {
                MakeControl(hwnd_, L"BUTTON", Wide(ParamFieldCaption(field)),
                            WS_TABSTOP | BS_AUTOCHECKBOX, prm_ClockCheck, f);
                MakeControl(hwnd_, L"STATIC", L"min", SS_LEFT | SS_CENTERIMAGE,
                            prm_FirstLabel + field, f);
            } else {
                MakeControl(hwnd_, L"STATIC", Wide(ParamFieldCaption(field)),
                            SS_LEFT | SS_CENTERIMAGE, prm_FirstLabel + field, f);
            }
            MakeControl(hwnd_, L"EDIT", L"", WS_TABSTOP | ES_AUTOHSCROLL, prm_FirstField + field, f,
                        WS_EX_CLIENTEDGE);
        }
    }
    MakeControl(hwnd_, L"BUTTON", L"OK", WS_TABSTOP | BS_DEFPUSHBUTTON, IDOK, f);
    MakeControl(hwnd_, L"BUTTON", L"Cancel", WS_TABSTOP | BS_PUSHBUTTON, IDCANCEL, f);
    MakeControl(hwnd_, L"BUTTON", L"Параметры по умолчанию", WS_TABSTOP | BS_PUSHBUTTON,
                prm_Defaults, f);
}

void TProtocolDialog::Layout() {
    RECT rc;
    ::GetClientRect(hwnd_, &rc);
    const int cw = font_.CharWidth(), line = font_.LineHeight();
    const int m = line / 2 + 2, h = line + font_.Px(8), gap = h + font_.Px(4);
    const int bottomY = rc.bottom - m - h;
    ::MoveWindow(Ctl(prm_Tabs), m, m, rc.right - 2 * m, bottomY - 2 * m, TRUE);
    RECT page{m, m, rc.right - m, bottomY - m};
    ::SendMessageW(Ctl(prm_Tabs), TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&page));
    const int colW = (page.right - page.left - 3 * m) / 2;
    const int labelW = colW * 3 / 5;
    int y[2][2] = {{page.top + m, page.top + m}, {page.top + m, page.top + m}};
    const auto& groups = Groups();
    for (size_t g = 0; g < groups.size(); ++g) {
        const TGroup& grp = groups[g];
        const int x = page.left + m + grp.Column * (colW + m);
        int& gy = y[grp.Page][grp.Column];
        const bool framed = grp.Caption[0] != L'\0';
        const int top = gy;
        int fy = gy + (framed ? line + font_.Px(2) : 0);
        for (TParamField field : grp.Fields) {
            const int inner = x + (framed ? m : 0);
            const int innerW = colW - (framed ? 2 * m : 0);
            if (field == pf_ClockSinhronizationTime) {
                const int checkW = innerW / 2;
                const int editW = innerW / 4;
                ::MoveWindow(Ctl(prm_ClockCheck), inner, fy, checkW, h, TRUE);
                ::MoveWindow(Ctl(prm_FirstField + field), inner + checkW, fy, editW, h, TRUE);
                ::MoveWindow(Ctl(prm_FirstLabel + field), inner + checkW + editW + m / 2, fy,
                             innerW - checkW - editW - m / 2, h, TRUE);
            } else {
                ::MoveWindow(Ctl(prm_FirstLabel + field), inner, fy, labelW - (framed ? m : 0), h,
                             TRUE);
                ::MoveWindow(Ctl(prm_FirstField + field), x + labelW, fy,
                             colW - labelW - (framed ? m : 0), h, TRUE);
            }
            fy += gap;
        }
        const int bottom = fy + (framed ? m / 2 : 0);
        HWND caption = Ctl(prm_FirstGroupCaption + static_cast<int>(g));
        const int captionW = framed ? font_.TextWidth(caption, grp.Caption) + cw / 2 : 0;
        ::MoveWindow(caption, x, top, captionW, line, TRUE);
        ::MoveWindow(Ctl(prm_FirstGroup + static_cast<int>(g)), x + captionW + cw / 2,
                     top + line / 2, framed ? colW - captionW - cw / 2 : 0, 2, TRUE);
        gy = bottom + m;
    }
    const int btnW = 12 * cw;
    const int defW = std::max(btnW, font_.TextWidth(hwnd_, L"Параметры по умолчанию") + 3 * cw);
    ::MoveWindow(Ctl(prm_Defaults), m, bottomY, defW, h, TRUE);
    ::MoveWindow(Ctl(IDCANCEL), rc.right - m - btnW, bottomY, btnW, h, TRUE);
    ::MoveWindow(Ctl(IDOK), rc.right - 2 * (m + btnW), bottomY, btnW, h, TRUE);
}

void TProtocolDialog::ShowPage(int page) {
    page_ = page;
    ::SendMessageW(Ctl(prm_Tabs), TCM_SETCURSEL, static_cast<WPARAM>(page), 0);
    const auto& groups = Groups();
    for (size_t g = 0; g < groups.size(); ++g) {
        const int show = groups[g].Page == page ? SW_SHOW : SW_HIDE;
        const bool framed = groups[g].Caption[0] != L'\0';
        for (int id :
             {prm_FirstGroup + static_cast<int>(g), prm_FirstGroupCaption + static_cast<int>(g)}) {
            ::ShowWindow(Ctl(id), framed ? show : SW_HIDE);
            ::SetWindowPos(Ctl(id), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
        }
        for (TParamField field : groups[g].Fields) {
            for (int id : {prm_FirstLabel + field, prm_FirstField + field}) {
                ::ShowWindow(Ctl(id), show);
                ::SetWindowPos(Ctl(id), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
            }
            if (field == pf_ClockSinhronizationTime) {
                ::ShowWindow(Ctl(prm_ClockCheck), show);
                ::SetWindowPos(Ctl(prm_ClockCheck), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
            }
        }
    }
}

void TProtocolDialog::SetFieldText(TParamField field, const std::string& text) {
    settingText_ = true;
    SetText(Ctl(prm_FirstField + field), text);
    settingText_ = false;
}

void TProtocolDialog::SetFieldEnabled(TParamField field, bool enabled) {
    ::EnableWindow(Ctl(prm_FirstField + field), enabled);
}

void TProtocolDialog::ShowError(const std::string& text, TParamField field) {
    ::MessageBoxW(hwnd_, Wide(text).c_str(), Wide(TProtocolParamsPresenter::kCaption).c_str(),
                  MB_OK | MB_ICONERROR);
    // The page of the refused field, and the field itself.
    for (const TGroup& g : Groups())
        for (TParamField f : g.Fields)
            if (f == field && g.Page != page_) ShowPage(g.Page);
    HWND edit = Ctl(prm_FirstField + field);
    ::SetFocus(edit);
    ::SendMessageW(edit, EM_SETSEL, 0, -1);
}

void TProtocolDialog::EndDialog(bool) {
    done_ = true;
}

LRESULT TProtocolDialog::Handle(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_COMMAND: {
            const int id = LOWORD(wp);
            if (id >= prm_FirstField && id < prm_FirstField + pf_Count) {
                if (HIWORD(wp) == EN_CHANGE && !settingText_)
                    presenter_->OnFieldEdited(static_cast<TParamField>(id - prm_FirstField),
                                              GetText(reinterpret_cast<HWND>(lp)));
                return 0;
            }
            if (id == IDOK) presenter_->OnOk();
            if (id == IDCANCEL) presenter_->OnCancel();
            if (id == prm_Defaults) presenter_->OnDefaults();
            return 0;
        }
        case WM_NOTIFY: {
            auto* hdr = reinterpret_cast<NMHDR*>(lp);
            if (hdr->idFrom == prm_Tabs && hdr->code == TCN_SELCHANGE)
                ShowPage(static_cast<int>(::SendMessageW(Ctl(prm_Tabs), TCM_GETCURSEL, 0, 0)));
            return 0;
        }
        case WM_DPICHANGED: {
            // Moved to a screen of another scale: the font for the new DPI, the
            // size the system suggests, the controls laid out again.
            ApplyDpiChange(hwnd_, font_, wp, lp);
            Layout();
            return 0;
        }
        case WM_CLOSE:
            presenter_->OnCancel();
            return 0;
        default:
            return ::DefWindowProcW(hwnd_, msg, wp, lp);
    }
}

LRESULT CALLBACK TProtocolDialog::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
        static_cast<TProtocolDialog*>(cs->lpCreateParams)->hwnd_ = hwnd;
    }
    auto* self = reinterpret_cast<TProtocolDialog*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self == nullptr || self->presenter_ == nullptr || msg == WM_NCCREATE || msg == WM_NCDESTROY)
        return ::DefWindowProcW(hwnd, msg, wp, lp);
    return GuardedHandle(self->sink_, [&] { return self->Handle(msg, wp, lp); });
}

}  // namespace telegate::win32ui
