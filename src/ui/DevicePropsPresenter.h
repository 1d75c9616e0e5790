// The device properties dialog ("Настройки КП"): one station's fields and its two
// tag grids. Cells are checked while the operator types, rows are added and
// deleted, "Дополнительно" opens the protocol parameters of the station's record,
// and OK hands the whole form to the station list, which stores it and writes
// the files; a failed write keeps the dialog open with what the operator typed.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "app/DeviceList.h"
#include "app/Settings.h"

namespace telegate {

class TProtocolParamsPresenter;

enum class TGridKind { Signals, Measurements };  // StringGrid_TS, StringGrid_TIT

// What the dialog window does for the presenter. Main thread.
class IDevicePropsView {
  public:
    virtual ~IDevicePropsView() = default;
    // Control captions by control name, and the dialog caption (key "").
    virtual void SetCaptions(const std::vector<std::pair<std::string, std::string>>& captions) = 0;
    // Every field and both grids from the form.
    virtual void ShowForm(const TDeviceForm& form) = 0;
    // One cell changed by the presenter (a refused character removed).
    virtual void SetCell(TGridKind grid, int col, int row, const std::string& text) = 0;
    // A grid's rows changed (added, deleted): show it again.
    virtual void ShowGrid(TGridKind grid, const TStringGrid& cells) = 0;
    // Runs the protocol parameter dialog modally; it ends through the presenter.
    virtual void RunProtocolDialog(TProtocolParamsPresenter& dialog) = 0;
    virtual void ShowError(const std::string& text) = 0;
    virtual void EndDialog(bool ok) = 0;
};

// Column captions and control labels of the dialog in a language (1: English).
std::vector<std::pair<std::string, std::string>> DevicePropsCaptions(int lang);

// The check while typing. Returns the text the cell keeps: unchanged when it is
// acceptable, else without its last character.
std::string CheckGridCell(TGridKind grid, int col, const std::string& text);

class TDevicePropsPresenter {
  public:
    // Stores the form on OK; false with the error text when nothing could be stored.
    using TCommit = std::function<bool(const TDeviceForm& form, std::string& error)>;

    // form: filled by the station list command; it lives as long as the window.
    TDevicePropsPresenter(TDeviceForm& form, TSettings& settings, int lang, TCommit commit,
                          std::string cnfPath = kCnfIniName);

    void Attach(IDevicePropsView* view);

    // Upper panel edits; spin values are kept within the controls' ranges.
    void SetName(std::string text) { form_.Name_dev_e = std::move(text); }
    void SetIP(std::string text) { form_.IP_e = std::move(text); }
    void SetPort(int32_t v) { form_.Port_e = v; }
    void SetAsduAddress(int32_t v);
    void SetPereschet(bool v) { form_.CB_Pereschet = v; }
    void SetTimeToOpc(bool v) { form_.CB_Time_to_OPC = v; }
    void SetTimeCorrection(int32_t v) { form_.SE_Time_Popravka = v; }
    void SetPeriod(int32_t v);
    void SetUseWebServer(bool v) { form_.CB_UseWebServer = v; }
    void SetWebPort(int32_t v);
    void SetSaveExchange(bool v) { form_.CB_Save_Obmen_v_File = v; }

    // The grid event after each edit of a cell.
    void OnCellEdited(TGridKind grid, int col, int row, const std::string& text);
    // "Добавить переменную" / "Удалить переменную" (row: the current row).
    void OnAddRow(TGridKind grid);
    void OnDeleteRow(TGridKind grid, int row);
    // "Дополнительно".
    void OnAdvanced();
    // OK: stores through the commit, then the three program settings of "cnf.ini".
    bool OnOk();
    void OnCancel();

    const TDeviceForm& Form() const { return form_; }
    bool Accepted() const { return accepted_; }

  private:
    TStringGrid& Grid(TGridKind grid) {
        return grid == TGridKind::Signals ? form_.StringGrid_TS : form_.StringGrid_TIT;
    }

    TDeviceForm& form_;
    TSettings& settings_;
    int lang_;
    TCommit commit_;
    std::string cnfPath_;
    IDevicePropsView* view_ = nullptr;
    bool accepted_ = false;
};

}  // namespace telegate
