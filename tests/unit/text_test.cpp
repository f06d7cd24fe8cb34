#include <gtest/gtest.h>

#include "shared/address.h"
#include "shared/commands.h"
#include "shared/error_text.h"
#include "shared/text.h"

using namespace zantor;

TEST(Words, GetWordCountsFromOneAndKeepsEmptyWords) {
    EXPECT_EQ(GetWord("x y z", 2), "y");
    EXPECT_EQ(GetWord("x y z", 0), "");
    EXPECT_EQ(GetWord("x y z", -1), "");
    EXPECT_EQ(GetWord("x y z", 4), "");
    EXPECT_EQ(GetWord("a  b", 2), "");
    EXPECT_EQ(GetWord("a  b", 3), "b");
    EXPECT_EQ(GetWord("", 1), "");
    EXPECT_EQ(GetWord("only", 1), "only");
}

TEST(Words, WordsCountIsOneMoreThanSpaces) {
    EXPECT_EQ(WordsCount(""), 1);
    EXPECT_EQ(WordsCount("a b "), 3);
    EXPECT_EQ(WordsCount("a  b"), 3);
    EXPECT_EQ(WordsCount("0 -2"), 2);
}

TEST(Words, GetWordsJoinsRangesAndDropsLeadingEmptyWords) {
    EXPECT_EQ(GetWords("staf 10.0.0.1 0 1", 2, -1), "10.0.0.1 0 1");
    EXPECT_EQ(GetWords("x y z", 3, 2), "");
    EXPECT_EQ(GetWords("x y z", 0, 2), "x y");
    EXPECT_EQ(GetWords("x y z", -5, -1), "x y z");
    // Two spaces after the code: the empty word adds no leading space.
    EXPECT_EQ(GetWords("staf  10.0.0.1 0", 2, -1), "10.0.0.1 0");
    // Empty words inside are kept as empty words.
    EXPECT_EQ(GetWords("a b  c", 2, -1), "b  c");
    EXPECT_EQ(GetWords("rl", 2, -1), "");
}

TEST(Words, RemoveSpacesAndNameOfPath) {
    EXPECT_EQ(RemoveSpaces(" 10. 0.0 .1 "), "10.0.0.1");
    EXPECT_EQ(NameOfPath("D:\\dir/sub\\file.exe"), "file.exe");
    EXPECT_EQ(NameOfPath("file.exe"), "file.exe");
    EXPECT_EQ(NameOfPath("D:\\dir\\"), "");
}

TEST(Numbers, StrToIntAcceptsDecimalIn32BitsOnly) {
    EXPECT_EQ(StrToInt("0"), 0);
    EXPECT_EQ(StrToInt("-2147483648"), -2147483648LL);
    EXPECT_EQ(StrToInt("2147483647"), 2147483647);
    EXPECT_EQ(StrToInt("007"), 7);
    EXPECT_EQ(StrToInt("+5"), 5);
    for (const char* bad : {"", "-", "+", " 1", "1 ", "1a", "0x10", "2147483648", "-2147483649",
                            "99999999999999999999", "1.5"})
        EXPECT_THROW(StrToInt(bad), ConvertError) << bad;
    EXPECT_THROW(StrToNonNegative("-1"), ConvertError);
    EXPECT_EQ(StrToNonNegative("2147483647"), 2147483647);
}

TEST(Addresses, DottedTextRoundTripsThroughMemoryOrder) {
    const IPAddr a = MakeIP(192, 168, 1, 2);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&a);
    EXPECT_EQ(bytes[0], 192);
    EXPECT_EQ(bytes[3], 2);
    EXPECT_EQ(IPToStr(a), "192.168.1.2");
    EXPECT_EQ(StrToIP("192.168.1.2"), a);
    EXPECT_EQ(IPToStr(0), "0.0.0.0");
    EXPECT_EQ(IPToStr(0xFFFFFFFFu), "255.255.255.255");
    EXPECT_EQ(IPToStr(StrToIP("010.000.0.5")), "10.0.0.5");
    for (const char* bad : {"1.2.3", "1.2.3.4.5", "1.2.3.256", "1..3.4", "", "a.b.c.d", "1.2.3.-1",
                            "1.2.3.4 ", "...."})
        EXPECT_THROW(StrToIP(bad), ConvertError) << bad;
}

TEST(ErrorText, CrLfPairsAreDeletedAndUnknownCodesFallBack) {
    EXPECT_EQ(JoinLines("line one\r\n"), "line one");
    EXPECT_EQ(JoinLines("first\r\nsecond\r\n"), "firstsecond");
    EXPECT_EQ(JoinLines("lone\rcr\nlf"), "lone\rcr\nlf");
    // The texts are the platform's (Windows has its own), one line each.
    const std::string busy = SysErrorText(platform::kErrorPipeBusy);
    EXPECT_FALSE(busy.empty());
    EXPECT_EQ(busy.find_first_of("\r\n"), std::string::npos) << busy;
    EXPECT_EQ(SysErrorText(4242), "Unknown error 4242.");
    platform::SetLastError(4242);
    EXPECT_EQ(LastErrorText(), "");
    platform::SetLastError(platform::kErrorBrokenPipe);
    EXPECT_EQ(LastErrorText(), SysErrorText(platform::kErrorBrokenPipe));
}

TEST(CommandTable, LookupIsExactAndRowsMatchIds) {
    EXPECT_EQ(FindCommand("rl"), 10);
    EXPECT_EQ(FindCommand("gig"), 0);
    EXPECT_EQ(FindCommand("staf"), 6);
    EXPECT_EQ(FindCommand("RL"), -1);
    EXPECT_EQ(FindCommand("STAF"), -1);
    EXPECT_EQ(FindCommand(""), -1);
    EXPECT_EQ(FindCommand("rl "), -1);
    for (std::size_t i = 0; i < CommandTable.size(); ++i)
        EXPECT_EQ(CommandTable[i].Id, static_cast<int>(i));
}
