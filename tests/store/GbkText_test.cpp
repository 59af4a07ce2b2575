#include "store/GbkText.h"

#include <gtest/gtest.h>

#include "store/Items.h"

TEST(GbkText, ConvertsChineseBothWays) {
    std::string gbk = Utf8ToGbk("温度控制系统");
    EXPECT_EQ(gbk.size(), 12u);
    EXPECT_EQ(gbk.substr(0, 2), "\xCE\xC2");  // 温
    EXPECT_EQ(GbkToUtf8(gbk), "温度控制系统");
    EXPECT_EQ(Utf8ToGbk("COM1 A相"), "COM1 A\xCF\xE0");
    EXPECT_EQ(GbkByteLength("1号主变"), 7u);
}

TEST(GbkText, ReplacesWhatCannotBeConverted) {
    EXPECT_EQ(Utf8ToGbk("a\xF0\x9F\x98\x80z"), "a?z");  // an emoji has no GBK form
    EXPECT_EQ(Utf8ToGbk("a\xFFz"), "a?z");              // not UTF-8 at all
    EXPECT_EQ(GbkToUtf8("a\xFF"), "a\xEF\xBF\xBD");
    EXPECT_EQ(GbkToUtf8("a\xCE"), "a\xEF\xBF\xBD");  // a lead byte without its trail byte
}

TEST(GbkText, CutsOnCharacterBoundaries) {
    std::string ten = Utf8ToGbk("一二三四五六七八九十");
    EXPECT_EQ(CutGbk(ten, 20), ten);
    EXPECT_EQ(CutGbk(ten, 19), ten.substr(0, 18));  // the 10th character is dropped whole
    std::string mixed = "a" + ten;                  // 21 bytes
    EXPECT_EQ(CutGbk(mixed, 20), mixed.substr(0, 19));
    EXPECT_EQ(CutGbk(std::string(21, 'x'), 20), std::string(20, 'x'));
    EXPECT_EQ(CutGbk("", 20), "");
    EXPECT_EQ(CutGbk("ab\xCE", 20), "ab");  // a dangling lead byte never survives
}

TEST(GbkText, ShortStringsKeepTheirByteLimit) {
    TShortString<20> s;
    s.AssignUtf8("一二三四五六七八九十一");
    EXPECT_EQ(s.Length, 20);
    EXPECT_EQ(s.Utf8(), "一二三四五六七八九十");
    s.AssignUtf8("abc");
    EXPECT_EQ(s.Length, 3);
    EXPECT_EQ(s.Text[3], 0);  // bytes past the length are cleared
    EXPECT_EQ(s.Utf8(), "abc");
}
