#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "web/WebFixture.h"
#include "web/WebPages.h"

namespace telegate {
namespace {

using test::TWebFixture;

// The page cut at CR LF; fails when a line end is anything else.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        const auto e = text.find("\r\n", pos);
        EXPECT_NE(e, std::string::npos) << "last line without CR LF";
        if (e == std::string::npos) break;
        out.push_back(text.substr(pos, e - pos));
        pos = e + 2;
    }
    for (const auto& l : out) EXPECT_EQ(l.find_first_of("\r\n"), std::string::npos) << l;
    return out;
}

std::string Join(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& l : lines) s += l + "\r\n";
    return s;
}

int CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    int n = 0;
    for (const auto& l : lines) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
}

int DataRows(const std::vector<std::string>& lines) {
    return CountPrefix(lines, "<tr class=\"even\" >") + CountPrefix(lines, "<tr class=\"odd\" >");
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
    for (const auto& l : lines)
        if (l == line) return true;
    return false;
}

TDateTime Stamp(int y, int mo, int d, int h, int mi, int s, int ms) {
    TDateTime t = 0;
    EXPECT_TRUE(TryEncodeDateTime({y, mo, d, h, mi, s, ms}, t));
    return t;
}

const std::string kTiHeading =
    "<tr><th>№</th><th>Имя КП</th><th>Имя ТИ</th><th>Адрес ASDU</th><th>Адрес "
    "IOA</th><th>Значение физическое</th><th>Байт качества</th><th>Значение "
    "инженерное</th><th>Метка времени МЭК</th></tr>";
const std::string kTsHeading =
    "<tr><th>№</th><th>Имя КП</th><th>Имя ТC</th><th>Адрес ASDU</th><th>Адрес "
    "IOA</th><th>Значение</th><th>Байт качества</th><th>Метка времени МЭК</th></tr>";
const std::string kTiLink =
    "<a href=\"titek.php?p_ti=all\" class=\"button\">Показать все данные</a>";
const std::string kTsLink =
    "<a href=\"tstek.php?p_ti=all\" class=\"button\">Показать все данные</a>";

// ---------------------------------------------------------------------------------
// Number, time and query texts

TEST(WebTextTest, RealsInGeneralFormat) {
    EXPECT_EQ(FormatGeneralReal(0.0), "0");
    EXPECT_EQ(FormatGeneralReal(-0.0), "0");
    EXPECT_EQ(FormatGeneralReal(100), "100");
    EXPECT_EQ(FormatGeneralReal(0.5), "0.5");
    EXPECT_EQ(FormatGeneralReal(-12.25), "-12.25");
    EXPECT_EQ(FormatGeneralReal(0.1), "0.1");
    EXPECT_EQ(FormatGeneralReal(1.0 / 3.0), "0.333333333333333");
    EXPECT_EQ(FormatGeneralReal(2.0 / 3.0), "0.666666666666667");
    EXPECT_EQ(FormatGeneralReal(static_cast<double>(100.9f)), "100.900001525879");
    EXPECT_EQ(FormatGeneralReal(123456789012345.0), "123456789012345");
    EXPECT_EQ(FormatGeneralReal(999999999999999.0), "999999999999999");
    EXPECT_EQ(FormatGeneralReal(1e15), "1E15");
    EXPECT_EQ(FormatGeneralReal(1234567890123456.0), "1.23456789012346E15");
    EXPECT_EQ(FormatGeneralReal(1e20), "1E20");
    EXPECT_EQ(FormatGeneralReal(-2.5e300), "-2.5E300");
    EXPECT_EQ(FormatGeneralReal(0.0001), "0.0001");
    EXPECT_EQ(FormatGeneralReal(0.00012345), "0.00012345");
    EXPECT_EQ(FormatGeneralReal(0.00001), "0.00001");  // same text as in the configuration file
    EXPECT_EQ(FormatGeneralReal(0.000001), "1E-6");
    EXPECT_EQ(FormatGeneralReal(1.5e-7), "1.5E-7");
    EXPECT_EQ(FormatGeneralReal(9.9999999999999999e14), "1E15");  // rounds up into exponent form
    EXPECT_EQ(FormatGeneralReal(std::numeric_limits<double>::denorm_min()),
              "4.94065645841247E-324");
    EXPECT_EQ(FormatGeneralReal(std::nan("")), "NAN");
    EXPECT_EQ(FormatGeneralReal(INFINITY), "INF");
    EXPECT_EQ(FormatGeneralReal(-INFINITY), "-INF");
}

TEST(WebTextTest, DateTimeWithMilliseconds) {
    std::string s;
    AppendWebDateTime(s, Stamp(2026, 3, 5, 7, 8, 9, 45));
    EXPECT_EQ(s, "05.03.2026 07:08:09.045");
    s.clear();
    AppendWebDateTime(s, Stamp(1999, 12, 31, 23, 59, 59, 999));
    EXPECT_EQ(s, "31.12.1999 23:59:59.999");
}

TEST(WebTextTest, QueryDecoding) {
    EXPECT_EQ(DecodeQuery("p_ti=%D0%9A%D0%9F+1"), "p_ti=КП 1");
    EXPECT_EQ(DecodeQuery("p_ti=%d0%9a%d0%9f%201"), "p_ti=КП 1");
    // A form of a Windows-1251 page submits Windows-1251 octets.
    EXPECT_EQ(DecodeQuery("p_ti=%CA%CF+1"), "p_ti=КП 1");
    EXPECT_EQ(DecodeQuery("p_ti=all"), "p_ti=all");
    EXPECT_EQ(DecodeQuery(""), "");
    // Malformed escapes leave the query as received.
    EXPECT_EQ(DecodeQuery("p_ti=%zz"), "p_ti=%zz");
    EXPECT_EQ(DecodeQuery("p_ti=%4"), "p_ti=%4");
    EXPECT_EQ(DecodeQuery("p_ti=%"), "p_ti=%");
    std::string out;
    EXPECT_TRUE(DecodeUrlText("/a+b%2Fc", false, out));
    EXPECT_EQ(out, "/a+b/c");
}

// ---------------------------------------------------------------------------------
// Header and footer

const std::vector<std::string> kHeaderOfMeasurements = {
    "<!DOCTYPE html>",
    "<html lang=\"ru\">",
    "<head>",
    "<title>Текущие телеизмерения. Web-интерфейс ОРС-сервера.</title>",
    "<meta charset=\"Windows-1251\">",
    "<link rel=\"stylesheet\" href=\"css/reset.css\" type=\"text/css\" media=\"all\">",
    "<link rel=\"stylesheet\" href=\"css/grid.css\" type=\"text/css\" media=\"all\">",
    "<link rel=\"stylesheet\" href=\"css/style.css\" type=\"text/css\" media=\"all\">",
    "<!--[if lt IE 7]>",
    "<link rel=\"stylesheet\" href=\"css/ie/ie6.css\" type=\"text/css\" media=\"screen\">",
    "<![endif]-->",
    "<!--[if lt IE 9]>",
    "<script type=\"text/javascript\" src=\"js/html5.js\"></script>",
    "<![endif]-->",
    "</head>",
    "",
    "<body id=\"page2\">",
    "<!-- header -->",
    "<header>",
    "<div class=\"container_12\">",
    "<!-- .logo -->",
    "<div class=\"logo\">",
    "<h1><a href=\"titek.php\">Telegate</a></h1>",
    "<span>Текущие данные и конфигурация</span>",
    "</div>",
    "<!-- /.logo -->",
    "<a href=\"#\" class=\"rss\"> </a>",
    "<nav>",
    "<ul>",
    "<li><a href=\"titek.php\" class=\"current\">Телеизмерения</a></li>",
    "<li><a href=\"tstek.php\">Телесигналы</a></li>",
    "<li><a href=\"config.php\">Конфигурация</a></li>",
    "<li><a href=\"stations.php\">Статистика</a></li>",
    "<li><a href=\"help.html\">Помощь</a></li>",
    "<li><a href=\"index-7.html\">О программе</a></li>",
    "</ul>",
    "</nav>",
    "</div>",
    "</header>",
    "<section id=\"main-banner\">",
    "<div class=\"container_12\">",
    "<!-- .banner -->",
};

TEST(WebPagesTest, HeaderOfTheMeasurementPage) {
    for (const char* path : {"/", "/titek.php"}) {
        std::string s;
        AddPageHeader(path, s);
        EXPECT_EQ(s, Join(kHeaderOfMeasurements)) << path;
    }
}

TEST(WebPagesTest, HeaderTitleAndCurrentMenuEntryFollowThePath) {
    struct Case {
        const char* path;
        const char* title;
        int current;  // 0 measurements, 1 signals, 2 configuration, -1 none
    };
    const Case cases[] = {
        {"/tstek.php", "<title>Текущие телесигналы. Web-интерфейс ОРС-сервера.</title>", 1},
        {"/reg.php", "<title>Журнал событий. Web-интерфейс ОРС-сервера.</title>", -1},
        {"/config.php", "<title>Конфигурация ОРС-сервера.</title>", 2},
        {"/arch.php", "<title>Архив измерений. Web-интерфейс ОРС-сервера.</title>", -1},
        {"/stations.php", "<title>Статистика связи с КП. Web-интерфейс ОРС-сервера.</title>", 3},
    };
    const std::string plain[] = {"<li><a href=\"titek.php\">Телеизмерения</a></li>",
                                 "<li><a href=\"tstek.php\">Телесигналы</a></li>",
                                 "<li><a href=\"config.php\">Конфигурация</a></li>",
                                 "<li><a href=\"stations.php\">Статистика</a></li>"};
    const std::string current[] = {
        "<li><a href=\"titek.php\" class=\"current\">Телеизмерения</a></li>",
        "<li><a href=\"tstek.php\" class=\"current\">Телесигналы</a></li>",
        "<li><a href=\"config.php\" class=\"current\">Конфигурация</a></li>",
        "<li><a href=\"stations.php\" class=\"current\">Статистика</a></li>"};
    for (const Case& c : cases) {
        std::string s;
        AddPageHeader(c.path, s);
        auto expected = kHeaderOfMeasurements;
        expected[3] = c.title;
        for (int i = 0; i < 4; ++i) expected[29 + i] = i == c.current ? current[i] : plain[i];
        EXPECT_EQ(Lines(s), expected) << c.path;
    }
}

TEST(WebPagesTest, FooterLinesAndBalancedAuthorBlock) {
    std::string s;
    AddPageFooter(s);
    const auto lines = Lines(s);
    const std::vector<std::string> head = {
        "</div>",
        "</section>",
        "</section>",
        "<!-- footer -->",
        "<footer>",
        "<div class=\"container_12\">",
        "<div class=\"indent\">",
        "<nav>",
        "<ul>",
        "<li><a href=\"titek.php\">Текущие телеизмерения</a></li>",
        "<li><a href=\"tstek.php\">Текущие телесигналы</a></li>",
        "<li><a href=\"config.php\">Конфигурация ОРС-сервера</a></li>",
        "<li><a href=\"help.html\">Помощь</a></li>",
        "<li><a href=\"index-7.html\">О программе</a></li>",
        "</ul>",
        "</nav>",
        "<div>"};
    const std::vector<std::string> tail = {"</div>", "</div>", "</footer>", "</body>", "</html>"};
    ASSERT_EQ(lines.size(), head.size() + 2 + tail.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 17), head);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 5, lines.end()), tail);
    EXPECT_EQ(lines[17].rfind("<div class=\"vlinks\"><a href=", 0), 0u);
    EXPECT_EQ(lines[18].rfind("<div class=\"v\">", 0), 0u);
    EXPECT_NE(lines[18].find("<a href="), std::string::npos);
    // The second line of the block closes its own div and the one opened before it.
    EXPECT_EQ(lines[18].substr(lines[18].size() - 12), "</div></div>");
}

TEST(WebPagesTest, EventAndArchivePagesAreHeaderAndFooterOnly) {
    TWebFixture f;
    f.AddStation("KP1", "127.0.0.1");
    for (const char* path : {"/reg.php", "/arch.php"}) {
        std::string expected;
        AddPageHeader(path, expected);
        AddPageFooter(expected);
        EXPECT_EQ(BuildPage(f.View(), path, "p_ti=KP1"), expected) << path;
    }
    EXPECT_EQ(BuildPage(f.View(), "/TITEK.PHP", ""), "");
    EXPECT_EQ(BuildPage(f.View(), "/index-7.html", ""), "");
    EXPECT_TRUE(IsGeneratedPage("/"));
    EXPECT_FALSE(IsGeneratedPage("/titek.php/"));
}

// ---------------------------------------------------------------------------------
// Measurement and signal tables

TEST(WebPagesTest, MeasurementTableLineByLine) {
    TWebFixture f;
    const int a = f.AddStation("KP1", "127.0.0.1");
    const int b = f.AddStation("KP2", "127.0.0.2");
    f.st.KP_arr[b].PereschetTI = true;
    f.st.KP_arr[b].Popravka_Time = 3;
    const TDateTime t = Stamp(2026, 3, 5, 7, 8, 9, 45);
    f.AddTI(a, "U1", 1, 100, 12.5f, 0, t);
    f.AddTS(a, "Q1", 1, 200, true, 0, t);  // a signal: not in the measurement table
    f.AddTI(b, "P2", 2, 101, 100.75f, 0x80, t);
    f.SetBound(2, 0, 200, 0, 10);
    f.AddTag(b, stTIT, "Never", 2, 102);  // no value received yet

    std::string s;
    AddSignalTable(f.View(), "ti", "", s);
    const std::vector<std::string> expected = {
        "<FORM ACTION=titek.php METHOD=GET>",
        "<h7>Выберите КП</h7>",
        "<SELECT NAME=p_ti>",
        "<OPTION selected value = all>Все",
        "<OPTION value = KP1>KP1",
        "<OPTION value = KP2>KP2",
        "</SELECT>",
        "<INPUT TYPE=submit VALUE=\"Отобразить данные!\">",
        "</FORM>",
        "</div>",
        "</section>",
        "<section class=\"row-2\">",
        "<div class=\"container_12\">",
        "<table>",
        kTiHeading,
        "<tr class=\"even\" ><td>1</td><td>KP1</td><td>U1</td><td>1</td><td>100</td><td>12.5</"
        "td><td>0</td><td>12.5</td><td>05.03.2026 07:08:09.045</td></tr>",
        // Scaled from the raw value cut to 100: 100 of 0..200 is 5 of 0..10; three hours on.
        "<tr class=\"odd\" ><td>2</td><td>KP2</td><td>P2</td><td>2</td><td>101</td><td>100.75</"
        "td><td>128</td><td>5</td><td>05.03.2026 10:08:09.045</td></tr>",
        "<tr class=\"even\" ><td>3</td><td>KP2</td><td>Never</td><td>2</td><td>102</td><td>0</"
        "td><td>128</td><td>0</td><td></td></tr>",
        "</table>",
    };
    EXPECT_EQ(Lines(s), expected);
}

TEST(WebPagesTest, SignalTableLineByLine) {
    TWebFixture f;
    const int a = f.AddStation("KP1", "127.0.0.1");
    const int b = f.AddStation("KP2", "127.0.0.2", false);
    const TDateTime t = Stamp(2026, 3, 5, 7, 8, 9, 45);
    f.AddTS(a, "Q1", 1, 200, true, 0x10, t);
    f.AddTI(a, "U1", 1, 100, 12.5f, 0, t);
    f.AddTS(b, "Q2", 2, 201, true, 0, t);
    f.AddTS(a, "Q3", 1, 202, false, 0, 0.5);  // stamp not above one day: empty cell

    std::string s;
    AddSignalTable(f.View(), "ts", "p_ts=KP1", s);
    auto lines = Lines(s);
    ASSERT_GE(lines.size(), 15u);
    EXPECT_EQ(lines[0], "<FORM ACTION=tstek.php METHOD=GET>");
    // "p_ts=" selects the station but marks no option.
    EXPECT_EQ(lines[3], "<OPTION value = all>Все");
    EXPECT_EQ(lines[4], "<OPTION value = KP1>KP1");
    EXPECT_EQ(lines[14], kTsHeading);
    const std::vector<std::string> rows(lines.begin() + 15, lines.end());
    EXPECT_EQ(rows, (std::vector<std::string>{
                        "<tr class=\"even\" ><td>1</td><td>KP1</td><td>Q1</td><td>1</td><td>200</"
                        "td><td>1</td><td>16</td><td>05.03.2026 07:08:09.045</td></tr>",
                        "<tr class=\"odd\" ><td>2</td><td>KP1</td><td>Q3</td><td>1</td><td>202</"
                        "td><td>0</td><td>0</td><td></td></tr>",
                        "</table>"}));

    s.clear();
    AddSignalTable(f.View(), "ts", "", s);
    lines = Lines(s);
    EXPECT_TRUE(Has(lines,
                    "<tr class=\"odd\" ><td>2</td><td>KP2</td><td>Q2</td><td>2</td><td>201</"
                    "td><td>Нет соединения</td><td>0</td><td>05.03.2026 "
                    "07:08:09.045</td></tr>"));
    EXPECT_EQ(DataRows(lines), 3);
}

TEST(WebPagesTest, DisconnectedStationShowsPhysicalValueButNoEngineeringValue) {
    TWebFixture f;
    const int a = f.AddStation("KP1", "127.0.0.1", false);
    f.st.KP_arr[a].PereschetTI = true;
    f.AddTI(a, "U1", 1, 100, -7.25f, 0x40, Stamp(2026, 1, 2, 3, 4, 5, 6));
    std::string s;
    AddSignalTable(f.View(), "ti", "p_ti=KP1", s);
    const auto lines = Lines(s);
    EXPECT_TRUE(Has(lines,
                    "<tr class=\"even\" ><td>1</td><td>KP1</td><td>U1</td><td>1</td><td>100</"
                    "td><td>-7.25</td><td>64</td><td>Нет соединения</td><td>02.01.2026 "
                    "03:04:05.006</td></tr>"));
    EXPECT_TRUE(Has(lines, "<OPTION selected value = KP1>KP1"));
}

TEST(WebPagesTest, EngineeringValueTruncatesTowardZeroBeforeScaling) {
    TWebFixture f;
    const int a = f.AddStation("KP1", "127.0.0.1");
    f.st.KP_arr[a].PereschetTI = true;
    f.AddTI(a, "N", 1, 1, -100.75f, 0, 0);
    f.SetBound(0, -200, 200, -40, 40);         // -100 -> -20 (-101 would give -20.2)
    f.AddTI(a, "NoRange", 1, 2, 33.5f, 0, 0);  // no range: the cut raw value itself
    std::string s;
    AddSignalTable(f.View(), "ti", "p_ti=all", s);
    const auto lines = Lines(s);
    EXPECT_TRUE(Has(lines,
                    "<tr class=\"even\" ><td>1</td><td>KP1</td><td>N</td><td>1</td><td>1</"
                    "td><td>-100.75</td><td>0</td><td>-20</td><td></td></tr>"));
    EXPECT_TRUE(Has(lines,
                    "<tr class=\"odd\" ><td>2</td><td>KP1</td><td>NoRange</td><td>1</"
                    "td><td>2</td><td>33.5</td><td>0</td><td>33</td><td></td></tr>"));
}

TEST(WebPagesTest, RowLimitWithoutQueryAndAllRowsWithIt) {
    TWebFixture f;
    const int a = f.AddStation("KP1", "127.0.0.1");
    for (int i = 1; i <= 1000; ++i) f.AddTI(a, "T" + std::to_string(i), 1, i, 1.0f * i, 0, 0);

    std::string s;
    AddSignalTable(f.View(), "ti", "", s);
    auto lines = Lines(s);
    EXPECT_EQ(DataRows(lines), 719);
    EXPECT_EQ(lines[lines.size() - 2], "</table>");
    EXPECT_EQ(lines.back(), kTiLink);
    EXPECT_TRUE(Has(lines,
                    "<tr class=\"even\" ><td>719</td><td>KP1</td><td>T719</td><td>1</"
                    "td><td>719</td><td>719</td><td>0</td><td>719</td><td></td></tr>"));

    s.clear();
    AddSignalTable(f.View(), "ti", "p_ti=all", s);
    lines = Lines(s);
    EXPECT_EQ(DataRows(lines), 1000);
    EXPECT_EQ(lines.back(), "</table>");
    EXPECT_TRUE(Has(lines, "<OPTION selected value = all>Все"));

    // A selected station has no limit either.
    s.clear();
    AddSignalTable(f.View(), "ti", "p_ti=KP1", s);
    EXPECT_EQ(DataRows(Lines(s)), 1000);
}

TEST(WebPagesTest, ExactlyTheLimitAndOneMore) {
    for (int count : {719, 720}) {
        TWebFixture f;
        const int a = f.AddStation("KP1", "127.0.0.1");
        for (int i = 1; i <= count; ++i) f.AddTS(a, "S" + std::to_string(i), 1, i, i % 2, 0, 0);
        std::string s;
        AddSignalTable(f.View(), "ts", "", s);
        const auto lines = Lines(s);
        EXPECT_EQ(DataRows(lines), 719) << count;
        EXPECT_EQ(lines.back(), count == 720 ? kTsLink : "</table>") << count;
        EXPECT_EQ(CountPrefix(lines, "<tr class=\"even\" >"), 360);
    }
}

TEST(WebPagesTest, UnknownStationNameMarksNothingAndShowsNoRows) {
    TWebFixture f;
    const int a = f.AddStation("KP1", "127.0.0.1");
    f.AddTI(a, "U1", 1, 100, 1.0f, 0, 0);
    std::string s;
    AddSignalTable(f.View(), "ti", DecodeQuery("p_ti=Nowhere"), s);
    const auto lines = Lines(s);
    EXPECT_EQ(lines[3], "<OPTION value = all>Все");
    EXPECT_EQ(lines[4], "<OPTION value = KP1>KP1");
    EXPECT_EQ(CountPrefix(lines, "<OPTION selected"), 0);
    EXPECT_EQ(lines[lines.size() - 2], kTiHeading);
    EXPECT_EQ(lines.back(), "</table>");
}

TEST(WebPagesTest, CyrillicAndBlankNamesAreSelectedThroughEncodedQueries) {
    TWebFixture f;
    const int a = f.AddStation("ПС Северная", "127.0.0.1");
    const int b = f.AddStation("КП-2", "127.0.0.2");
    f.AddTI(a, "Ток фазы А", 1, 1, 1.0f, 0, 0);
    f.AddTI(b, "U", 2, 1, 2.0f, 0, 0);

    // UTF-8 from a modern browser, "+" for the blank.
    auto page = BuildPage(f.View(), "/titek.php",
                          "p_ti=%D0%9F%D0%A1+%D0%A1%D0%B5%D0%B2%D0%B5%D1%80%D0%BD%D0%B0%D1%8F");
    auto lines = Lines(page);
    EXPECT_TRUE(Has(lines, "<OPTION selected value = \"ПС Северная\">ПС Северная"));
    EXPECT_TRUE(Has(lines, "<OPTION value = КП-2>КП-2"));
    EXPECT_EQ(DataRows(lines), 1);
    EXPECT_TRUE(Has(lines,
                    "<tr class=\"even\" ><td>1</td><td>ПС Северная</td><td>Ток фазы "
                    "А</td><td>1</td><td>1</td><td>1</td><td>0</td><td>1</td><td></td></tr>"));

    // Windows-1251 octets, as the page's own form sends them.
    page = BuildPage(f.View(), "/titek.php", "p_ti=%CA%CF-2");
    lines = Lines(page);
    EXPECT_TRUE(Has(lines, "<OPTION selected value = КП-2>КП-2"));
    EXPECT_EQ(DataRows(lines), 1);
    EXPECT_TRUE(Has(lines,
                    "<tr class=\"even\" ><td>1</td><td>КП-2</td><td>U</td><td>2</td><td>1</"
                    "td><td>2</td><td>0</td><td>2</td><td></td></tr>"));
}

TEST(WebPagesTest, LastStationOfADuplicateNameIsSelected) {
    TWebFixture f;
    const int a = f.AddStation("Same", "127.0.0.1");
    const int b = f.AddStation("Same", "127.0.0.2");
    f.AddTI(a, "A", 1, 1, 1.0f, 0, 0);
    f.AddTI(b, "B", 2, 1, 2.0f, 0, 0);
    std::string s;
    AddSignalTable(f.View(), "ti", "p_ti=Same", s);
    const auto lines = Lines(s);
    EXPECT_EQ(CountPrefix(lines, "<OPTION selected value = Same>"), 2);
    EXPECT_EQ(DataRows(lines), 1);
    EXPECT_NE(lines[lines.size() - 2].find("<td>B</td>"), std::string::npos);
}

TEST(WebPagesTest, MarkupInNamesIsEscaped) {
    TWebFixture f;
    const int a = f.AddStation("A&B", "127.0.0.1");
    f.AddTI(a, "<script>", 1, 1, 1.0f, 0, 0);
    std::string s;
    AddSignalTable(f.View(), "ti", "", s);
    const auto lines = Lines(s);
    EXPECT_TRUE(Has(lines, "<OPTION value = \"A&amp;B\">A&amp;B"));
    EXPECT_EQ(s.find("<script>"), std::string::npos);
    EXPECT_NE(s.find("<td>&lt;script&gt;</td>"), std::string::npos);
}

TEST(WebPagesTest, RecordsOfUnknownStationsAndBrokenIndexesHaveNoRows) {
    TWebFixture f;
    const int a = f.AddStation("KP1", "127.0.0.1");
    f.AddTI(a, "Good", 1, 1, 1.0f, 0, 0);
    TTagSignal& foreign = f.AddTI(a, "Foreign", 1, 2, 1.0f, 0, 0);
    f.arm.GetRec(foreign.FIndArm)->FsstID = 1005;  // not a configured station
    TTagSignal& broken = f.AddTI(a, "Broken", 1, 3, 1.0f, 0, 0);
    broken.FIndArm = 12345;
    TTagSignal& zero = f.AddTI(a, "Zero", 1, 4, 1.0f, 0, 0);
    f.arm.GetRec(zero.FIndArm)->FsstID = 1000;
    for (const char* q : {"", "p_ti=all"}) {
        std::string s;
        AddSignalTable(f.View(), "ti", q, s);
        const auto lines = Lines(s);
        EXPECT_EQ(DataRows(lines), 1) << q;
        EXPECT_EQ(s.find("Foreign"), std::string::npos);
    }
    // Without a tag list or registry there are no rows at all.
    std::string s;
    AddSignalTable(TWebView{f.st}, "ti", "", s);
    EXPECT_EQ(DataRows(Lines(s)), 0);
}

// ---------------------------------------------------------------------------------
// Configuration table

const std::string kConfigHeading =
    "<tr><th>№</th><th>Имя КП</th><th>IP адрес</th><th>Порт</th><th>Соединение</th><th>Адрес "
    "ASDU</th><th>Кол-во ТИ</th><th>Кол-во ТС</th><th>Поправка времени</th><th>Пересчитывать в "
    "инженерные ед.</th><th>Передавать метку времени по "
    "ОРС</th><th>t0</th><th>t1</th><th>t2</th><th>t3</th><th>k</th><th>w</th><th>Originator "
    "Address</th><th>Link Address1</th><th>Размер LinkAddress</th><th>Polling "
    "Cycle</th><th>Confirmation Timeout (ms)</th><th>Termination Timeout</th><th>Retry "
    "Count</th><th>Retry TimeOut</th><th>Common Asdu Address</th><th>Размер ASDU "
    "Address</th><th>Размер Inf Obj Address</th><th>COT</th></tr>";

TEST(WebPagesTest, ConfigurationBeforePollingAsksToStartTheServer) {
    TWebFixture f;
    f.AddStation("KP1", "127.0.0.1");
    std::string s;
    AddConfigTable(f.View(), s);
    EXPECT_EQ(Lines(s), (std::vector<std::string>{
                            "</div>", "</section>", "<section class=\"row-2\">",
                            "<div class=\"container_12\">", "<table>", kConfigHeading,
                            "<tr class=\"even\" ><td>Запустите сервер</td></tr>", "</table>"}));
}

TEST(WebPagesTest, ConfigurationRowsFromStationsAndClientParameters) {
    TWebFixture f;
    const int a = f.AddStation("KP1", "127.0.0.1", true);
    const int b = f.AddStation("KP2", "127.0.0.2", false);
    T_KP& kb = f.st.KP_arr[b];
    f.st.KP_arr[a].Kol_TI = 3;
    f.st.KP_arr[a].Kol_TS = 4;
    kb.ASDU_Adr = 77;
    kb.Popravka_Time = -2;
    kb.PereschetTI = true;
    kb.Time_To_OPC = true;
    SetDefaultPrmn(f.prmn[0], "127.0.0.1", 2404);
    TPrmn& p = f.prmn[1];
    p.Port = 2405;
    int v = 1;
    for (auto field :
         {&TPrmn::t0, &TPrmn::t1, &TPrmn::t2, &TPrmn::t3, &TPrmn::kMax, &TPrmn::wMax,
          &TPrmn::OriginatorAddress, &TPrmn::LinkAddress1, &TPrmn::sz_LinkAddress,
          &TPrmn::PollingCycle, &TPrmn::ConfirmationTimeout, &TPrmn::TerminationTimeout,
          &TPrmn::RetryCount, &TPrmn::RetryTimeOut, &TPrmn::CommonAsduAddress,
          &TPrmn::sz_ASDUAddress, &TPrmn::sz_InfObjAddress, &TPrmn::sz_COT})
        p.*field = 10 * v++;
    f.MakeClients();
    // A station added after the clients were made: no parameters to show.
    f.AddStation("KP3", "127.0.0.3");

    std::string s;
    AddConfigTable(f.View(), s);
    const auto lines = Lines(s);
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[5], kConfigHeading);
    EXPECT_EQ(lines[6],
              "<tr class=\"even\" ><td>1</td><td>KP1</td><td>127.0.0.1</td><td>2404</td><td>Есть</"
              "td><td>1</td><td>3</td><td>4</td><td>0</td><td>Не "
              "пересчитывать</td><td>Нет</td><td>30000</td><td>15000</td><td>10000</td><td>20000</"
              "td><td>12</td><td>8</td><td>0</td><td>0</td><td>0</td><td>0</td><td>5000</"
              "td><td>30000</td><td>3</td><td>20000</td><td>3</td><td>2</td><td>3</td><td>2</"
              "td></tr>");
    EXPECT_EQ(lines[7],
              "<tr class=\"odd\" ><td>2</td><td>KP2</td><td>127.0.0.2</td><td>2405</td><td>Нет</"
              "td><td>77</td><td>0</td><td>0</td><td>-2</td><td>Пересчитывать</td><td>Да</"
              "td><td>10</td><td>20</td><td>30</td><td>40</td><td>50</td><td>60</td><td>70</"
              "td><td>80</td><td>90</td><td>100</td><td>110</td><td>120</td><td>130</td><td>140</"
              "td><td>150</td><td>160</td><td>170</td><td>180</td></tr>");
    EXPECT_EQ(lines[8],
              "<tr class=\"even\" ><td>3</td><td>KP3</td><td>127.0.0.3</td><td></td><td>Есть</"
              "td><td>3</td><td>0</td><td>0</td><td>0</td><td>Не "
              "пересчитывать</td><td>Нет</td><td></td><td></td><td></td><td></td><td></td><td></"
              "td><td></td><td></td><td></td><td></td><td></td><td></td><td></td><td></td><td></"
              "td><td></td><td></td><td></td></tr>");
    EXPECT_EQ(lines[9], "</table>");
}

TEST(WebPagesTest, WholeMeasurementPageIsHeaderTableFooter) {
    TWebFixture f;
    const int a = f.AddStation("KP1", "127.0.0.1");
    f.AddTI(a, "U1", 1, 100, 12.5f, 0, 0);
    std::string expected;
    AddPageHeader("/", expected);
    AddSignalTable(f.View(), "ti", "", expected);
    AddPageFooter(expected);
    EXPECT_EQ(BuildPage(f.View(), "/", ""), expected);
    std::string titek;
    AddPageHeader("/titek.php", titek);
    AddSignalTable(f.View(), "ti", "", titek);
    AddPageFooter(titek);
    EXPECT_EQ(titek, expected);
    EXPECT_EQ(BuildPage(f.View(), "/titek.php", ""), expected);

    std::string config;
    AddPageHeader("/config.php", config);
    AddConfigTable(f.View(), config);
    AddPageFooter(config);
    EXPECT_EQ(BuildPage(f.View(), "/config.php", "p_ti=KP1"), config);
}

// The copy taken on the main thread is all the formatting reads: the live data may
// change or go away before the text is written.
TEST(WebPagesTest, APageIsFormattedFromItsCopyAlone) {
    for (const char* path : {"/", "/tstek.php", "/config.php"}) {
        auto f = std::make_unique<TWebFixture>();
        const int a = f->AddStation("KP1", "127.0.0.1");
        const int b = f->AddStation("KP2", "127.0.0.2", false);
        f->st.KP_arr[a].PereschetTI = true;
        f->st.KP_arr[a].Popravka_Time = 2;
        f->AddTI(a, "U1", 1, 100, 12.5f, 0, 45000.25);
        f->SetBound(0, 0, 100, 0, 1000);
        f->AddTI(b, "U2", 2, 101, 7.0f, 8, 0);
        f->AddTS(a, "S1", 1, 1, true, 0, 45000.5);
        f->MakeClients();
        const std::string expected = BuildPage(f->View(), path, "p_ti=all");
        const TWebPageData data = TakePageData(f->View(), path, "p_ti=all");
        // Everything live changes, then is destroyed.
        f->st.KP_arr[a].NameKP = "changed";
        f->st.KP_arr[a].Connected = false;
        TWebFixture::SetFloat(f->tags.List.front(), 99.0f, 1, 1.0);
        f.reset();
        EXPECT_EQ(FormatPage(data), expected) << path;
    }
}

}  // namespace
}  // namespace telegate
