#include <gtest/gtest.h>

#include "support/Notifier.h"
#include "support/NameList.h"

namespace telegate {
namespace {

TEST(NameList, AddAndLookups) {
    TNameList l(8);
    EXPECT_TRUE(l.Add(1001, "ПС Северная"));
    EXPECT_TRUE(l.Add(1002, "Pump"));
    EXPECT_TRUE(l.Add(1001, "duplicate id"));
    EXPECT_EQ(l.FCount, 3);
    EXPECT_EQ(l.Size, 8);
    EXPECT_EQ(l.GetId(0), 1001);
    EXPECT_EQ(l.GetId(1), 1002);
    EXPECT_EQ(l.GetName(1), "Pump");
    EXPECT_EQ(l.FindIdInd(1001), 0);  // first of two
    EXPECT_EQ(l.FindIdInd(1002), 1);
    EXPECT_EQ(l.FindIdName(1001), "ПС Северная");
    EXPECT_EQ(l.FindIdInd(77), -1);
}

TEST(NameList, OutOfRangeAnswers) {
    TNameList l(4);
    l.Add(5, "a");
    EXPECT_EQ(l.GetId(-1), -1);
    EXPECT_EQ(l.GetId(1), -1);  // inside capacity but not in use
    EXPECT_EQ(l.GetId(4), -1);
    EXPECT_EQ(l.GetName(1), "TNameList Error IND");
    EXPECT_EQ(l.GetName(-3), "TNameList Error IND");
    EXPECT_EQ(l.FindIdName(6), "TNameList Error ID");
    ObjList base(2);
    EXPECT_EQ(base.GetName(0), "ObjList Error IND");
}

TEST(NameList, FindNameIgnoresCaseIncludingCyrillic) {
    TNameList l(8);
    l.Add(1, "Pump Main");
    l.Add(2, "Подстанция Ёлкино");
    l.Add(3, "ґрунт");
    EXPECT_EQ(l.FindNameInd("pump main"), 0);
    EXPECT_EQ(l.FindNameInd("PUMP MAIN"), 0);
    EXPECT_EQ(l.FindNameInd("ПОДСТАНЦИЯ ёЛКИНО"), 1);
    EXPECT_EQ(l.FindNameInd("Ґрунт"), 2);
    EXPECT_EQ(l.FindNameInd("Pump"), -1);        // whole name only
    EXPECT_EQ(l.FindNameInd("Pump Main "), -1);  // no trimming
    EXPECT_EQ(l.FindNameInd(""), -1);
    l.Add(4, "");
    EXPECT_EQ(l.FindNameInd(""), 3);
}

TEST(NameList, InvalidUtf8ComparesOctetByOctet) {
    TNameList l(4);
    l.Add(1, std::string("\xCF\xD1", 2));  // Windows-1251 octets, not UTF-8
    EXPECT_EQ(l.FindNameInd(std::string("\xCF\xD1", 2)), 0);
    EXPECT_EQ(l.FindNameInd(std::string("\xEF\xF1", 2)), -1);
    EXPECT_EQ(l.FindNameInd(std::string("\xCF", 1)), -1);
}

TEST(NameList, NinthAddRefusedWithMessage) {
    TRecordingNotifier n;
    TNameList l(8, &n);
    for (int i = 0; i < 8; ++i) EXPECT_TRUE(l.Add(i, "n" + std::to_string(i)));
    EXPECT_TRUE(n.messages.empty());
    EXPECT_FALSE(l.Add(8, "n8"));
    ASSERT_EQ(n.messages.size(), 1u);
    EXPECT_EQ(n.messages[0], "class=TNameList.Add(). Count=8 Мала размерность.");
    EXPECT_EQ(l.FCount, 8);
    EXPECT_EQ(l.FindIdInd(8), -1);
    EXPECT_EQ(l.name.size(), 8u);  // never grown
}

TEST(NameList, ZeroCapacityAndClear) {
    TNameList none(0);
    EXPECT_FALSE(none.Add(1, "x"));  // no notifier: refused quietly
    TNameList l(2);
    l.Add(1, "a");
    l.Clear();
    EXPECT_EQ(l.FCount, 0);
    EXPECT_EQ(l.FindIdInd(1), -1);
    EXPECT_TRUE(l.Add(2, "b"));
    EXPECT_EQ(l.GetName(0), "b");
}

}  // namespace
}  // namespace telegate
