#include "image/CarriedImages.h"

#include "image/firmware/BinImage.h"
#include "image/Flatten.h"

#include <cstdlib>

std::vector<CarriedImage> carriedImages() {
    static const char *const kinds[3] = {"mcu", "tx", "rx"};
    static const char *const titles[3] = {"MCU", "TX FPGA", "RX FPGA"};
    const bool ownBuffer = gDataConcatenated == nullptr;
    if (ownBuffer && (gDataConcatenated = allocateDataConcatenated()) == nullptr) return {};
    std::vector<CarriedImage> images;
    for (int row = 0; row < 3; ++row) {
        if (!flattenImageText(AUTOGEN_FILES[row].fileData)) {
            images.clear();
            break;
        }
        images.push_back({kinds[row], titles[row], AUTOGEN_FILES[row].filePath, AUTOGEN_FILES_SHA256[row],
                          gDataConcatenatedLenght, computeDataConcatenatedCheckSum()});
    }
    if (ownBuffer) {
        std::free(gDataConcatenated);
        gDataConcatenated = nullptr;
    }
    return images;
}
