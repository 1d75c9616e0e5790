#include "web/WebPages.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "iec104/ClientList.h"
#include "model/Registries.h"
#include "model/StationTable.h"
#include "model/Tags.h"
#include "support/CodePage.h"
#include "support/TextFields.h"

namespace telegate {

namespace {

void Line(std::string& out, std::string_view text) {
    out += text;
    out += "\r\n";
}

void AppendInt(std::string& out, long long value) {
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, res.ptr);
}

void AppendTwo(std::string& out, int value) {
    out += static_cast<char>('0' + (value / 10) % 10);
    out += static_cast<char>('0' + value % 10);
}

// Text of a table cell or an option label: the markup characters are escaped so
// that a name cannot break the page.
void AppendHtml(std::string& out, std::string_view text) {
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
}

// An option value is written unquoted, as the page always did; a name that an
// unquoted attribute cannot carry whole (blanks, quotes, markup) is quoted.
void AppendOptionValue(std::string& out, std::string_view name) {
    const bool plain = !name.empty() && std::none_of(name.begin(), name.end(), [](char c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '"' ||
               c == '\'' || c == '=' || c == '<' || c == '>' || c == '`' || c == '&';
    });
    if (plain) {
        out += name;
        return;
    }
    out += '"';
    AppendHtml(out, name);
    out += '"';
}

void CellStart(std::string& out) {
    out += "<td>";
}
void CellEnd(std::string& out) {
    out += "</td>";
}
void IntCell(std::string& out, long long value) {
    CellStart(out);
    AppendInt(out, value);
    CellEnd(out);
}
void TextCell(std::string& out, std::string_view text) {
    CellStart(out);
    AppendHtml(out, text);
    CellEnd(out);
}
void RealCell(std::string& out, double value) {
    CellStart(out);
    AppendGeneralReal(out, value);
    CellEnd(out);
}

void RowStart(std::string& out, long long r) {
    out += (r % 2 != 0) ? "<tr class=\"even\" >" : "<tr class=\"odd\" >";
}

int StationCount(const TStationTable& st) {
    return std::clamp<int>(st.Kol_KP, 0, kMaxKP);
}

constexpr std::string_view kNoConnection = "Нет соединения";

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

void AppendGeneralReal(std::string& out, double value) {
    AppendRealGeneral(out, value);
}

std::string FormatGeneralReal(double value) {
    std::string out;
    AppendGeneralReal(out, value);
    return out;
}

void AppendWebDateTime(std::string& out, TDateTime value) {
    const TDateTimeParts p = DecodeDateTime(value);
    AppendTwo(out, p.day);
    out += '.';
    AppendTwo(out, p.month);
    out += '.';
    if (p.year >= 0 && p.year < 1000) out.append(p.year < 10 ? 3 : p.year < 100 ? 2 : 1, '0');
    AppendInt(out, p.year);
    out += ' ';
    AppendTwo(out, p.hour);
    out += ':';
    AppendTwo(out, p.minute);
    out += ':';
    AppendTwo(out, p.second);
    out += '.';
    out += static_cast<char>('0' + (p.msec / 100) % 10);
    AppendTwo(out, p.msec % 100);
}

bool DecodeUrlText(std::string_view in, bool plusIsBlank, std::string& out) {
    out.clear();
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        const char c = in[i];
        if (c == '%') {
            if (i + 2 >= in.size()) return false;
            const int hi = HexDigit(in[i + 1]);
            const int lo = HexDigit(in[i + 2]);
            if (hi < 0 || lo < 0) return false;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else if (c == '+' && plusIsBlank) {
            out += ' ';
        } else {
            out += c;
        }
    }
    if (!IsValidUtf8(out)) out = Cp1251ToUtf8(out);
    return true;
}

std::string DecodeQuery(std::string_view rawQuery) {
    std::string out;
    if (!DecodeUrlText(rawQuery, true, out)) return std::string(rawQuery);
    return out;
}

bool IsGeneratedPage(std::string_view path) {
    return path == "/" || path == "/titek.php" || path == "/tstek.php" || path == "/reg.php" ||
           path == "/config.php" || path == "/arch.php";
}

void AddPageHeader(std::string_view path, std::string& out) {
    Line(out, "<!DOCTYPE html>");
    Line(out, "<html lang=\"ru\">");
    Line(out, "<head>");
    const bool ti = path == "/" || path == "/titek.php";
    if (ti) {
        Line(out, "<title>Текущие телеизмерения. Web-интерфейс ОРС-сервера.</title>");
    } else if (path == "/tstek.php") {
        Line(out, "<title>Текущие телесигналы. Web-интерфейс ОРС-сервера.</title>");
    } else if (path == "/reg.php") {
        Line(out, "<title>Журнал событий. Web-интерфейс ОРС-сервера.</title>");
    } else if (path == "/config.php") {
        Line(out, "<title>Конфигурация ОРС-сервера.</title>");
    } else if (path == "/arch.php") {
        Line(out, "<title>Архив измерений. Web-интерфейс ОРС-сервера.</title>");
    } else if (path == "/stations.php") {
        Line(out, "<title>Статистика связи с КП. Web-интерфейс ОРС-сервера.</title>");
    } else if (path == "/monitor.php") {
        Line(out, "<title>Монитор обмена. Web-интерфейс ОРС-сервера.</title>");
    }
    Line(out, "<meta charset=\"Windows-1251\">");
    Line(out, "<link rel=\"stylesheet\" href=\"css/reset.css\" type=\"text/css\" media=\"all\">");
    Line(out, "<link rel=\"stylesheet\" href=\"css/grid.css\" type=\"text/css\" media=\"all\">");
    Line(out, "<link rel=\"stylesheet\" href=\"css/style.css\" type=\"text/css\" media=\"all\">");
    Line(out, "<!--[if lt IE 7]>");
    Line(out,
         "<link rel=\"stylesheet\" href=\"css/ie/ie6.css\" type=\"text/css\" media=\"screen\">");
    Line(out, "<![endif]-->");
    Line(out, "<!--[if lt IE 9]>");
    Line(out, "<script type=\"text/javascript\" src=\"js/html5.js\"></script>");
    Line(out, "<![endif]-->");
    Line(out, "</head>");
    Line(out, "");
    Line(out, "<body id=\"page2\">");
    Line(out, "<!-- header -->");
    Line(out, "<header>");
    Line(out, "<div class=\"container_12\">");
    Line(out, "<!-- .logo -->");
    Line(out, "<div class=\"logo\">");
    Line(out, "<h1><a href=\"titek.php\">Telegate</a></h1>");
    Line(out, "<span>Текущие данные и конфигурация</span>");
    Line(out, "</div>");
    Line(out, "<!-- /.logo -->");
    Line(out, "<a href=\"#\" class=\"rss\"> </a>");
    Line(out, "<nav>");
    Line(out, "<ul>");
    Line(out, ti ? "<li><a href=\"titek.php\" class=\"current\">Телеизмерения</a></li>"
                 : "<li><a href=\"titek.php\">Телеизмерения</a></li>");
    Line(out, path == "/tstek.php"
                  ? "<li><a href=\"tstek.php\" class=\"current\">Телесигналы</a></li>"
                  : "<li><a href=\"tstek.php\">Телесигналы</a></li>");
    Line(out, path == "/config.php"
                  ? "<li><a href=\"config.php\" class=\"current\">Конфигурация</a></li>"
                  : "<li><a href=\"config.php\">Конфигурация</a></li>");
    Line(out, path == "/stations.php"
                  ? "<li><a href=\"stations.php\" class=\"current\">Статистика</a></li>"
                  : "<li><a href=\"stations.php\">Статистика</a></li>");
    Line(out, "<li><a href=\"help.html\">Помощь</a></li>");
    Line(out, "<li><a href=\"index-7.html\">О программе</a></li>");
    Line(out, "</ul>");
    Line(out, "</nav>");
    Line(out, "</div>");
    Line(out, "</header>");
    Line(out, "<section id=\"main-banner\">");
    Line(out, "<div class=\"container_12\">");
    Line(out, "<!-- .banner -->");
}

namespace {

// The stations' records and, once polling was started, their clients' parameters.
void CopyStations(const TWebView& view, TWebPageData& data) {
    const TStationTable& st = view.Stations;
    const int count = StationCount(st);
    data.HaveClients = view.Clients != nullptr;
    data.Stations.resize(static_cast<size_t>(count));
    for (int n = 1; n <= count; ++n) {
        const T_KP& kp = st.KP_arr[n];
        TWebPageData::TStation& s = data.Stations[static_cast<size_t>(n - 1)];
        s.NameKP = kp.NameKP;
        s.IP = kp.IP;
        s.ASDU_Adr = kp.ASDU_Adr;
        s.Kol_TI = kp.Kol_TI;
        s.Kol_TS = kp.Kol_TS;
        s.Popravka_Time = kp.Popravka_Time;
        s.Connected = kp.Connected;
        s.PereschetTI = kp.PereschetTI;
        s.Time_To_OPC = kp.Time_To_OPC;
        const T104Client* client = view.Clients != nullptr ? view.Clients->GetPcl(n - 1) : nullptr;
        // A station added after the clients were made has no parameters to show.
        if (client == nullptr) continue;
        const TPrmn& prm = client->prm;
        s.HasParams = true;
        s.Params = {prm.Port,
                    prm.t0,
                    prm.t1,
                    prm.t2,
                    prm.t3,
                    prm.kMax,
                    prm.wMax,
                    prm.OriginatorAddress,
                    prm.LinkAddress1,
                    prm.sz_LinkAddress,
                    prm.PollingCycle,
                    prm.ConfirmationTimeout,
                    prm.TerminationTimeout,
                    prm.RetryCount,
                    prm.RetryTimeOut,
                    prm.CommonAsduAddress,
                    prm.sz_ASDUAddress,
                    prm.sz_InfObjAddress,
                    prm.sz_COT};
    }
}

// The last station whose name the query carries ("p_ti=" or "p_ts=" + name), or 0.
int SelectedStation(const TWebPageData& data, std::string_view query) {
    int selected = 0;
    for (size_t i = 0; i < data.Stations.size(); ++i) {
        const std::string& name = data.Stations[i].NameKP;
        if (query.size() != 5 + name.size() || query.substr(5) != name) continue;
        if (query.starts_with("p_ti=") || query.starts_with("p_ts="))
            selected = static_cast<int>(i + 1);
    }
    return selected;
}

// The rows of the measurement ("ti") or signal table, with the live values.
void CopyRows(const TWebView& view, bool ti, TWebPageData& data) {
    if (view.Tags == nullptr || view.Arm == nullptr) return;
    const std::string_view query = data.Query;
    const bool all = query.empty() || query == "p_ti=all";
    const bool limited = query.empty();
    const int selected = SelectedStation(data, query);
    const int count = static_cast<int>(data.Stations.size());
    const SignalType wanted = ti ? stTIT : stTS;
    const auto& tags = view.Tags->List;
    data.Rows.reserve(limited ? std::min<size_t>(tags.size(), kWebRowLimit) : tags.size());
    long long r = 0;
    for (const TTagSignal& tag : tags) {
        const TArmRec* rec = view.Arm->GetRec(tag.FIndArm);
        if (rec == nullptr || rec->Fst != wanted) continue;
        const long long s = static_cast<long long>(rec->FsstID) - kStationIdBase;
        // A record of a substation that is not a configured station has no row.
        if (s < 1 || s > count) continue;
        if (!all && s != selected) continue;
        ++r;
        if (limited && r > kWebRowLimit) {
            data.Cut = true;
            break;
        }
        TWebPageData::TRow& row = data.Rows.emplace_back();
        row.Station = static_cast<int>(s);
        row.Name = tag.FName;
        row.AsduAddress = tag.FAsduAddress;
        row.ObjAddress = tag.FObjAddress;
        tag.GetArmValue(row.IValue, row.Quality, row.FValue, row.Stamp);
        const TWebPageData::TStation& kp = data.Stations[static_cast<size_t>(s - 1)];
        if (ti && kp.Connected && kp.PereschetTI) row.Eng = rec->RawToEng(std::trunc(row.FValue));
    }
}

void FormatSignalTable(const TWebPageData& data, bool ti, std::string& out) {
    const std::string_view query = data.Query;
    Line(out, ti ? "<FORM ACTION=titek.php METHOD=GET>" : "<FORM ACTION=tstek.php METHOD=GET>");
    Line(out, "<h7>Выберите КП</h7>");
    Line(out, "<SELECT NAME=p_ti>");
    const bool all = query.empty() || query == "p_ti=all";
    Line(out, all ? "<OPTION selected value = all>Все" : "<OPTION value = all>Все");
    for (const TWebPageData::TStation& kp : data.Stations) {
        const std::string& name = kp.NameKP;
        const bool isSelected = query.size() == 5 + name.size() && query.starts_with("p_ti=") &&
                                query.substr(5) == name;
        out += isSelected ? "<OPTION selected value = " : "<OPTION value = ";
        AppendOptionValue(out, name);
        out += '>';
        AppendHtml(out, name);
        out += "\r\n";
    }
    Line(out, "</SELECT>");
    Line(out, "<INPUT TYPE=submit VALUE=\"Отобразить данные!\">");
    Line(out, "</FORM>");
    Line(out, "</div>");
    Line(out, "</section>");
    Line(out, "<section class=\"row-2\">");
    Line(out, "<div class=\"container_12\">");
    Line(out, "<table>");
    Line(out, ti ? "<tr><th>№</th><th>Имя КП</th><th>Имя ТИ</th><th>Адрес ASDU</th><th>Адрес "
                   "IOA</th><th>Значение физическое</th><th>Байт качества</th><th>Значение "
                   "инженерное</th><th>Метка времени МЭК</th></tr>"
                 : "<tr><th>№</th><th>Имя КП</th><th>Имя ТC</th><th>Адрес ASDU</th><th>Адрес "
                   "IOA</th><th>Значение</th><th>Байт качества</th><th>Метка времени "
                   "МЭК</th></tr>");
    out.reserve(out.size() + data.Rows.size() * (ti ? 200 : 170) + 4096);
    long long r = 0;
    for (const TWebPageData::TRow& row : data.Rows) {
        ++r;
        const TWebPageData::TStation& kp = data.Stations[static_cast<size_t>(row.Station - 1)];
        RowStart(out, r);
        IntCell(out, r);
        TextCell(out, kp.NameKP);
        TextCell(out, row.Name);
        IntCell(out, row.AsduAddress);
        IntCell(out, row.ObjAddress);
        if (ti) {
            RealCell(out, row.FValue);
            IntCell(out, row.Quality);
            if (!kp.Connected) {
                TextCell(out, kNoConnection);
            } else if (kp.PereschetTI) {
                RealCell(out, row.Eng);
            } else {
                RealCell(out, row.FValue);
            }
        } else {
            if (!kp.Connected) {
                TextCell(out, kNoConnection);
            } else {
                IntCell(out, row.IValue);
            }
            IntCell(out, row.Quality);
        }
        CellStart(out);
        if (row.Stamp > 1.0) AppendWebDateTime(out, row.Stamp + kp.Popravka_Time * kOneHour);
        CellEnd(out);
        out += "</tr>\r\n";
    }
    Line(out, "</table>");
    if (data.Cut) {
        Line(out, ti ? "<a href=\"titek.php?p_ti=all\" class=\"button\">Показать все данные</a>"
                     : "<a href=\"tstek.php?p_ti=all\" class=\"button\">Показать все данные</a>");
    }
}

void FormatConfigTable(const TWebPageData& data, std::string& out) {
    Line(out, "</div>");
    Line(out, "</section>");
    Line(out, "<section class=\"row-2\">");
    Line(out, "<div class=\"container_12\">");
    Line(out, "<table>");
    Line(out,
         "<tr><th>№</th><th>Имя КП</th><th>IP адрес</th><th>Порт</th><th>Соединение</th><th>Адрес "
         "ASDU</th><th>Кол-во ТИ</th><th>Кол-во ТС</th><th>Поправка времени</th><th>Пересчитывать "
         "в инженерные ед.</th><th>Передавать метку времени по ОРС</th><th>t0</th><th>t1</th><th>"
         "t2</th><th>t3</th><th>k</th><th>w</th><th>Originator Address</th><th>Link "
         "Address1</th><th>Размер LinkAddress</th><th>Polling Cycle</th><th>Confirmation Timeout "
         "(ms)</th><th>Termination Timeout</th><th>Retry Count</th><th>Retry "
         "TimeOut</th><th>Common Asdu Address</th><th>Размер ASDU Address</th><th>Размер Inf Obj "
         "Address</th><th>COT</th></tr>");
    if (!data.HaveClients) {
        Line(out, "<tr class=\"even\" ><td>Запустите сервер</td></tr>");
    } else {
        int i = 0;
        for (const TWebPageData::TStation& kp : data.Stations) {
            ++i;
            const auto prmCell = [&](size_t field) {
                if (kp.HasParams) {
                    IntCell(out, kp.Params[field]);
                } else {
                    out += "<td></td>";
                }
            };
            RowStart(out, i);
            IntCell(out, i);
            TextCell(out, kp.NameKP);
            TextCell(out, kp.IP);
            prmCell(0);
            TextCell(out, kp.Connected ? "Есть" : "Нет");
            IntCell(out, kp.ASDU_Adr);
            IntCell(out, kp.Kol_TI);
            IntCell(out, kp.Kol_TS);
            IntCell(out, kp.Popravka_Time);
            TextCell(out, kp.PereschetTI ? "Пересчитывать" : "Не пересчитывать");
            TextCell(out, kp.Time_To_OPC ? "Да" : "Нет");
            for (size_t field = 1; field < kp.Params.size(); ++field) prmCell(field);
            out += "</tr>\r\n";
        }
    }
    Line(out, "</table>");
}

}  // namespace

void AddSignalTable(const TWebView& view, std::string_view kind, std::string_view query,
                    std::string& out) {
    const bool ti = kind == "ti";
    TWebPageData data;
    data.Query = std::string(query);
    CopyStations(view, data);
    CopyRows(view, ti, data);
    FormatSignalTable(data, ti, out);
}

void AddConfigTable(const TWebView& view, std::string& out) {
    TWebPageData data;
    CopyStations(view, data);
    FormatConfigTable(data, out);
}

void AddPageFooter(std::string& out) {
    Line(out, "</div>");
    Line(out, "</section>");
    Line(out, "</section>");
    Line(out, "<!-- footer -->");
    Line(out, "<footer>");
    Line(out, "<div class=\"container_12\">");
    Line(out, "<div class=\"indent\">");
    Line(out, "<nav>");
    Line(out, "<ul>");
    Line(out, "<li><a href=\"titek.php\">Текущие телеизмерения</a></li>");
    Line(out, "<li><a href=\"tstek.php\">Текущие телесигналы</a></li>");
    Line(out, "<li><a href=\"config.php\">Конфигурация ОРС-сервера</a></li>");
    Line(out, "<li><a href=\"help.html\">Помощь</a></li>");
    Line(out, "<li><a href=\"index-7.html\">О программе</a></li>");
    Line(out, "</ul>");
    Line(out, "</nav>");
    Line(out, "<div>");
    Line(out, "<div class=\"vlinks\"><a href=\"index-7.html\">Telegate</a></div>");
    Line(out,
         "<div class=\"v\">Шлюз МЭК 60870-5-104 / OPC DA &copy; <a "
         "href=\"index-7.html\">2026</a></div></div>");
    Line(out, "</div>");
    Line(out, "</div>");
    Line(out, "</footer>");
    Line(out, "</body>");
    Line(out, "</html>");
}

TWebPageData TakePageData(const TWebView& view, std::string_view path, std::string_view query) {
    TWebPageData data;
    data.Path = std::string(path);
    data.Query = std::string(query);
    if (!IsGeneratedPage(path)) return data;
    const bool ti = path == "/" || path == "/titek.php";
    if (ti || path == "/tstek.php" || path == "/config.php") CopyStations(view, data);
    if (ti || path == "/tstek.php") CopyRows(view, ti, data);
    return data;
}

std::string FormatPage(const TWebPageData& data) {
    const std::string_view path = data.Path;
    if (!IsGeneratedPage(path)) return {};
    std::string out;
    out.reserve(8192);
    AddPageHeader(path, out);
    if (path == "/" || path == "/titek.php") {
        FormatSignalTable(data, true, out);
    } else if (path == "/tstek.php") {
        FormatSignalTable(data, false, out);
    } else if (path == "/config.php") {
        FormatConfigTable(data, out);
    }
    AddPageFooter(out);
    return out;
}

std::string BuildPage(const TWebView& view, std::string_view path, std::string_view rawQuery) {
    return FormatPage(TakePageData(view, path, DecodeQuery(rawQuery)));
}

}  // namespace telegate
