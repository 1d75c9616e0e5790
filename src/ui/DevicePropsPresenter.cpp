#include "ui/DevicePropsPresenter.h"

#include <algorithm>

#include "app/AppContext.h"
#include "model/StationTable.h"
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

bool IsIPv4Dotted(std::string_view text) {
    int parts = 0;
    size_t i = 0;
    while (true) {
        size_t digits = 0;
        int value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 4) {
            value = value * 10 + (text[i] - '0');
            ++digits;
            ++i;
        }
        if (digits == 0 || digits > 3 || value > 255) return false;
        if (digits > 1 && text[i - digits] == '0') return false;  // no leading zeros
        ++parts;
        if (i == text.size()) return parts == 4;
        if (text[i] != '.' || parts == 4) return false;
        ++i;
    }
}

bool IsHostName(std::string_view text) {
    if (text.empty() || text.size() > 253) return false;
    if (text.find_first_not_of("0123456789.") == std::string_view::npos) return false;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('.', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view label = text.substr(start, end - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return false;
        for (char c : label) {
            const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                            (c >= '0' && c <= '9') || c == '-';
            if (!ok) return false;
        }
        start = end + 1;
        if (end == text.size()) break;
    }
    return true;
}

int32_t ParsePortText(std::string_view text) {
    if (text.empty() || text.size() > 5) return -1;
    int32_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    return v >= 1 && v <= 65535 ? v : -1;
}

namespace {

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Named rows of a grid (the rows that are stored), and the first two of them at
// one address: rows a and b, or a = 0.
struct TGridTally {
    int named = 0;
    int a = 0, b = 0;
};

TGridTally Tally(const TStringGrid& grid) {
    TGridTally t;
    std::vector<std::pair<std::pair<int32_t, int32_t>, int>> seen;
    for (int r = 1; r < grid.RowCount(); ++r) {
        if (grid.Cell(1, r).empty()) continue;
        ++t.named;
        seen.push_back({{GridCellToInt(grid.Cell(2, r)), GridCellToInt(grid.Cell(3, r))}, r});
    }
    std::sort(seen.begin(), seen.end());
    for (size_t i = 1; i < seen.size() && t.a == 0; ++i)
        if (seen[i].first == seen[i - 1].first) {
            t.a = seen[i - 1].second;
            t.b = seen[i].second;
        }
    return t;
}

}  // namespace

std::string CheckDeviceForm(const TDeviceForm& form, const std::string* portText,
                            const std::string* webPortText, const std::string& bindAddress,
                            const TDeviceChecks& checks, int lang) {
    const bool en = lang == kLangEnglish;
    const auto captions = DevicePropsCaptions(lang);
    auto field = [&](const char* key) {
        for (const auto& [k, v] : captions)
            if (k == key) return "\"" + v + "\": ";
        return std::string();
    };
    auto pick = [en](const char* ru, const char* eng) { return std::string(en ? eng : ru); };

    const std::string host = Trimmed(form.IP_e);
    if (!IsIPv4Dotted(host)) {
        if (host.empty() || !IsHostName(host))
            return field("IP_e") +
                   pick("нужен адрес IPv4 (четыре числа 0–255 через точку) или имя узла, а не \"",
                        "an IPv4 address (four numbers 0-255 with dots) or a host name is "
                        "needed, not \"") +
                   form.IP_e + "\"";
        if (checks.Resolves && !checks.Resolves(host))
            return field("IP_e") + pick("имя узла \"", "host name \"") + host +
                   pick("\" не находится", "\" cannot be resolved");
    }
    const int32_t port = portText != nullptr ? ParsePortText(Trimmed(*portText)) : form.Port_e;
    if (port < 1 || port > 65535)
        return field("Port_e") + pick("нужно число от 1 до 65535", "a number 1..65535 is needed");
    if (webPortText != nullptr && ParsePortText(Trimmed(*webPortText)) < 0)
        return field("SE_Port_WebServ") +
               pick("нужно число от 1 до 65535", "a number 1..65535 is needed");
    const std::string bind = Trimmed(bindAddress);
    if (!bind.empty() && !IsIPv4Dotted(bind))
        return field("Bind_WebServ") +
               pick("пусто (все адреса) или адрес IPv4, а не \"",
                    "empty (every address) or an IPv4 address, not \"") +
               bindAddress + "\"";

    const TGridTally ts = Tally(form.StringGrid_TS);
    const TGridTally ti = Tally(form.StringGrid_TIT);
    const std::pair<const TGridTally*, const char*> kinds[] = {{&ts, "PageTS"}, {&ti, "PageTIT"}};
    for (const auto& [t, page] : kinds) {
        const TStringGrid& g = t == &ts ? form.StringGrid_TS : form.StringGrid_TIT;
        if (t->a != 0)
            return field(page) + pick("строки ", "rows ") + std::to_string(t->a) +
                   pick(" и ", " and ") + std::to_string(t->b) +
                   pick(" с одним адресом ", " share the address ") +
                   std::to_string(GridCellToInt(g.Cell(2, t->a))) + "," +
                   std::to_string(GridCellToInt(g.Cell(3, t->a)));
        if (t->named > kMaxTagsOfKind)
            return field(page) + std::to_string(t->named) +
                   pick(" тегов, а у КП их может быть не больше ",
                        " tags; a station holds at most ") +
                   std::to_string(kMaxTagsOfKind);
    }
    if (checks.Stations != nullptr) {
        int total = ts.named + ti.named;
        const TStationTable& st = *checks.Stations;
        for (int n = 1; n <= st.Kol_KP && n <= kMaxKP; ++n)
            if (n != checks.Station)
                total += std::max(0, st.KP_arr[n].Kol_TS) + std::max(0, st.KP_arr[n].Kol_TI);
        if (total > kMaxTagsTotal)
            return pick("Всего тегов во всех КП было бы ", "All stations together would have ") +
                   std::to_string(total) + pick(", а их может быть не больше ", " tags; at most ") +
                   std::to_string(kMaxTagsTotal);
    }
    return {};
}

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
        {"CB_Save_Obmen_v_File", pick("Сохранять обмен в файл (Только для тестирования!)",
                                      "Save exchange to log files (for testing only!)")},
        {"CB_UseWebServer", pick("Использовать WEB-сервер", "Use Web-Server")},
        {"SE_Port_WebServ", pick("Порт WEB-сервера", "Port Web-Server")},
        {"Bind_WebServ", pick("Адрес WEB-сервера", "Web-Server address")},
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
      cnfPath_(std::move(cnfPath)),
      bind_(settings.Bind_WebServ) {}

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
        portText_.reset();  // the port field shows the record's port again
    }
    rec.prWork1 = 1;
    if (view_ != nullptr) view_->ShowForm(form_);
}

bool TDevicePropsPresenter::OnOk() {
    std::string error =
        CheckDeviceForm(form_, portText_ ? &*portText_ : nullptr,
                        webPortText_ ? &*webPortText_ : nullptr, bind_, checks_, lang_);
    if (!error.empty()) {
        // The dialog stays open with what the operator typed.
        if (view_ != nullptr) view_->ShowError(error);
        return false;
    }
    if (portText_) form_.Port_e = ParsePortText(Trimmed(*portText_));
    if (webPortText_) form_.SE_Port_WebServ = ParsePortText(Trimmed(*webPortText_));
    form_.IP_e = Trimmed(form_.IP_e);
    if (commit_ && !commit_(form_, error)) {
        // Nothing was stored; the operator's input stays in the dialog.
        if (view_ != nullptr) view_->ShowError(error);
        return false;
    }
    settings_.UseWebServer = form_.CB_UseWebServer;
    settings_.Port_WebServ = form_.SE_Port_WebServ;
    settings_.Save_Obmen_v_File = form_.CB_Save_Obmen_v_File;
    settings_.Bind_WebServ = Trimmed(bind_);
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
