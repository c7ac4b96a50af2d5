// Intel HEX text to the flat 0xFF-filled image in gDataConcatenated.
#include "image/Flatten.h"

#include "base/Console.h"
#include "image/IntelHex.h"

#include <cstdlib>
#include <cstring>

uint8_t *gDataConcatenated = nullptr;
int gDataConcatenatedLenght = 0;
uint32_t gDataConcatenatedCheckSum = 0;

static const size_t kLineBufferSize = 100;

uint8_t *allocateDataConcatenated() {
    uint8_t *buffer = (uint8_t *)platformAllocateLarge(CONCAT_BUFFER_SIZE + 16);
    if (buffer != nullptr) {
        std::memset(buffer, 0xFF, CONCAT_BUFFER_SIZE);
        std::memset(buffer + CONCAT_BUFFER_SIZE, 0, 16);
    }
    return buffer;
}

BOOL StrRemoveNL(char *str, char ch) {
    const size_t length = std::strlen(str); // walk to the zero that ended the text on entry
    for (size_t i = 0; i < length; ++i)
        if (str[i] == '\r' || str[i] == '\n') str[i] = ch;
    return TRUE;
}

uint32_t computeDataConcatenatedCheckSum() {
    uint32_t checksum = 0;
    for (int index = 0; index < gDataConcatenatedLenght; ++index) checksum -= gDataConcatenated[index];
    gDataConcatenatedCheckSum = checksum;
    return checksum;
}

// The line as the text has it (":" and the piece up to its first line end), verbatim.
static void reportInvalidLine(const char *piece, size_t length) {
    consoleLine("\r\n intel_hex_line_is_valid \r");
    consoleWrite(":", 1);
    consoleWrite(piece, length);
    consoleLine("\r");
}

// Places one valid record. False when it cannot be taken: an address record without its two
// bytes, or data reaching beyond the buffer (never written outside it).
static bool placeRecord(const IntelHexRecord &record, uint32_t &memory_offset) {
    if (record.type == INTEL_HEX_RECORD_EXTENDED_LINEAR_ADDRESS) {
        if (record.length < 2) return false;
        memory_offset = (uint32_t)record.data[1] * 65536; // bits 24-31 are ignored: a 16 MiB window
        return true;
    }
    if (record.type != INTEL_HEX_RECORD_DATA) return true;
    const uint32_t address = record.address + memory_offset;
    if (address + record.length > (uint32_t)CONCAT_BUFFER_SIZE) return false;
    std::memcpy(gDataConcatenated + address, record.data, record.length);
    // The image ends after its highest data byte, so every byte is checksummed and sent.
    if (record.length > 0 && (int)(address + record.length) > gDataConcatenatedLenght)
        gDataConcatenatedLenght = (int)(address + record.length);
    return true;
}

// Walks the pieces of the text (what lies between colons) and places each line. With
// `consumed` (the same text, writable) every colon that ends a piece becomes a zero, as
// splitting the text in place leaves it. No list of pieces is built: one pass, no allocation.
static BOOL flatten(const char *text, char *consumed) {
    std::memset(gDataConcatenated, 0xFF, CONCAT_BUFFER_SIZE);
    gDataConcatenatedLenght = 0;
    if (text == nullptr) {
        consoleLine("\r\nNUL extractedHexLine \r");
        return FALSE;
    }
    uint32_t memory_offset = 0;
    for (const char *piece = text + std::strspn(text, ":"); *piece != '\0';) {
        // The line is ":" and the piece up to its first line end; what follows is ignored.
        // It must fit the line buffer whole: a longer line is refused, never cut into a
        // shorter one that might pass.
        const size_t lineLength = std::strcspn(piece, "\r\n:");
        IntelHexRecord record;
        if (lineLength + 2 > kLineBufferSize || !intel_hex_fields_decode(piece, lineLength, &record) ||
            !placeRecord(record, memory_offset)) {
            reportInvalidLine(piece, lineLength);
            return FALSE;
        }
        // On to the next colon: usually right behind the line end.
        const char *end = piece + lineLength;
        while (*end == '\r' || *end == '\n') ++end;
        if (*end != ':') end += std::strcspn(end, ":");
        if (*end == '\0') break;
        if (consumed != nullptr) consumed[end - text] = '\0';
        piece = end + 1;
        if (*piece == ':') piece += std::strspn(piece, ":");
    }
    return TRUE;
}

BOOL ValidateFwAndConcatenateData(char *gHexData) { return flatten(gHexData, gHexData); }

BOOL flattenImageText(const char *text) { return flatten(text, nullptr); }
