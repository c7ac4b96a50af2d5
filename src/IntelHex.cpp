#include "IntelHex.h"

#include <cstdlib>
#include <cstring>

// Byte at characters at and at + 1, for positions known to lie inside the line.
static uint8_t byteAt(const char *line, size_t at) { return u8_from_hex_string(line + at); }

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
    return intelHexString[0] == '\0' ? 0 : byteAt(intelHexString, 1);
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
    if (intelHexString[0] != ':') return INTEL_HEX_STRING_INVALID;
    // Start code, count, address, type and checksum: 11 characters, plus two per data byte.
    const size_t length = std::strlen(intelHexString);
    if (length < 11) return INTEL_HEX_STRING_INVALID;
    const uint8_t n = byteAt(intelHexString, 1);
    if (length < 11 + 2 * (size_t)n) return INTEL_HEX_STRING_INVALID;
    const uint8_t expected = byteAt(intelHexString, length - 2);
    const uint8_t calculated = u8_checksum_from_hex_string(intelHexString + 1, (uint8_t)(n + 4));
    return expected == calculated ? INTEL_HEX_STRING_OK : INTEL_HEX_STRING_INVALID;
}

uint16_t intel_hex_line_address(const char *intelHexString) {
    if (!intel_hex_line_is_valid(intelHexString)) return 0;
    return (uint16_t)(256 * byteAt(intelHexString, 3) + byteAt(intelHexString, 5));
}

uint8_t *new_u8_data_array_from_intel_hex_string(const char *intelHexString) {
    if (!intel_hex_line_is_valid(intelHexString)) return nullptr;
    const uint8_t n = byteAt(intelHexString, 1);
    uint8_t *data = (uint8_t *)std::malloc(n ? n : 1); // an empty record still gets an array
    if (data == nullptr) return nullptr;
    for (uint8_t i = 0; i < n; ++i) data[i] = byteAt(intelHexString, 9 + 2 * (size_t)i);
    return data;
}
