#include "unit/RunBuffers.h"

#include "image/firmware/BinImage.h"
#include "image/Flatten.h"

#include <cstdlib>
#include <cstring>

char *gHexFirmware = nullptr;
char *gHexFPGA_Code = nullptr;
char *gDataBuffer = nullptr;

char *copyImageText(int row) {
    const size_t length = (size_t)AUTOGEN_FILES[row].fileDataLength;
    char *copy = (char *)platformAllocateLarge(length + 16);
    if (copy != nullptr) {
        std::memcpy(copy, AUTOGEN_FILES[row].fileData, length);
        std::memset(copy + length, 0, 16); // the text, then zeros: it is terminated
    }
    return copy;
}

bool allocateRunBuffers() {
    gHexFirmware = copyImageText(0);
    gDataConcatenated = allocateDataConcatenated();
    gDataBuffer = (char *)std::calloc(DATA_BUFFER_SIZE, 1);
    return gHexFirmware != nullptr && gDataConcatenated != nullptr && gDataBuffer != nullptr;
}

void releaseRunBuffers() {
    std::free(gDataBuffer);
    gDataBuffer = nullptr;
    std::free(gDataConcatenated);
    gDataConcatenated = nullptr;
    std::free(gHexFirmware);
    gHexFirmware = nullptr;
    std::free(gHexFPGA_Code);
    gHexFPGA_Code = nullptr;
}
