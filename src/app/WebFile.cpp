// The MCU image as the web upload file: a five-line header, then Base64 in lines of 928.
#include "app/WebFile.h"

#include "base/Console.h"
#include "base/Encoder.h"
#include "image/Flatten.h"
#include "platform/FileAPI.h"
#include "platform/SafeFile.h"
#include "product/Product.h"
#include "run/Closing.h"
#include "unit/RunBuffers.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

static const int kBase64Capacity = 600 * 1024; // bounds the image to 460,797 bytes

// Writes the body lines: "\r\n" after each full line, nothing after the last.
static void writeBody(const unsigned char *text, int length) {
    char tempBufferBase64[FIRMWARE_CHUNCK_SIZE_FOR_WEB + 2];
    int remainingByte = length, currentIndex = 0;
    while (remainingByte > FIRMWARE_CHUNCK_SIZE_FOR_WEB) {
        std::memcpy(tempBufferBase64, text + currentIndex, FIRMWARE_CHUNCK_SIZE_FOR_WEB);
        tempBufferBase64[FIRMWARE_CHUNCK_SIZE_FOR_WEB] = '\r';
        tempBufferBase64[FIRMWARE_CHUNCK_SIZE_FOR_WEB + 1] = '\n';
        currentIndex += FIRMWARE_CHUNCK_SIZE_FOR_WEB;
        remainingByte -= FIRMWARE_CHUNCK_SIZE_FOR_WEB;
        FileAPI_writeToFileBinary(tempBufferBase64, FIRMWARE_CHUNCK_SIZE_FOR_WEB + 2);
    }
    if (remainingByte > 0) FileAPI_writeToFileBinary(text + currentIndex, (uint32_t)remainingByte);
}

BOOL createFirmwareFileForWeb(const char *fileName) {
    std::string header = FIRMWARE_FILE_HEADER_FOR_WEB FIRMWARE_VERSION_TO_UPLOAD "\r\n";
    std::vector<unsigned char> bufferBase64(kBase64Capacity);
    int dataLengthBase64 = kBase64Capacity;
    if (!ValidateFwAndConcatenateData(gHexFirmware)) {
        consoleLine("\r\nERROR: Firmware data is not valid !\r");
        return FALSE;
    }
    consoleLine("\r\n Firmware data is valid !\r");
    char tempString[25];
    std::snprintf(tempString, sizeof tempString, "%u", computeDataConcatenatedCheckSum());
    header += tempString;
    header += "\r\n";
    consolePrintf("\r\n Firmware CheckSum = %s !\r\n", tempString);
    consolePrintf("\r\n Firmware CheckSum u = %u !\r\n", gDataConcatenatedCheckSum);
    std::snprintf(tempString, sizeof tempString, "%d", gDataConcatenatedLenght);
    header += tempString;
    header += "\r\n";
    consolePrintf("\r\n Firmware data length = %d !\r\n", gDataConcatenatedLenght);

    // Encoded before any file is touched: an image too large leaves everything as it was.
    if (base64_encode(bufferBase64.data(), &dataLengthBase64, gDataConcatenated, gDataConcatenatedLenght) == -1) {
        consoleLine("\r\n ERROR BASE 64 !\r");
        return FALSE;
    }
    if (gDataConcatenatedLenght == 0) dataLengthBase64 = 0; // an empty image has an empty body
    // The web upload takes no "=": padding becomes "A".
    for (int back = 1; back <= 4 && back <= dataLengthBase64; ++back)
        if (bufferBase64[dataLengthBase64 - back] == '=') bufferBase64[dataLengthBase64 - back] = 'A';

    // Header and body in one open of the new temporary file, which is never opened again by name.
    if (!safeFileBegin(fileName)) return FALSE;
    FileAPI_writeToFileBinary(header.data(), (uint32_t)header.size());
    writeBody(bufferBase64.data(), dataLengthBase64);
    if (!safeFileCommit(fileName)) return FALSE;
    dipsplayLastMessageToUserBeforeExit("");
    return TRUE;
}
