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

// A field that must hold an integer: empty is an error too.
int32_t RequiredInt(const std::string& field) {
    if (field.empty()) throw EConvertError("'' is not a valid integer value");
    return FieldToInt(field);
}

// An option value: anything that is not an integer gives 0.
int32_t LenientInt(const std::string& field) {
    try {
        return FieldToInt(field);
    } catch (const EConvertError&) {
        return 0;
    }
}

double RealField(const TSplitArray& s, int ind) {
    return FieldToReal(s.GetField(ind), '_');
}

// Applies line after line; the caller feeds trimmed, non-comment lines.
class TConfigLoader {
  public:
    explicit TConfigLoader(TStationTable& table) : table_(table), split_(kFieldsPerLine, ',') {
        table_.Kol_KP = 0;
    }

    // False: stop reading.
    bool Line(std::string_view raw) {
        const std::string_view line = Trim(raw);
        if (line.empty() || line.front() == ';') return true;
        split_.SplitString(line);
        switch (Classify(split_.GetField(0))) {
            case ck_KP:
                return Station();
            case ck_PER:
                if (T_KP* kp = Current()) kp->PereschetTI = LenientInt(split_.GetField(1)) == 1;
                break;
            case ck_TIM:
                if (T_KP* kp = Current()) kp->Time_To_OPC = LenientInt(split_.GetField(1)) == 1;
                break;
            case ck_POPR:
                if (T_KP* kp = Current()) kp->Popravka_Time = LenientInt(split_.GetField(1));
                break;
            case ck_OPROS:
                if (T_KP* kp = Current()) kp->OPROS_KP = LenientInt(split_.GetField(1));
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

  private:
    T_KP* Current() { return table_.Kol_KP > 0 ? &table_.KP_arr[table_.Kol_KP] : nullptr; }

    bool Station() {
        if (table_.Kol_KP >= kMaxKP) return false;
        const int32_t asdu = RequiredInt(split_.GetField(1));
        RequiredInt(split_.GetField(2));
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
        RequiredInt(split_.GetField(1));
        RequiredInt(split_.GetField(2));
        RequiredInt(split_.GetField(5));
        const int32_t adrAsdu = FieldToInt(split_.GetField(6));
        const int32_t adrIoa = FieldToInt(split_.GetField(7));
        const int32_t adrAsduTu = FieldToInt(split_.GetField(8));
        const int32_t adrIoaTu = FieldToInt(split_.GetField(9));
        T_KP* kp = Current();
        if (kp == nullptr || kp->Kol_TS >= kMaxTagsOfKind) return;
        T_TS& ts = kp->TS_arr[++kp->Kol_TS];
        ts.NameTS = RemoveQuotes(split_.GetField(4));
        ts.AdrASDU = adrAsdu;
        ts.AdrIOA = adrIoa;
        ts.AdrASDU_TU = adrAsduTu;
        ts.AdrIOA_TU = adrIoaTu;
    }

    void Measurement() {
        RequiredInt(split_.GetField(1));
        RequiredInt(split_.GetField(2));
        RequiredInt(split_.GetField(5));
        const int32_t adrAsdu = FieldToInt(split_.GetField(6));
        const int32_t adrIoa = FieldToInt(split_.GetField(7));
        const double engMin = RealField(split_, 8);
        const double engMax = RealField(split_, 9);
        for (int i = 10; i <= 13; ++i) RealField(split_, i);
        const double tmMin = RealField(split_, 14);
        const double tmMax = RealField(split_, 15);
        T_KP* kp = Current();
        if (kp == nullptr || kp->Kol_TI >= kMaxTagsOfKind) return;
        T_TI& ti = kp->TI_arr[++kp->Kol_TI];
        ti.NameTI = RemoveQuotes(split_.GetField(4));
        ti.AdrASDU = adrAsdu;
        ti.AdrIOA = adrIoa;
        ti.Min_Eng_Diap = engMin;
        ti.Max_Eng_Diap = engMax;
        ti.Min_TM_Diap = tmMin;
        ti.Max_TM_Diap = tmMax;
    }

    TStationTable& table_;
    TSplitArray split_;
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
    std::string why;
    if (!WriteFileAtomically(FileName, Utf8ToCp1251(FormatConfigText(table)), why))
        throw EInOutError(why);
}

void ReadConfigText(std::string_view text, TStationTable& table) {
    TConfigLoader loader(table);
    while (!text.empty()) {
        const size_t eol = text.find('\n');
        const std::string_view line = text.substr(0, eol);
        if (!loader.Line(line)) return;
        if (eol == std::string_view::npos) break;
        text.remove_prefix(eol + 1);
    }
}

void ReadConfigFile(const std::string& givenName, TStationTable& table, INotifier& notifier) {
    const std::string FileName = FindOwnFile(givenName);
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status st = fs::status(Utf8Path(FileName), ec);
    if (st.type() == fs::file_type::not_found) return;
    TConfigLoader loader(table);
    TTextFile file;
    if (st.type() == fs::file_type::directory || !file.Open(FileName, 'r')) {
        notifier.ShowError("Чтение списка сигналов 000 Error");
        return;
    }
    std::string line;
    while (file.ReadLine(line))
        if (!loader.Line(line)) break;
}

}  // namespace telegate
