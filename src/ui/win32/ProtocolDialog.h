// The protocol parameter dialog ("Параметры протокола") as a modal Win32 window:
// two pages of numbered fields in their groups, OK, Cancel and the defaults.
// The presenter checks every field on OK and keeps the dialog open on a bad one.
#pragma once

#include <windows.h>

#include "ui/ProtocolParamsPresenter.h"
#include "ui/win32/Controls.h"

namespace telegate::win32ui {

constexpr const wchar_t* kProtocolDialogClass = L"TelegateProtocolDialog";

// Control identifiers: the field edits are prm_FirstField + TParamField.
constexpr int prm_Tabs = 501;
constexpr int prm_Defaults = 502;
constexpr int prm_ClockCheck = 503;
constexpr int prm_FirstField = 520;
constexpr int prm_FirstLabel = 560;
constexpr int prm_FirstGroup = 600;
constexpr int prm_FirstGroupCaption = 620;

class TProtocolDialog : public IProtocolParamsView {
  public:
    // sink: where exceptions of the dialog's message handlers go (may be null).
    TProtocolDialog(int dpi, const TExceptionSink* sink);
    ~TProtocolDialog() override;
    TProtocolDialog(const TProtocolDialog&) = delete;
    TProtocolDialog& operator=(const TProtocolDialog&) = delete;

    void Run(HWND owner, TProtocolParamsPresenter& presenter);

    // IProtocolParamsView
    void SetFieldText(TParamField field, const std::string& text) override;
    void SetFieldEnabled(TParamField field, bool enabled) override;
    void ShowError(const std::string& text, TParamField field) override;
    void EndDialog(bool ok) override;

  private:
    static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp);
    void CreateControls();
    void Layout();
    void ShowPage(int page);
    HWND Ctl(int id) const { return ::GetDlgItem(hwnd_, id); }

    HWND hwnd_ = nullptr;
    TProtocolParamsPresenter* presenter_ = nullptr;
    TUiFont font_;
    const TExceptionSink* sink_;
    bool done_ = false;
    bool settingText_ = false;
    int page_ = 0;
};

}  // namespace telegate::win32ui
