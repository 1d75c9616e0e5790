// The device properties dialog ("Настройки КП") as a modal Win32 window: the
// station's fields, the two tag grids on two pages (virtual list views with an
// in-place cell editor that the presenter checks while the operator types), and
// "Дополнительно" opening the protocol parameter dialog.
#pragma once

#include <windows.h>

#include <string>

#include "ui/DevicePropsPresenter.h"
#include "ui/win32/Controls.h"

namespace telegate::win32ui {

constexpr const wchar_t* kDeviceDialogClass = L"TelegateDeviceDialog";

// Control identifiers (also used by the UI test).
enum TDeviceControl : int {
    dev_Name = 401,
    dev_IP,
    dev_Port,
    dev_Asdu,
    dev_Pereschet,
    dev_TimeToOpc,
    dev_TimeCorrection,
    dev_Period,
    dev_SaveExchange,
    dev_UseWeb,
    dev_WebPort,
    dev_Advanced,
    dev_Tabs,
    dev_GridTS,
    dev_GridTIT,
    dev_AddRow,
    dev_DeleteRow,
    dev_CellEditor,
    dev_BindWeb,
    dev_FirstLabel = 450,
};

class TDeviceDialog : public IDevicePropsView {
  public:
    // sink: where exceptions of the dialog's message handlers go (may be null).
    TDeviceDialog(int dpi, const TExceptionSink* sink);
    ~TDeviceDialog() override;
    TDeviceDialog(const TDeviceDialog&) = delete;
    TDeviceDialog& operator=(const TDeviceDialog&) = delete;

    // Shows the dialog modally until the presenter ends it.
    void Run(HWND owner, TDevicePropsPresenter& presenter);

    // IDevicePropsView
    void SetCaptions(const std::vector<std::pair<std::string, std::string>>& captions) override;
    void ShowForm(const TDeviceForm& form) override;
    void SetCell(TGridKind grid, int col, int row, const std::string& text) override;
    void ShowGrid(TGridKind grid, const TStringGrid& cells) override;
    void RunProtocolDialog(TProtocolParamsPresenter& dialog) override;
    void ShowError(const std::string& text) override;
    void EndDialog(bool ok) override;

  private:
    static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    static bool KeyFilter(void* self, MSG& msg);
    LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp);
    void CreateControls();
    void Layout();
    void ShowPage(int page);
    void ReadFields();
    HWND Grid(TGridKind grid) const;
    void BeginEdit(TGridKind grid, int item, int col);
    void EndEdit();
    LRESULT OnNotify(NMHDR* hdr);
    HWND Ctl(int id) const { return ::GetDlgItem(hwnd_, id); }

    HWND hwnd_ = nullptr;
    HWND owner_ = nullptr;
    TDevicePropsPresenter* presenter_ = nullptr;
    TUiFont font_;
    const TExceptionSink* sink_;
    bool done_ = false;
    bool settingText_ = false;
    int page_ = 0;
    // The cell the editor is open on.
    HWND editor_ = nullptr;
    TGridKind editGrid_ = TGridKind::Signals;
    int editRow_ = 0, editCol_ = 0;
    std::wstring cellBuffer_;
};

}  // namespace telegate::win32ui
