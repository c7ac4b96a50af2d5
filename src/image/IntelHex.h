#ifndef INTELHEX_H_
#define INTELHEX_H_

#include "base/StringOperations.h"

#include <cstddef>
#include <cstdint>

// One Intel HEX line: ":" then fields at fixed positions, the checksum in the last two
// characters, no line end. A line shorter than its fields is invalid; nothing is read
// beyond its end.

#define INTEL_HEX_STRING_OK 1
#define INTEL_HEX_STRING_INVALID 0

#define INTEL_HEX_RECORD_DATA 0
#define INTEL_HEX_RECORD_EOF 1
#define INTEL_HEX_RECORD_EXTENDED_SEGMENT_ADDRESS 2
#define INTEL_HEX_RECORD_START_SEGMENT_ADDRESS 3
#define INTEL_HEX_RECORD_EXTENDED_LINEAR_ADDRESS 4
#define INTEL_HEX_RECORD_START_LINEAR_ADDRESS 5

// Two's complement of the sum of the first numberOfBytes bytes written in hexString
// (stops at the string's end).
uint8_t u8_checksum_from_hex_string(const char *hexString, uint8_t numberOfBytes);
uint8_t intel_hex_start_code_present(const char *intelHexString);
// Byte count n (characters 1-2); no validity test.
uint8_t intel_hex_line_data_length(const char *intelHexString);
// Address (characters 3-6) of a valid line; 0 for an invalid one.
uint16_t intel_hex_line_address(const char *intelHexString);
// Record type from character 8 alone (character 7 is not read); no validity test.
uint8_t intel_hex_line_record_type(const char *intelHexString);
uint8_t intel_hex_line_is_data_record(const char *intelHexString);
uint8_t intel_hex_line_is_extended_linear_address_record(const char *intelHexString);
// INTEL_HEX_STRING_OK when the start code is there, the line holds its fields and the
// checksum in its last two characters matches; else INTEL_HEX_STRING_INVALID.
uint8_t intel_hex_line_is_valid(const char *intelHexString);
// A new array (release with free) of the n data bytes of a valid line; null when invalid.
uint8_t *new_u8_data_array_from_intel_hex_string(const char *intelHexString);

// One line read at once: its fields and data.
typedef struct {
    uint8_t length;   // byte count n
    uint16_t address; // characters 3-6
    uint8_t type;     // from character 8 alone, as intel_hex_line_record_type
    uint8_t data[255];
} IntelHexRecord;

// The validity test of intel_hex_line_is_valid on the first `length` characters of line, and,
// when valid, the record's fields in *record: one pass where the accessors take three.
uint8_t intel_hex_line_decode(const char *line, size_t length, IntelHexRecord *record);
// The same for the line ":" followed by the `length` characters of fields.
uint8_t intel_hex_fields_decode(const char *fields, size_t length, IntelHexRecord *record);

#endif
