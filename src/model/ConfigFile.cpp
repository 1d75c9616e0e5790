#include "model/ConfigFile.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <system_error>

#include "platform/AtomicFile.h"
#include "platform/Paths.h"
#include "support/CodePage.h"
#include "support/FileNames.h"
#include "support/Notifier.h"
#include "support/TextFields.h"
#include "support/TraceFiles.h"

namespace telegate {

namespace {

constexpr int kFieldsPerLine = 20;
constexpr int32_t kTsFlagWord = 8272;
constexpr int32_t kTiFlagWord = 8280;

enum TConfigKeyword { ck_Other, ck_KP, ck_PER, ck_TIM, ck_POPR, ck_OPROS, ck_TS, ck_TIT };

TConfigKeyword Classify(std::string_view word) {
    if (word == "KP") return ck_KP;
    if (word == "PER") return ck_PER;
    if (word == "TIM") return ck_TIM;
    if (word == "POPR") return ck_POPR;
    if (word == "OPROS") return ck_OPROS;
    if (word == "TS") return ck_TS;
    if (word == "TIT" || word == "TI") return ck_TIT;
    return ck_Other;
}

bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// An option value: anything that is not an integer gives 0.
int32_t LenientInt(const std::string& field) {
    try {
        return FieldToInt(field);
    } catch (const EConvertError&) {
        return 0;
    }
}

// At most this many problems are kept; the rest are only counted.
constexpr size_t kMaxProblems = 20;

// Applies line after line and keeps account of every line it could not take in:
// a rejected line (it ends the load), a station beyond 32 (it ends the load), tags
// beyond 7000 of a kind and tag or option lines before the first station line.
class TConfigLoader {
  public:
    TConfigLoader(TStationTable& table, std::string fileName)
        : table_(table), file_(std::move(fileName)), split_(kFieldsPerLine, ',') {
        table_.Kol_KP = 0;
        table_.LoadProblems.clear();
    }

    // lineNo counts from 1. False: stop reading. A field that must be a number and is
    // not one raises EConvertError naming the file, the line and the field.
    bool Line(std::string_view raw, int lineNo) {
        const std::string_view line = Trim(raw);
        if (line.empty() || line.front() == ';') return true;
        lineNo_ = lineNo;
        field_ = 0;
        split_.SplitString(line);
        try {
            return Apply();
        } catch (const EConvertError& e) {
            const std::string text = Where(true) + ": " + e.what() + kNotRead;
            Problem(text);
            Finish();
            throw EConvertError(text);
        }
    }

    // Closes the account of the last station.
    void Finish() {
        FlushExcess();
        if (dropped_ > 0)
            table_.LoadProblems.push_back(file_ + ": ещё замечаний: " + std::to_string(dropped_));
        dropped_ = 0;
    }

    // The file could not be read at all: the table is empty, not the file.
    void Unreadable() { Problem(file_ + ": файл не открывается для чтения"); }

  private:
    static constexpr const char* kNotRead = "; эта строка и все следующие не прочитаны";

    bool Apply() {
        const TConfigKeyword kw = Classify(split_.GetField(0));
        if (kw == ck_Other) return true;
        if (kw != ck_KP && Current() == nullptr) {
            Problem(Where(false) + ": строка " + split_.GetField(0) +
                    " до первой строки KP не прочитана");
            return true;
        }
        switch (kw) {
            case ck_KP:
                return Station();
            case ck_PER:
                Current()->PereschetTI = LenientInt(split_.GetField(1)) == 1;
                break;
            case ck_TIM:
                Current()->Time_To_OPC = LenientInt(split_.GetField(1)) == 1;
                break;
            case ck_POPR:
                Current()->Popravka_Time = LenientInt(split_.GetField(1));
                break;
            case ck_OPROS:
                Current()->OPROS_KP = LenientInt(split_.GetField(1));
                break;
            case ck_TS:
                Signal();
                break;
            case ck_TIT:
                Measurement();
                break;
            case ck_Other:
                break;
        }
        return true;
    }

    std::string Where(bool withField) const {
        std::string s = file_ + ", строка " + std::to_string(lineNo_);
        if (withField) s += ", поле " + std::to_string(field_);
        return s;
    }

    void Problem(std::string text) {
        if (table_.LoadProblems.size() < kMaxProblems)
            table_.LoadProblems.push_back(std::move(text));
        else
            ++dropped_;
    }

    T_KP* Current() { return table_.Kol_KP > 0 ? &table_.KP_arr[table_.Kol_KP] : nullptr; }

    // A field that must hold an integer: empty is an error too.
    int32_t Required(int ind) {
        field_ = ind;
        const std::string& f = split_.GetField(ind);
        if (f.empty()) throw EConvertError("'' is not a valid integer value");
        return FieldToInt(f);
    }
    int32_t Int(int ind) {
        field_ = ind;
        return FieldToInt(split_.GetField(ind));
    }
    double Real(int ind) {
        field_ = ind;
        return FieldToReal(split_.GetField(ind), '_');
    }

    bool Station() {
        if (table_.Kol_KP >= kMaxKP) {
            Problem(Where(false) + ": больше " + std::to_string(kMaxKP) + " КП" + kNotRead);
            return false;
        }
        const int32_t asdu = Required(1);
        Required(2);
        FlushExcess();
        ++table_.Kol_KP;
        T_KP& kp = table_.KP_arr[table_.Kol_KP];
        kp.ASDU_Adr = asdu;
        kp.NameKP = split_.GetField(3);
        kp.IP = split_.GetField(4);
        kp.Kol_TI = 0;
        kp.Kol_TS = 0;
        return true;
    }

    void Signal() {
        Required(1);
        Required(2);
        Required(5);
        const int32_t adrAsdu = Int(6);
        const int32_t adrIoa = Int(7);
        const int32_t adrAsduTu = Int(8);
        const int32_t adrIoaTu = Int(9);
        T_KP* kp = Current();
        if (kp->Kol_TS >= kMaxTagsOfKind) {
            Excess(excessTs_);
            return;
        }
        T_TS& ts = kp->TS_arr[++kp->Kol_TS];
        ts.NameTS = RemoveQuotes(split_.GetField(4));
        ts.AdrASDU = adrAsdu;
        ts.AdrIOA = adrIoa;
        ts.AdrASDU_TU = adrAsduTu;
        ts.AdrIOA_TU = adrIoaTu;
    }

    void Measurement() {
        Required(1);
        Required(2);
        Required(5);
        const int32_t adrAsdu = Int(6);
        const int32_t adrIoa = Int(7);
        const double engMin = Real(8);
        const double engMax = Real(9);
        for (int i = 10; i <= 13; ++i) Real(i);
        const double tmMin = Real(14);
        const double tmMax = Real(15);
        T_KP* kp = Current();
        if (kp->Kol_TI >= kMaxTagsOfKind) {
            Excess(excessTi_);
            return;
        }
        T_TI& ti = kp->TI_arr[++kp->Kol_TI];
        ti.NameTI = RemoveQuotes(split_.GetField(4));
        ti.AdrASDU = adrAsdu;
        ti.AdrIOA = adrIoa;
        ti.Min_Eng_Diap = engMin;
        ti.Max_Eng_Diap = engMax;
        ti.Min_TM_Diap = tmMin;
        ti.Max_TM_Diap = tmMax;
    }

    // Tag lines of one kind beyond the table's room in the current station.
    struct TExcess {
        int firstLine = 0;
        int count = 0;
    };
    void Excess(TExcess& e) {
        if (e.count++ == 0) e.firstLine = lineNo_;
    }
    void FlushExcess() {
        const T_KP* kp = Current();
        for (auto [e, kind] : {std::pair{&excessTs_, "ТС"}, std::pair{&excessTi_, "ТИТ"}}) {
            if (e->count == 0 || kp == nullptr) continue;
            Problem(file_ + ", строка " + std::to_string(e->firstLine) + ": у КП " + kp->NameKP +
                    " больше " + std::to_string(kMaxTagsOfKind) + " " + kind +
                    "; не прочитано строк: " + std::to_string(e->count));
            *e = TExcess{};
        }
    }

    TStationTable& table_;
    std::string file_;
    TSplitArray split_;
    int lineNo_ = 0;
    int field_ = 0;
    size_t dropped_ = 0;
    TExcess excessTs_, excessTi_;
};

void AppendInt(std::string& out, long long v) {
    char buf[24];
    out.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

}  // namespace

std::string FormatConfigText(const TStationTable& table) {
    const int count = std::clamp<int>(table.Kol_KP, 0, kMaxKP);
    std::string out;
    out.reserve(64 * 1024);
    out += ";kol,";
    AppendInt(out, table.Kol_KP);
    out += "\r\n";
    for (int n = 1; n <= count; ++n) {
        const T_KP& kp = table.KP_arr[n];
        std::string head;
        AppendInt(head, kp.ASDU_Adr);
        head += ",1,";
        head += kp.NameKP;
        head += ',';
        head += kp.IP;
        out += "KP," + head + "\r\n";
        out += ";PORT," + head + ',';
        AppendInt(out, kp.Port);
        out += "\r\n";
        out += kp.PereschetTI ? "PER,1\r\n" : "PER,0\r\n";
        out += kp.Time_To_OPC ? "TIM,1\r\n" : "TIM,0\r\n";
        out += "POPR,";
        AppendInt(out, kp.Popravka_Time);
        out += "\r\nOPROS,";
        AppendInt(out, kp.OPROS_KP);
        out += "\r\n";
        std::string station;  // ",<1000+n>,<ASDU_Adr>,,\""
        station += ',';
        AppendInt(station, TStationTable::StationId(n));
        station += ',';
        AppendInt(station, kp.ASDU_Adr);
        station += ",,\"";
        const int kolTs = std::clamp<int>(kp.Kol_TS, 0, kMaxTagsOfKind);
        for (int k = 1; k <= kolTs; ++k) {
            const T_TS& ts = kp.TS_arr[k];
            out += "TS" + station + ts.NameTS + "\",";
            AppendInt(out, kTsFlagWord);
            for (int32_t v : {ts.AdrASDU, ts.AdrIOA, ts.AdrASDU_TU, ts.AdrIOA_TU}) {
                out += ',';
                AppendInt(out, v);
            }
            out += ",0,0\r\n";
        }
        const int kolTi = std::clamp<int>(kp.Kol_TI, 0, kMaxTagsOfKind);
        for (int k = 1; k <= kolTi; ++k) {
            const T_TI& ti = kp.TI_arr[k];
            out += "TIT" + station + ti.NameTI + "\",";
            AppendInt(out, kTiFlagWord);
            out += ',';
            AppendInt(out, ti.AdrASDU);
            out += ',';
            AppendInt(out, ti.AdrIOA);
            const std::string eng =
                FormatRealGeneral(ti.Min_Eng_Diap) + ',' + FormatRealGeneral(ti.Max_Eng_Diap);
            for (int i = 0; i < 3; ++i) out += ',' + eng;
            out += ',' + FormatRealGeneral(ti.Min_TM_Diap) + ',' +
                   FormatRealGeneral(ti.Max_TM_Diap) + "\r\n";
        }
    }
    return out;
}

void WriteConfigFile(const std::string& givenName, const TStationTable& table) {
    const std::string FileName = FindOwnFile(givenName);
    if (!table.LoadProblems.empty())
        throw EConfigIncomplete(FileName +
                                " не перезаписан: конфигурация загружена не полностью (" +
                                table.LoadProblems.front() + ")");
    std::string why;
    if (!WriteFileAtomically(FileName, Utf8ToCp1251(FormatConfigText(table)), why))
        throw EInOutError(why);
}

void ReadConfigText(std::string_view text, TStationTable& table, const std::string& name) {
    TConfigLoader loader(table, name);
    int lineNo = 0;
    while (!text.empty()) {
        const size_t eol = text.find('\n');
        const std::string_view line = text.substr(0, eol);
        if (!loader.Line(line, ++lineNo)) break;
        if (eol == std::string_view::npos) break;
        text.remove_prefix(eol + 1);
    }
    loader.Finish();
}

void ReadConfigFile(const std::string& givenName, TStationTable& table, INotifier& notifier) {
    const std::string FileName = FindOwnFile(givenName);
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status st = fs::status(Utf8Path(FileName), ec);
    if (st.type() == fs::file_type::not_found) return;
    TConfigLoader loader(table, FileName);
    TTextFile file;
    if (st.type() == fs::file_type::directory || !file.Open(FileName, 'r')) {
        loader.Unreadable();
        notifier.ShowError("Чтение списка сигналов 000 Error");
        return;
    }
    std::string line;
    int lineNo = 0;
    while (file.ReadLine(line))
        if (!loader.Line(line, ++lineNo)) break;
    loader.Finish();
}

}  // namespace telegate
