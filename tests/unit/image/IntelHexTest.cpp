// Reading single Intel HEX lines and their checksums.
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

TEST(HexDigits, ChecksumIsTwosComplementOfTheByteSum) {
    EXPECT_EQ(u8_checksum_from_hex_string("02000004", 4), 0xFA);
    EXPECT_EQ(u8_checksum_from_hex_string("", 4), 0);
    EXPECT_EQ(u8_checksum_from_hex_string("FF01", 2), 0);
    EXPECT_EQ(u8_checksum_from_hex_string("01", 200), 0xFF); // stops at the text's end
}

} // namespace
