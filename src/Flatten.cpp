// Intel HEX text to the flat 0xFF-filled image in gDataConcatenated.
#include "Console.h"
#include "FwUpgrade.h"
#include "IntelHex.h"

#include <cstdlib>
#include <cstring>

static const size_t kLineBufferSize = 100;

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
    consolePrint("\r\n intel_hex_line_is_valid \r");
    consolePrint("\n");
    consoleWrite(":", 1);
    consoleWrite(piece, length);
    consolePrint("\r");
    consolePrint("\n");
}

// Places one valid line. False when the line cannot be taken: an address record without its
// two bytes, or data reaching beyond the buffer (never written outside it).
static bool placeRecord(const char *line, uint32_t &memory_offset) {
    if (intel_hex_line_is_extended_linear_address_record(line)) {
        if (intel_hex_line_data_length(line) < 2) return false;
        uint8_t *data = new_u8_data_array_from_intel_hex_string(line);
        if (data == nullptr) return false;
        memory_offset = (uint32_t)data[1] * 65536; // bits 24-31 are ignored: a 16 MiB window
        std::free(data);
        return true;
    }
    if (!intel_hex_line_is_data_record(line)) return true;
    const uint32_t address = intel_hex_line_address(line) + memory_offset;
    const uint8_t data_length = intel_hex_line_data_length(line);
    if (address + data_length > (uint32_t)CONCAT_BUFFER_SIZE) return false;
    uint8_t *data_contents = new_u8_data_array_from_intel_hex_string(line);
    if (data_contents == nullptr) return false;
    std::memcpy(gDataConcatenated + address, data_contents, data_length);
    std::free(data_contents);
    // The image ends after its highest data byte, so every byte is checksummed and sent.
    if (data_length > 0 && (int)(address + data_length) > gDataConcatenatedLenght)
        gDataConcatenatedLenght = (int)(address + data_length);
    return true;
}

BOOL ValidateFwAndConcatenateData(char *gHexData) {
    std::memset(gDataConcatenated, 0xFF, CONCAT_BUFFER_SIZE);
    gDataConcatenatedLenght = 0;
    uint32_t memory_offset = 0;
    char **extractedHexLine = str_split(gHexData, ":");
    if (extractedHexLine == nullptr) {
        consolePrint("\r\nNUL extractedHexLine \r");
        consolePrint("\n");
        return FALSE;
    }
    BOOL result = TRUE;
    char intelHexStringLine[kLineBufferSize];
    for (int index = 0; extractedHexLine[index] != nullptr; ++index) {
        const char *piece = extractedHexLine[index];
        // The line ends at its first line end; what follows inside the piece is ignored.
        const size_t lineLength = std::strcspn(piece, "\r\n");
        bool fits = lineLength + 2 <= kLineBufferSize; // ":" + line + zero; never cut
        if (fits) {
            intelHexStringLine[0] = ':';
            std::memcpy(intelHexStringLine + 1, piece, lineLength);
            intelHexStringLine[lineLength + 1] = '\0';
        }
        if (!fits || !intel_hex_line_is_valid(intelHexStringLine) ||
            !placeRecord(intelHexStringLine, memory_offset)) {
            reportInvalidLine(piece, lineLength);
            result = FALSE;
            break;
        }
    }
    std::free(extractedHexLine);
    return result;
}
