// The images carried: byte-exact copies of the files, and (for sample builds) the release layout.
#include "image/firmware/BinImage.h"
#include "image/Flatten.h"
#include "TestSupport.h"
#include "unit/RunBuffers.h"

#include <algorithm>
#include <cstring>

namespace {

const char *kNames[] = {"K482915_MCU_61_1_04.hex", "K482915_TX_XC7A75_1_04.mcs", "K482915_RX_XC7A75_1_04.mcs"};

TEST(ImageTable, ArraysEqualTheFilesWithAFinalZero) {
    for (int row = 0; row < 3; ++row) {
        SCOPED_TRACE(kNames[row]);
        const std::string file = readFile(std::string(IMAGE_DIR) + "/" + kNames[row]);
        ASSERT_FALSE(file.empty());
        EXPECT_STREQ(AUTOGEN_FILES[row].filePath, kNames[row]);
        EXPECT_EQ(AUTOGEN_FILES[row].filePathLength, (char)std::strlen(kNames[row]));
        ASSERT_EQ(AUTOGEN_FILES[row].fileDataLength, (int)file.size());
        EXPECT_EQ(std::memcmp(AUTOGEN_FILES[row].fileData, file.data(), file.size()), 0);
        EXPECT_EQ(AUTOGEN_FILES[row].fileData[file.size()], '\0');
    }
    EXPECT_EQ(AUTOGEN_FILES[0].fileData, K482915_MCU_61_1_04_hex);
    EXPECT_EQ(AUTOGEN_FILES[1].fileData, K482915_TX_XC7A75_1_04_mcs);
    EXPECT_EQ(AUTOGEN_FILES[2].fileData, K482915_RX_XC7A75_1_04_mcs);
}

#if SAMPLE_IMAGES
size_t lineCount(const char *text) { return (size_t)std::count(text, text + std::strlen(text), '\n'); }
size_t count(const char *text, const char *what) {
    size_t n = 0;
    for (const char *p = std::strstr(text, what); p; p = std::strstr(p + 1, what)) ++n;
    return n;
}

class ImageTableFlattened : public RunBuffers {};

TEST_F(ImageTableFlattened, SampleImagesHaveTheReleaseLayout) {
    EXPECT_EQ(AUTOGEN_FILES[0].fileDataLength, 265622);
    EXPECT_EQ(lineCount(AUTOGEN_FILES[0].fileData), 5906u);
    EXPECT_EQ(count(AUTOGEN_FILES[0].fileData, ":0200000480007A\r\n"), 1u);
    EXPECT_EQ(count(AUTOGEN_FILES[0].fileData, ":02000004800179\r\n"), 1u);
    EXPECT_EQ(count(AUTOGEN_FILES[0].fileData, ":0400000580008008EF\r\n"), 1u);
    EXPECT_EQ(count(AUTOGEN_FILES[0].fileData, "\r\n:06"), 1u);
    for (int row = 1; row < 3; ++row) {
        EXPECT_EQ(AUTOGEN_FILES[row].fileDataLength, 6307432);
        EXPECT_EQ(lineCount(AUTOGEN_FILES[row].fileData), 140188u);
        EXPECT_EQ(count(AUTOGEN_FILES[row].fileData, ":02000004"), 35u);
        EXPECT_EQ(count(AUTOGEN_FILES[row].fileData, ":02000004002"), 3u); // 0020 to 0022 are the last
    }
    EXPECT_NE(std::strcmp(AUTOGEN_FILES[1].fileData, AUTOGEN_FILES[2].fileData), 0); // as the release images differ

    ASSERT_EQ(ValidateFwAndConcatenateData(gHexFirmware), TRUE);
    EXPECT_EQ(gDataConcatenatedLenght, 127384);
    EXPECT_TRUE(std::all_of(gDataConcatenated, gDataConcatenated + 0x8000, [](uint8_t b) { return b == 0xFF; }));
    EXPECT_TRUE(std::all_of(gDataConcatenated + 0x1BD36, gDataConcatenated + 0x1BE00, [](uint8_t b) { return b == 0xFF; }));
    EXPECT_FALSE(std::all_of(gDataConcatenated + 0x1BD30, gDataConcatenated + 0x1BD36, [](uint8_t b) { return b == 0xFF; }));

    char *fpga = copyImageText(1);
    ASSERT_EQ(ValidateFwAndConcatenateData(fpga), TRUE);
    std::free(fpga);
    EXPECT_EQ(gDataConcatenatedLenght, 0x223778);
    const uint8_t header[] = {0x00, 0x00, 0x00, 0xBB, 0x11, 0x22, 0x00, 0x44, 0xFF, 0xFF, 0xFF, 0xFF,
                              0xFF, 0xFF, 0xFF, 0xFF, 0xAA, 0x99, 0x55, 0x66};
    EXPECT_TRUE(std::all_of(gDataConcatenated, gDataConcatenated + 32, [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(std::memcmp(gDataConcatenated + 32, header, sizeof header), 0);
}
#endif

} // namespace
