// Reading single Intel HEX lines and hex digits.
#include "image/IntelHex.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct LineCase {
    const char *line;
    uint8_t valid;
    uint8_t length;
    uint16_t address;
    uint8_t type;
    uint8_t isData;
    uint8_t isExtendedLinear;
    std::vector<uint8_t> data; // expected array of a valid line
};

const LineCase kLines[] = {
    {":04000000DEADBEEFC4", 1, 4, 0x0000, 0, 1, 0, {0xDE, 0xAD, 0xBE, 0xEF}},
    {":04000000deadbeefc4", 1, 4, 0x0000, 0, 1, 0, {0xDE, 0xAD, 0xBE, 0xEF}},
    {":0410FF00DEADBEEFB5", 1, 4, 0x10FF, 0, 1, 0, {0xDE, 0xAD, 0xBE, 0xEF}},
    {":020000040001F9", 1, 2, 0, 4, 0, 1, {0x00, 0x01}},
    {":00000001FF", 1, 0, 0, 1, 0, 0, {}},
    // Only the second type digit is read: type field 14 counts as an address record.
    {":020000140001E9", 1, 2, 0, 4, 0, 1, {0x00, 0x01}},
    // Anything after the checksum takes its place: invalid, address 0, no array.
    {":04000000DEADBEEFC4\r", 0, 4, 0, 0, 1, 0, {}},
    {":04000000DEADBEEFC4 ", 0, 4, 0, 0, 1, 0, {}},
    {"x04000000DEADBEEFC4", 0, 4, 0, 0, 1, 0, {}},
    {":04000000DEADBEEFC5", 0, 4, 0, 0, 1, 0, {}},
    // Shorter than its fields: invalid, and nothing is read beyond the text.
    {":04000000DEADBE", 0, 4, 0, 0, 1, 0, {}},
    {":0000000", 0, 0, 0, 0xFF, 0, 0, {}},
    {":", 0, 0, 0, 0xFF, 0, 0, {}},
    {"", 0, 0, 0, 0xFF, 0, 0, {}},
};

TEST(IntelHexLine, FieldsValidityAndDataOfEachLine) {
    for (const LineCase &c : kLines) {
        // An exact-size heap copy lets the sanitizers catch any read past the text.
        std::string text = c.line;
        char *line = (char *)std::malloc(text.size() + 1);
        std::copy(text.c_str(), text.c_str() + text.size() + 1, line);
        SCOPED_TRACE(text);
        EXPECT_EQ(intel_hex_line_is_valid(line), c.valid);
        EXPECT_EQ(intel_hex_line_data_length(line), c.length);
        EXPECT_EQ(intel_hex_line_address(line), c.address);
        EXPECT_EQ(intel_hex_line_record_type(line), c.type);
        EXPECT_EQ(intel_hex_line_is_data_record(line), c.isData);
        EXPECT_EQ(intel_hex_line_is_extended_linear_address_record(line), c.isExtendedLinear);
        uint8_t *data = new_u8_data_array_from_intel_hex_string(line);
        if (c.valid) {
            ASSERT_NE(data, nullptr); // present also for an empty record
            EXPECT_EQ(std::vector<uint8_t>(data, data + c.length), c.data);
        } else {
            EXPECT_EQ(data, nullptr);
        }
        std::free(data);
        std::free(line);
    }
}

TEST(IntelHexLine, ByteCountsOf252AndAboveWrapTheChecksumSpan) {
    // n + 4 is taken modulo 256: with n = 0xFC only the count byte and nothing else is summed
    // beyond the wrap, so the checksum of 0 bytes (0) must be in the last two characters.
    std::string line = ":FC000000" + std::string(2 * 0xFC, '0') + "00";
    EXPECT_EQ(intel_hex_line_is_valid(line.c_str()), 1);
}

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

TEST(HexDigits, ChecksumIsTwosComplementOfTheByteSum) {
    EXPECT_EQ(u8_checksum_from_hex_string("02000004", 4), 0xFA);
    EXPECT_EQ(u8_checksum_from_hex_string("", 4), 0);
    EXPECT_EQ(u8_checksum_from_hex_string("FF01", 2), 0);
    EXPECT_EQ(u8_checksum_from_hex_string("01", 200), 0xFF); // stops at the text's end
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

} // namespace
