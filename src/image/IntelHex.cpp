#include "image/IntelHex.h"

#include <cstdlib>
#include <cstring>

namespace {
// The byte two characters write, for every pair of characters: one look-up a byte.
struct PairTable {
    uint8_t value[65536] = {};
    constexpr PairTable() {
        constexpr std::array<uint8_t, 256> digit = hexDigitValues();
        for (int pair = 0; pair < 65536; ++pair) value[pair] = (uint8_t)(digit[pair >> 8] * 16 + digit[pair & 0xFF]);
    }
};
constexpr PairTable kPairs;
} // namespace

// Byte at characters at and at + 1, for positions known to lie inside the text.
static uint8_t byteAt(const char *text, size_t at) {
    return kPairs.value[(uint8_t)text[at] << 8 | (uint8_t)text[at + 1]];
}

uint8_t intel_hex_fields_decode(const char *fields, size_t length, IntelHexRecord *record) {
    // Count, address, type and checksum: 10 characters, plus two per data byte.
    if (length < 10) return INTEL_HEX_STRING_INVALID;
    const uint8_t n = byteAt(fields, 0);
    if (length < 10 + 2 * (size_t)n) return INTEL_HEX_STRING_INVALID;
    uint8_t bytes[4 + 255];
    uint8_t calculated = 0;
    // n + 4 bytes are summed, counted in 8 bits; the checksum is whatever ends the line.
    const uint8_t summed = (uint8_t)(n + 4);
    for (size_t i = 0; i < 4 + (size_t)n; ++i) {
        bytes[i] = byteAt(fields, 2 * i);
        if (i < summed) calculated = (uint8_t)(calculated - bytes[i]);
    }
    if (calculated != byteAt(fields, length - 2)) return INTEL_HEX_STRING_INVALID;
    record->length = n;
    record->address = (uint16_t)(bytes[1] * 256 + bytes[2]);
    record->type = (uint8_t)(fields[7] - 48); // character 8 of the line: the second type digit alone
    std::memcpy(record->data, bytes + 4, n);
    return INTEL_HEX_STRING_OK;
}

uint8_t intel_hex_line_decode(const char *line, size_t length, IntelHexRecord *record) {
    if (length < 1 || line[0] != ':') return INTEL_HEX_STRING_INVALID;
    return intel_hex_fields_decode(line + 1, length - 1, record);
}

uint8_t u8_checksum_from_hex_string(const char *hexString, uint8_t numberOfBytes) {
    uint8_t checksum = 0;
    for (uint8_t i = 0; i < numberOfBytes && hexString[0] != '\0'; ++i, hexString += 2) {
        checksum = (uint8_t)(checksum - u8_from_hex_string(hexString));
        if (hexString[1] == '\0') break;
    }
    return checksum;
}

uint8_t intel_hex_start_code_present(const char *intelHexString) {
    return intelHexString[0] == ':' ? 1 : 0;
}

uint8_t intel_hex_line_data_length(const char *intelHexString) {
    return intelHexString[0] == '\0' ? 0 : u8_from_hex_string(intelHexString + 1);
}

// A line too short to hold character 8 has no type: 0xFF, neither data nor address.
uint8_t intel_hex_line_record_type(const char *intelHexString) {
    for (int i = 0; i < 9; ++i)
        if (intelHexString[i] == '\0') return 0xFF;
    return (uint8_t)(intelHexString[8] - 48);
}

uint8_t intel_hex_line_is_data_record(const char *intelHexString) {
    return intel_hex_line_record_type(intelHexString) == INTEL_HEX_RECORD_DATA ? 1 : 0;
}

uint8_t intel_hex_line_is_extended_linear_address_record(const char *intelHexString) {
    return intel_hex_line_record_type(intelHexString) == INTEL_HEX_RECORD_EXTENDED_LINEAR_ADDRESS ? 1 : 0;
}

uint8_t intel_hex_line_is_valid(const char *intelHexString) {
    IntelHexRecord record;
    return intel_hex_line_decode(intelHexString, std::strlen(intelHexString), &record);
}

uint16_t intel_hex_line_address(const char *intelHexString) {
    IntelHexRecord record;
    return intel_hex_line_decode(intelHexString, std::strlen(intelHexString), &record) ? record.address : 0;
}

uint8_t *new_u8_data_array_from_intel_hex_string(const char *intelHexString) {
    IntelHexRecord record;
    if (!intel_hex_line_decode(intelHexString, std::strlen(intelHexString), &record)) return nullptr;
    uint8_t *data = (uint8_t *)std::malloc(record.length ? record.length : 1); // empty, not null
    if (data != nullptr) std::memcpy(data, record.data, record.length);
    return data;
}
