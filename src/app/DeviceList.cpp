#include "app/DeviceList.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>

#include "app/AppContext.h"
#include "model/ConfigFile.h"
#include "platform/AtomicFile.h"
#include "support/TextFields.h"

namespace telegate {

const char* const kTooManyStationsText = "Эта программа работает только с 32 IP адресами.";
const char* const kDeleteQuestionText = "Вы действительно хотите удалить устройтво из списка?";
const char* const kPollingRunsText = "Остановите опрос, чтобы изменить список устройств.";

namespace {

// Column titles of the form's grids, Russian and English ("Mах": Latin M, Cyrillic ах).
constexpr std::array<const char*, 6> kTsTitlesRu = {
    "Имя", "Адрес ASDU", "Адрес IOA", "Комментарий", "Адр. ASDU для ТУ", "Адр. IOA для ТУ"};
constexpr std::array<const char*, 6> kTsTitlesEn = {
    "Name", "ASDU Addr", "IOA Addr", "Comment", "Addr ASDU for write", "Addr IOA for write"};
constexpr std::array<const char*, 8> kTitTitlesRu = {"Имя",
                                                     "Адрес ASDU",
                                                     "Адрес IOA",
                                                     "Комментарий",
                                                     "Min физич. диапазона",
                                                     "Mах физич. диапазона",
                                                     "Min инжен. диапазона",
                                                     "Mах инжен. диапазона"};
constexpr std::array<const char*, 8> kTitTitlesEn = {
    "Name",          "ASDU Addr",     "IOA Addr",      "Comment",
    "Min raw range", "Mах raw range", "Min eng range", "Mах eng range"};
constexpr int kClearedRows = 19;

std::optional<std::string> ReadFileBytes(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// What a command may change in memory, taken before it changes anything.
class TUndo {
  public:
    TUndo(TAppContext& ctx, int record)
        : ctx_(ctx),
          count_(ctx.Stations.Kol_KP),
          record_(record),
          prmn_(ctx.Prmn),
          useWeb_(ctx.Settings.UseWebServer),
          webPort_(ctx.Settings.Port_WebServ) {
        if (record_ >= 1 && record_ <= kKPRecords)
            kp_ = std::make_unique<T_KP>(ctx.Stations.KP_arr[record_]);
    }
    void Restore() {
        ctx_.Stations.Kol_KP = count_;
        if (kp_ != nullptr) ctx_.Stations.KP_arr[record_] = *kp_;
        ctx_.Prmn = prmn_;
        ctx_.Settings.UseWebServer = useWeb_;
        ctx_.Settings.Port_WebServ = webPort_;
    }

  private:
    TAppContext& ctx_;
    int32_t count_;
    int record_;
    std::unique_ptr<T_KP> kp_;
    TPrmnTable prmn_;
    bool useWeb_;
    int32_t webPort_;
};

}  // namespace

void TStringGrid::SetRowCount(int rows) {
    cells_.resize(static_cast<size_t>(rows < 0 ? 0 : rows),
                  std::vector<std::string>(static_cast<size_t>(cols_)));
}

const std::string& TStringGrid::Cell(int col, int row) const {
    if (row < 0 || row >= RowCount() || col < 0 || col >= cols_) return empty_;
    return cells_[static_cast<size_t>(row)][static_cast<size_t>(col)];
}

void TStringGrid::SetCell(int col, int row, std::string text) {
    if (row < 0 || row >= RowCount() || col < 0 || col >= cols_) return;
    cells_[static_cast<size_t>(row)][static_cast<size_t>(col)] = std::move(text);
}

void TStringGrid::ClearRow(int row) {
    for (int c = 0; c < cols_; ++c) SetCell(c, row, {});
}

int32_t GridCellToInt(const std::string& text) {
    try {
        return FieldToInt(text);
    } catch (const EConvertError&) {
        return 0;
    }
}

double GridCellToReal(const std::string& text) {
    try {
        return FieldToReal(text, '.');
    } catch (const EConvertError&) {
        return 0.0;
    }
}

TDeviceList::TDeviceList(TAppContext& ctx, std::string dir) : ctx_(ctx), dir_(std::move(dir)) {}

bool TDeviceList::CanEdit() const {
    return !ctx_.OprosFlag;
}

std::string TDeviceList::FilePath(const char* name) const {
    return dir_.empty() ? std::string(name) : (std::filesystem::path(dir_) / name).string();
}

std::vector<std::string> TDeviceList::Names() const {
    std::vector<std::string> names;
    for (int n = 1; n <= ctx_.Stations.Kol_KP && n <= kMaxKP; ++n)
        names.push_back(ctx_.Stations.KP_arr[n].NameKP);
    return names;
}

void TDeviceList::BeforeShowOptionsUstr(int n, TDeviceForm& form, int lang) const {
    const bool en = lang == kLangEnglish;
    TStringGrid& ts = form.StringGrid_TS;
    TStringGrid& ti = form.StringGrid_TIT;
    // 1. Titles, and rows 1..19 cleared.
    if (ts.RowCount() < 1) ts.SetRowCount(1);
    if (ti.RowCount() < 1) ti.SetRowCount(1);
    for (int c = 1; c < kTsGridCols; ++c) ts.SetCell(c, 0, (en ? kTsTitlesEn : kTsTitlesRu)[c - 1]);
    for (int c = 1; c < kTitGridCols; ++c)
        ti.SetCell(c, 0, (en ? kTitTitlesEn : kTitTitlesRu)[c - 1]);
    for (int r = 1; r <= kClearedRows; ++r) {
        ts.ClearRow(r);
        ti.ClearRow(r);
    }
    if (!ctx_.Stations.IsStation(n)) {
        // 2. A new station.
        form.Name_dev_e = "IEC104_" + std::to_string(n);
        form.IP_e = kDefaultHost;
        form.Port_e = kDefaultIecPort;
        ts.SetRowCount(kNewGridRows);
        ti.SetRowCount(kNewGridRows);
        for (int r = 1; r < kNewGridRows; ++r) {
            ts.ClearRow(r);
            ti.ClearRow(r);
        }
        return;
    }
    // 3. An existing station.
    const T_KP& kp = ctx_.Stations.KP_arr[n];
    const int nts = std::clamp(kp.Kol_TS, 0, kMaxTagsOfKind);
    const int nti = std::clamp(kp.Kol_TI, 0, kMaxTagsOfKind);
    ts.SetRowCount(nts + 1);
    ti.SetRowCount(nti + 1);
    form.Name_dev_e = kp.NameKP;
    form.IP_e = kp.IP;
    form.CB_Pereschet = kp.PereschetTI;
    form.CB_Time_to_OPC = kp.Time_To_OPC;
    form.SE_Time_Popravka = kp.Popravka_Time;
    form.Period_opros = kp.OPROS_KP;
    form.Port_e = ctx_.Prmn[static_cast<size_t>(n - 1)].Port;
    form.ASDU_Adr = kp.ASDU_Adr;
    form.CB_UseWebServer = ctx_.Settings.UseWebServer;
    form.SE_Port_WebServ = ctx_.Settings.Port_WebServ;
    form.CB_Save_Obmen_v_File = ctx_.Settings.Save_Obmen_v_File;
    for (int k = 1; k <= nts; ++k) {
        const T_TS& t = kp.TS_arr[k];
        ts.SetCell(1, k, t.NameTS);
        ts.SetCell(2, k, std::to_string(t.AdrASDU));
        ts.SetCell(3, k, std::to_string(t.AdrIOA));
        ts.SetCell(4, k, {});
        ts.SetCell(5, k, std::to_string(t.AdrASDU_TU));
        ts.SetCell(6, k, std::to_string(t.AdrIOA_TU));
    }
    for (int k = 1; k <= nti; ++k) {
        const T_TI& t = kp.TI_arr[k];
        ti.SetCell(1, k, t.NameTI);
        ti.SetCell(2, k, std::to_string(t.AdrASDU));
        ti.SetCell(3, k, std::to_string(t.AdrIOA));
        ti.SetCell(4, k, {});
        ti.SetCell(5, k, FormatRealGeneral(t.Min_TM_Diap));
        ti.SetCell(6, k, FormatRealGeneral(t.Max_TM_Diap));
        ti.SetCell(7, k, FormatRealGeneral(t.Min_Eng_Diap));
        ti.SetCell(8, k, FormatRealGeneral(t.Max_Eng_Diap));
    }
}

void TDeviceList::LoadRecords() {
    // A damaged or missing file leaves the records in memory as they are.
    auto table = std::make_unique<TPrmnTable>(ctx_.Prmn);
    if (ReadWritePrmnFile(pfm_Read, FilePath(kPrmnFileName), *table, kPrmnCount))
        ctx_.Prmn = *table;
}

bool TDeviceList::BeginAdd(TDeviceForm& form, int lang, std::string& refusal) {
    refusal.clear();
    if (ctx_.Stations.Kol_KP >= kMaxKP) {
        refusal = kTooManyStationsText;
        return false;
    }
    if (!CanEdit()) {
        refusal = kPollingRunsText;
        return false;
    }
    LoadRecords();
    const int n = ctx_.Stations.Kol_KP + 1;
    form.ASDU_Adr = 1;
    BeforeShowOptionsUstr(n, form, lang);
    // The new station's record starts from the defaults; it belongs to no station
    // until OK, so the form keeps it.
    form.Nomer_cl = n - 1;
    form.Record = ctx_.Prmn[static_cast<size_t>(n - 1)];
    SetDefaultPrmn(form.Record, kDefaultHost, kDefaultIecPort);
    form.CB_Save_Obmen_v_File = ctx_.Settings.Save_Obmen_v_File;
    form.CB_UseWebServer = ctx_.Settings.UseWebServer;
    // The web port is the program's, as "cnf.ini" holds it, not the form's default.
    form.SE_Port_WebServ = ctx_.Settings.Port_WebServ;
    return true;
}

bool TDeviceList::BeginChange(int n, TDeviceForm& form, int lang, std::string& refusal) {
    refusal.clear();
    if (!ctx_.Stations.IsStation(n)) return false;
    if (!CanEdit()) {
        refusal = kPollingRunsText;
        return false;
    }
    LoadRecords();
    BeforeShowOptionsUstr(n, form, lang);
    form.Nomer_cl = n - 1;
    form.Record = ctx_.Prmn[static_cast<size_t>(n - 1)];
    return true;
}

void TDeviceList::StoreForm(int n, const TDeviceForm& form, bool change) {
    T_KP& kp = ctx_.Stations.KP_arr[n];
    TPrmn& rec = ctx_.Prmn[static_cast<size_t>(n - 1)];
    kp.Kol_TS = 0;
    kp.Kol_TI = 0;
    // The protocol parameters edited in the form, then the form's own fields.
    rec = form.Record;
    kp.NameKP = form.Name_dev_e;
    kp.IP = form.IP_e;
    kp.Port = form.Port_e;
    rec.CommonAsduAddress = form.ASDU_Adr;
    rec.Port = form.Port_e;
    rec.Host = CutToPrmnText(form.IP_e);
    kp.ASDU_Adr = form.ASDU_Adr;
    rec.prWork1 = 1;
    if (change) rec.LinkAddress1 = kp.ASDU_Adr;
    kp.PereschetTI = form.CB_Pereschet;
    kp.OPROS_KP = form.Period_opros;
    kp.Time_To_OPC = form.CB_Time_to_OPC;
    kp.Popravka_Time = form.SE_Time_Popravka;
    ctx_.Settings.UseWebServer = form.CB_UseWebServer;
    ctx_.Settings.Port_WebServ = form.SE_Port_WebServ;
    // Every configured station takes part in polling.
    for (int k = 0; k < ctx_.Stations.Kol_KP && k < kPrmnCount; ++k)
        ctx_.Prmn[static_cast<size_t>(k)].prWork1 = 1;

    const TStringGrid& ts = form.StringGrid_TS;
    for (int r = 1; r < ts.RowCount() && kp.Kol_TS < kMaxTagsOfKind; ++r) {
        if (ts.Cell(1, r).empty()) continue;
        T_TS& t = kp.TS_arr[++kp.Kol_TS];
        t = T_TS{};
        t.NomerKP = n;
        t.NameKP = kp.NameKP;
        t.NameTS = ts.Cell(1, r);
        t.AdrASDU = GridCellToInt(ts.Cell(2, r));
        t.AdrIOA = GridCellToInt(ts.Cell(3, r));
        t.AdrASDU_TU = GridCellToInt(ts.Cell(5, r));
        t.AdrIOA_TU = GridCellToInt(ts.Cell(6, r));
    }
    const TStringGrid& ti = form.StringGrid_TIT;
    for (int r = 1; r < ti.RowCount() && kp.Kol_TI < kMaxTagsOfKind; ++r) {
        if (ti.Cell(1, r).empty()) continue;
        T_TI& t = kp.TI_arr[++kp.Kol_TI];
        t = T_TI{};
        t.NomerKP = n;
        t.NameKP = kp.NameKP;
        t.NameTI = ti.Cell(1, r);
        t.AdrASDU = GridCellToInt(ti.Cell(2, r));
        t.AdrIOA = GridCellToInt(ti.Cell(3, r));
        t.Min_TM_Diap = GridCellToReal(ti.Cell(5, r));
        t.Max_TM_Diap = GridCellToReal(ti.Cell(6, r));
        t.Min_Eng_Diap = GridCellToReal(ti.Cell(7, r));
        t.Max_Eng_Diap = GridCellToReal(ti.Cell(8, r));
    }
}

bool TDeviceList::CommitAdd(const TDeviceForm& form, std::string& error) {
    error.clear();
    if (ctx_.Stations.Kol_KP >= kMaxKP) {
        error = kTooManyStationsText;
        return false;
    }
    if (!CanEdit()) {
        error = kPollingRunsText;
        return false;
    }
    const int n = ctx_.Stations.Kol_KP + 1;
    TUndo undo(ctx_, n);
    ctx_.Stations.Kol_KP = n;
    StoreForm(n, form, false);
    if (WriteFiles(error)) return true;
    undo.Restore();
    return false;
}

bool TDeviceList::CommitChange(int n, const TDeviceForm& form, std::string& error) {
    error.clear();
    if (!ctx_.Stations.IsStation(n)) {
        error = "Нет устройства " + std::to_string(n);
        return false;
    }
    if (!CanEdit()) {
        error = kPollingRunsText;
        return false;
    }
    TUndo undo(ctx_, n);
    StoreForm(n, form, true);
    if (WriteFiles(error)) return true;
    undo.Restore();
    return false;
}

bool TDeviceList::Delete(int n, std::string& error) {
    error.clear();
    if (!ctx_.Stations.IsStation(n)) {
        error = "Нет устройства " + std::to_string(n);
        return false;
    }
    if (!CanEdit()) {
        error = kPollingRunsText;
        return false;
    }
    LoadRecords();
    TUndo undo(ctx_, n);
    const int last = ctx_.Stations.Kol_KP;
    ctx_.Stations.DeleteStation(n);
    if (last - 1 >= 0 && last - 1 < kPrmnCount)
        ctx_.Prmn[static_cast<size_t>(n - 1)] = ctx_.Prmn[static_cast<size_t>(last - 1)];
    // The moved station's tags now belong to station n.
    T_KP& kp = ctx_.Stations.KP_arr[n];
    if (n != last) {
        for (int k = 1; k <= kp.Kol_TS && k <= kMaxTagsOfKind; ++k) kp.TS_arr[k].NomerKP = n;
        for (int k = 1; k <= kp.Kol_TI && k <= kMaxTagsOfKind; ++k) kp.TI_arr[k].NomerKP = n;
    }
    if (WriteFiles(error)) return true;
    undo.Restore();
    return false;
}

bool TDeviceList::WriteFiles(std::string& error) {
    error.clear();
    const std::string cfg = FilePath(kConfigFileName);
    const std::string bin = FilePath(kPrmnFileName);
    const std::optional<std::string> oldCfg = ReadFileBytes(cfg);
    try {
        WriteConfigFile(cfg, ctx_.Stations);
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
    std::string message;
    if (ReadWritePrmnFile(pfm_Write, bin, ctx_.Prmn, ctx_.Stations.Kol_KP, &message)) return true;
    error = message.empty() ? std::string("Ошибка записи ") + kPrmnFileName : message;
    // Put the first file back as it was, so that the two files still belong together.
    std::string restoreError;
    if (oldCfg.has_value()) {
        if (!WriteFileAtomically(cfg, *oldCfg, restoreError)) error += "; " + restoreError;
    } else {
        std::error_code ec;
        std::filesystem::remove(cfg, ec);
    }
    return false;
}

}  // namespace telegate
