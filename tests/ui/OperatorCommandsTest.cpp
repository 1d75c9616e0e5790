// The toolkit-free rules of the main window's commands: the help that opens, the
// menus' mnemonics and the window's place on the screen.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "app/AppContext.h"
#include "ui/OperatorCommands.h"

namespace telegate {
namespace {

std::string P(const char* dir, const char* name) {
    return (std::filesystem::path(dir) / name).string();
}

TEST(OperatorCommandsTest, HelpIsTheDocumentBesideTheProgramThenTheDataFolderThenTheWebPage) {
    const struct {
        std::set<std::string> present;
        std::string expected;
    } cases[] = {
        {{}, ""},
        {{P("web", "help.html")}, P("web", "help.html")},
        {{P("data", "Telegate.doc"), P("web", "help.html")}, P("data", "Telegate.doc")},
        {{P("prog", "Telegate.doc"), P("data", "Telegate.doc"), P("web", "help.html")},
         P("prog", "Telegate.doc")},
        {{P("prog", "Telegate.doc")}, P("prog", "Telegate.doc")},
        {{P("web", "index.html")}, ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> asked;
        const std::string got =
            ChooseHelpDocument("prog", "data", "web", [&](const std::string& path) {
                asked.push_back(path);
                return c.present.count(path) > 0;
            });
        EXPECT_EQ(got, c.expected);
        EXPECT_LE(asked.size(), 3u);
    }
    EXPECT_NE(HelpMissingText(kLangEnglish, "prog", "web").find(P("web", "help.html")),
              std::string::npos);
    EXPECT_NE(HelpMissingText(0, "prog", "web").find(P("prog", "Telegate.doc")), std::string::npos);
}

TEST(OperatorCommandsTest, EveryMenuItemGetsItsOwnMnemonic) {
    const struct {
        std::vector<std::string> in;
        std::vector<std::string> out;
    } cases[] = {
        {{"Устройство", "Сервер", "Журнал", "Помощь", "О программе"},
         {"&Устройство", "&Сервер", "&Журнал", "&Помощь", "&О программе"}},
        // Letters compared without case; a taken one moves on to the next letter.
        {{"Device", "OPC Server", "Journal", "Help", "About Program"},
         {"&Device", "&OPC Server", "&Journal", "&Help", "&About Program"}},
        {{"Добавить", "Изменить параметры", "Удалить", "Временно включить"},
         {"&Добавить", "&Изменить параметры", "&Удалить", "&Временно включить"}},
        {{"Add new Device", "Change Device", "Delete Device", "Disable logging"},
         {"&Add new Device", "&Change Device", "&Delete Device", "D&isable logging"}},
        {{"Зарегистрировать", "Разрегистрировать"}, {"&Зарегистрировать", "&Разрегистрировать"}},
        {{"ab", "AB", "ba"}, {"&ab", "A&B", "ba"}},
        // A mark of its own is kept and its letter is taken for the others.
        {{"Выход", "В&ыход", "Восстановить"}, {"&Выход", "В&ыход", "В&осстановить"}},
        {{"ёж", "Ёлка"}, {"&ёж", "Ё&лка"}},
        {{"", "1 2"}, {"", "&1 2"}},
    };
    for (const auto& c : cases) EXPECT_EQ(WithMnemonics(c.in), c.out) << c.in[0];
    EXPECT_EQ(WithoutMnemonic("&Журнал"), "Журнал");
    EXPECT_EQ(WithoutMnemonic("Save && E&xit"), "Save & Exit");
}

TEST(OperatorCommandsTest, TheWindowOpensInsideTheWorkArea) {
    const TScreenRect screen{0, 0, 1920, 1040};     // task bar below
    const TScreenRect small{0, 0, 1024, 728};       // 1024 x 768 less the task bar
    const TScreenRect right{1920, 40, 3200, 1024};  // a second screen, task bar above
    const struct {
        int w, h;
        TScreenRect work, expected;
    } cases[] = {
        {1093, 735, screen, {413, 152, 1506, 887}}, {1093, 735, small, {0, 0, 1024, 728}},
        {1640, 1103, small, {0, 0, 1024, 728}},  // 150 %: larger than the screen
        {800, 900, small, {112, 0, 912, 728}},      {1093, 735, right, {2013, 164, 3106, 899}},
        {0, 0, small, {512, 364, 512, 364}},
    };
    for (const auto& c : cases) {
        const TScreenRect r = FitToWorkArea(c.w, c.h, c.work);
        EXPECT_EQ(r, c.expected) << c.w << "x" << c.h << ": " << r.Left << "," << r.Top << ","
                                 << r.Right << "," << r.Bottom;
        EXPECT_GE(r.Left, c.work.Left);
        EXPECT_GE(r.Top, c.work.Top);
        EXPECT_LE(r.Right, c.work.Right);
        EXPECT_LE(r.Bottom, c.work.Bottom);
    }
}

}  // namespace
}  // namespace telegate
