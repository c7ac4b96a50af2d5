// The run's buffers as a run starts: the MCU image in place, the rest empty.
#include "image/firmware/BinImage.h"
#include "image/Flatten.h"
#include "TestSupport.h"
#include "unit/RunBuffers.h"

#include <algorithm>
#include <cstring>

namespace {

class RunStart : public RunBuffers {};

TEST_F(RunStart, BuffersAreReadyAsTheRunNeedsThem) {
    const int length = AUTOGEN_FILES[0].fileDataLength;
    EXPECT_EQ(std::memcmp(gHexFirmware, AUTOGEN_FILES[0].fileData, length), 0);
    EXPECT_TRUE(std::all_of(gHexFirmware + length, gHexFirmware + length + 16, [](char c) { return c == 0; }));
    EXPECT_TRUE(std::all_of(gDataConcatenated, gDataConcatenated + CONCAT_BUFFER_SIZE, [](uint8_t b) { return b == 0xFF; }));
    EXPECT_TRUE(std::all_of(gDataConcatenated + CONCAT_BUFFER_SIZE, gDataConcatenated + CONCAT_BUFFER_SIZE + 16,
                            [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::all_of(gDataBuffer, gDataBuffer + DATA_BUFFER_SIZE, [](char c) { return c == 0; }));
}

} // namespace
