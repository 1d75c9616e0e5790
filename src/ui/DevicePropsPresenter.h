// The device properties dialog ("Настройки КП"): one station's fields and its two
// tag grids. Cells are checked while the operator types, rows are added and
// deleted, "Дополнительно" opens the protocol parameters of the station's record,
// and OK hands the whole form to the station list, which stores it and writes
// the files; a failed write keeps the dialog open with what the operator typed.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/DeviceList.h"
#include "app/Settings.h"

namespace telegate {

class TProtocolParamsPresenter;
class TStationTable;

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

// A station's IPv4 address in dotted form: exactly four decimal octets 0..255,
// without signs, spaces or leading zeros ("10.0.0.1"; not "010.0.0.1", "1.2.3").
bool IsIPv4Dotted(std::string_view text);
// A host name as the name system writes it: dot-separated labels of letters,
// digits and '-' (1..63 each, not starting or ending with '-'), 253 at most, and
// not only digits and dots (that is a mistyped address).
bool IsHostName(std::string_view text);
// A port typed as text: decimal digits only, 1..65535; -1 for anything else.
int32_t ParsePortText(std::string_view text);

// The most tags over all stations, and of one kind in one station.
constexpr int kMaxTagsTotal = 20000;

// What OK checks besides the cells: the other stations (for the total of tags),
// the station the form edits (0: a new one), and the name resolution (null: a
// host name is taken by its form alone).
struct TDeviceChecks {
    const TStationTable* Stations = nullptr;
    int Station = 0;
    std::function<bool(const std::string& host)> Resolves;
};

// The checks of OK on a form, in the order the operator sees the fields. Empty
// when it may be stored; else the message, naming the field (lang: 1 English).
// portText, webPortText: the port fields as typed (null: the form's numbers).
std::string CheckDeviceForm(const TDeviceForm& form, const std::string* portText,
                            const std::string* webPortText, const std::string& bindAddress,
                            const TDeviceChecks& checks, int lang);

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
    // The port fields as typed: checked at OK (a number 1..65535), stored then.
    void SetPortText(std::string text) { portText_ = std::move(text); }
    void SetWebPortText(std::string text) { webPortText_ = std::move(text); }
    // The address the web server listens on (empty: every address).
    void SetBindAddress(std::string text) { bind_ = std::move(text); }
    const std::string& BindAddress() const { return bind_; }
    void SetChecks(TDeviceChecks checks) { checks_ = std::move(checks); }
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
    std::optional<std::string> portText_, webPortText_;
    std::string bind_;
    TDeviceChecks checks_;
};

}  // namespace telegate
