#include "ui/DevicePropsPresenter.h"

#include <algorithm>

#include "app/AppContext.h"
#include "support/TextFields.h"
#include "ui/ProtocolParamsPresenter.h"

namespace telegate {

namespace {

// Ranges of the spin controls.
constexpr int32_t kAsduMax = 65700;
constexpr int32_t kPeriodMax = 65000;
constexpr int32_t kWebPortMin = 80;
constexpr int32_t kWebPortMax = 65535;

// Texts a conversion may give that count as failures, as the checks always did.
constexpr int32_t kIntFailure = -1;
constexpr double kRealFailure = -123456789.0;

bool IsNumberColumn(TGridKind grid, int col) {
    if (grid == TGridKind::Signals) return col == 2 || col == 3 || col == 5 || col == 6;
    return col == 2 || col == 3 || (col >= 5 && col <= 8);
}

bool Converts(TGridKind grid, const std::string& text) {
    try {
        if (text.empty()) return false;
        if (grid == TGridKind::Signals) return FieldToInt(text) != kIntFailure;
        return FieldToReal(text, '.') != kRealFailure;
    } catch (const EConvertError&) {
        return false;
    }
}

// Cuts the last UTF-8 character.
std::string WithoutLastCharacter(const std::string& text) {
    if (text.empty()) return text;
    size_t end = text.size() - 1;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

}  // namespace

std::vector<std::pair<std::string, std::string>> DevicePropsCaptions(int lang) {
    const bool en = lang == kLangEnglish;
    auto pick = [en](const char* ru, const char* eng) { return std::string(en ? eng : ru); };
    return {
        {"", pick("Настройки КП", "Device properties")},
        {"Name_dev_e", pick("Имя устройства", "Name of device")},
        {"IP_e", pick("IP адрес", "IP-address")},
        {"Port_e", pick("Порт", "TCP port")},
        {"ASDU_Adr", pick("Адрес ASDU", "ASDU address")},
        {"CB_Pereschet",
         pick("Пересчитывать из физического значения в инженерное", "Recalculation from raw")},
        {"CB_Time_to_OPC",
         pick("Передавать по ОРС метки времени МЭК-104", "Pass timestamp iec-104 to OPC-clients")},
        {"SE_Time_Popravka", pick("Поправка времени", "Time amendment")},
        {"SE_Time_Popravka_unit", pick("час", "hour")},
        {"Period_opros", pick("периодический опрос", "Cicle ASDU 100")},
        {"Period_opros_unit", pick("мин.    (0 -нет)", "minutes (0 - no)")},
        {"CB_Save_Obmen_v_File",
         pick("Сохранять обмен в файл (Только для тестирования!)", "Save log files")},
        {"CB_UseWebServer", pick("Использовать WEB-сервер", "Use Web-Server")},
        {"SE_Port_WebServ", pick("Порт WEB-сервера", "Port Web-Server")},
        {"BitBtn1", pick("Дополнительно", "Advanced")},
        {"OKBtn", "OK"},
        {"CancelBtn", "Cancel"},
        {"PageTS", pick("Дискретные значения (Телесигналы)", "Discrete inputs/outputs")},
        {"PageTIT", pick("Аналоговые значения (Телеизмерения)", "Analog inputs")},
        {"AddRow", pick("Добавить переменную", "Add new tag")},
        {"DeleteRow", pick("Удалить переменную", "Delete selected tag")},
    };
}

std::string CheckGridCell(TGridKind grid, int col, const std::string& text) {
    if (!IsNumberColumn(grid, col)) return text;
    // A leading minus is let through so that a negative number can be typed.
    if (!text.empty() && text[0] == '-') return text;
    if (Converts(grid, text)) return text;
    return WithoutLastCharacter(text);
}

TDevicePropsPresenter::TDevicePropsPresenter(TDeviceForm& form, TSettings& settings, int lang,
                                             TCommit commit, std::string cnfPath)
    : form_(form),
      settings_(settings),
      lang_(lang),
      commit_(std::move(commit)),
      cnfPath_(std::move(cnfPath)) {}

void TDevicePropsPresenter::Attach(IDevicePropsView* view) {
    view_ = view;
    if (view_ == nullptr) return;
    view_->SetCaptions(DevicePropsCaptions(lang_));
    view_->ShowForm(form_);
}

void TDevicePropsPresenter::SetAsduAddress(int32_t v) {
    form_.ASDU_Adr = std::clamp(v, 0, kAsduMax);
}
void TDevicePropsPresenter::SetPeriod(int32_t v) {
    form_.Period_opros = std::clamp(v, 0, kPeriodMax);
}
void TDevicePropsPresenter::SetWebPort(int32_t v) {
    form_.SE_Port_WebServ = std::clamp(v, kWebPortMin, kWebPortMax);
}

void TDevicePropsPresenter::OnCellEdited(TGridKind grid, int col, int row,
                                         const std::string& text) {
    TStringGrid& g = Grid(grid);
    if (row < 1 || row >= g.RowCount() || col < 1 || col >= g.ColCount()) return;
    std::string kept = CheckGridCell(grid, col, text);
    const bool changed = kept != text;
    g.SetCell(col, row, std::move(kept));
    if (changed && view_ != nullptr) view_->SetCell(grid, col, row, g.Cell(col, row));
}

void TDevicePropsPresenter::OnAddRow(TGridKind grid) {
    TStringGrid& g = Grid(grid);
    if (g.RowCount() > kMaxTagsOfKind) return;  // a station holds at most 7000 tags of a kind
    g.SetRowCount(g.RowCount() + 1);
    if (view_ != nullptr) view_->ShowGrid(grid, g);
}

void TDevicePropsPresenter::OnDeleteRow(TGridKind grid, int row) {
    TStringGrid& g = Grid(grid);
    // The title row is not a tag: deleting it would turn the first tag into titles.
    if (row < 1 || row >= g.RowCount()) return;
    for (int r = row; r < g.RowCount() - 1; ++r)
        for (int c = 1; c < g.ColCount(); ++c) g.SetCell(c, r, g.Cell(c, r + 1));
    g.SetRowCount(g.RowCount() - 1);
    if (view_ != nullptr) view_->ShowGrid(grid, g);
}

void TDevicePropsPresenter::OnAdvanced() {
    TPrmn& rec = form_.Record;
    rec.Port = form_.Port_e;
    rec.Name = CutToPrmnText(form_.Name_dev_e);
    rec.Host = CutToPrmnText(form_.IP_e);
    rec.CommonAsduAddress = form_.ASDU_Adr;
    TProtocolParamsPresenter dialog(rec);
    if (view_ != nullptr) view_->RunProtocolDialog(dialog);
    if (dialog.Accepted()) {
        rec = dialog.Record();
        form_.Port_e = rec.Port;
        form_.IP_e = rec.Host;
        form_.Name_dev_e = rec.Name;
        form_.ASDU_Adr = std::clamp(rec.CommonAsduAddress, 0, kAsduMax);
    }
    rec.prWork1 = 1;
    if (view_ != nullptr) view_->ShowForm(form_);
}

bool TDevicePropsPresenter::OnOk() {
    std::string error;
    if (commit_ && !commit_(form_, error)) {
        // Nothing was stored; the operator's input stays in the dialog.
        if (view_ != nullptr) view_->ShowError(error);
        return false;
    }
    settings_.UseWebServer = form_.CB_UseWebServer;
    settings_.Port_WebServ = form_.SE_Port_WebServ;
    settings_.Save_Obmen_v_File = form_.CB_Save_Obmen_v_File;
    if (!settings_.WriteCnf(cnfPath_) && view_ != nullptr)
        view_->ShowError("Не удалось записать " + cnfPath_);
    accepted_ = true;
    if (view_ != nullptr) view_->EndDialog(true);
    return true;
}

void TDevicePropsPresenter::OnCancel() {
    accepted_ = false;
    if (view_ != nullptr) view_->EndDialog(false);
}

}  // namespace telegate
