// Hex digits, splitting in place, and the decimal numbers every option and entry is read as.
#include "base/StringOperations.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

TEST(HexDigits, ValuesOfDigitsAndNonDigits) {
    const struct {
        char c;
        uint8_t value;
    } cases[] = {{'0', 0}, {'9', 9}, {'A', 10}, {'F', 15}, {'a', 10}, {'f', 15}, {'G', 0}, {'g', 0},
                 {' ', 0}, {':', 0}, {(char)0xC1, 0}};
    for (auto c : cases) EXPECT_EQ(int_from_hex_char(c.c), c.value) << c.c;
}

TEST(HexDigits, BytesFromTwoOneOrNoCharacters) {
    const struct {
        const char *text;
        uint8_t value;
    } cases[] = {{"A", 10}, {"", 0}, {"G1", 1}, {"ff", 255}, {"1F2", 0x1F}, {"7", 7}};
    for (auto c : cases) EXPECT_EQ(u8_from_hex_string(c.text), c.value) << c.text;
}

TEST(HexDigits, ArrayFillsFromTheLastCharacter) {
    uint8_t out[4] = {};
    EXPECT_EQ(u8_array_from_hex_string(out, 4, "DEADBEEF"), 1);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0xDE, 0xAD, 0xBE, 0xEF}));
    uint8_t odd[2] = {};
    EXPECT_EQ(u8_array_from_hex_string(odd, 2, "ABC"), 1);
    EXPECT_EQ(odd[0], 0xAB);
    EXPECT_EQ(odd[1], 0xC0); // the last character of an odd text is a high half
    uint8_t small[1] = {0x5A};
    EXPECT_EQ(u8_array_from_hex_string(small, 1, "ABC"), 0);
    EXPECT_EQ(small[0], 0x5A); // nothing written
}

TEST(HexDigits, CapitalizeOnlyLowerCaseLetters) {
    EXPECT_EQ(capitalizeChar('a'), 'A');
    EXPECT_EQ(capitalizeChar('z'), 'Z');
    EXPECT_EQ(capitalizeChar('A'), 'A');
    EXPECT_EQ(capitalizeChar('1'), '1');
    EXPECT_EQ(capitalizeChar('{'), '{');
}

TEST(StrSplit, PiecesBetweenDelimitersInPlace) {
    const struct {
        const char *text;
        std::vector<std::string> pieces;
    } cases[] = {
        {"a:b::c:", {"a", "b", "c"}},
        {"::a", {"a"}},
        {"abc", {"abc"}},
        {"", {}},
        {":::", {}},
    };
    for (auto &c : cases) {
        std::string text = c.text;
        char **list = str_split(text.data(), ":");
        ASSERT_NE(list, nullptr);
        std::vector<std::string> got;
        for (int i = 0; list[i]; ++i) got.push_back(list[i]);
        EXPECT_EQ(got, c.pieces) << c.text;
        std::free(list);
    }
    EXPECT_EQ(str_split(nullptr, ":"), nullptr);
    char text[] = "a";
    EXPECT_EQ(str_split(text, nullptr), nullptr);
}

TEST(StrSplit, LeadingDelimitersStayAndTheOthersBecomeZeros) {
    char text[] = "::a:b";
    char **list = str_split(text, ":");
    EXPECT_EQ(std::string(text, 5), std::string("::a\0b", 5));
    std::free(list);
}

TEST(DecimalNumbers, DigitsOnlyWithinTheirRange) {
    int value = -1;
    EXPECT_TRUE(parseDecimal("115200", 1, 2147483647, value));
    EXPECT_EQ(value, 115200);
    for (const char *text : {"", "-1", "+5", " 5", "5 ", "0x10", "2147483648", "99999999999999999999"})
        EXPECT_FALSE(parseDecimal(text, 1, 2147483647, value)) << text;
    EXPECT_EQ(value, 115200); // unchanged by a refusal
}

// A run's command line, in its log and its report, reads back whole: a path with a space, a
// line end or a quote stays one argument; a plain one is written as it is.
TEST(CommandLine, ArgumentsReadBackWhole) {
    const std::vector<std::vector<std::string>> cases = {
        {"FwUpgrade", "--port", "/dev/ttyUSB0", "--as-com", "3"},
        {"FwUpgrade", "--port", "/dev/serial/by-path/slot 1", "--log", "a\nb\r\"q\" \\x"},
        {"FwUpgrade", "--log-dir", "C:\\logs\\Pr\xc3\xbc" "fstand", "", "\x1b[2J"}};
    for (const auto &arguments : cases) EXPECT_EQ(commandLineArguments(commandLineText(arguments)), arguments);
    EXPECT_EQ(commandLineText(cases[0]), "FwUpgrade --port /dev/ttyUSB0 --as-com 3");
    EXPECT_EQ(commandLineText({"--port", "a b\n"}), "--port \"a b\\n\"");
}

} // namespace
