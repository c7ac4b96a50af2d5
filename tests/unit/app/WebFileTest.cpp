// The web upload file: header, Base64 body in lines of 928, and nothing half-written.
#include "app/WebFile.h"
#include "base/Console.h"
#include "base/Encoder.h"
#include "TestSupport.h"
#include "unit/RunBuffers.h"

#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

class WebFile : public RunBuffers {
  protected:
    // Writes the web file for an image of these bytes; returns the result.
    BOOL write(const std::string &image, const std::string &file) {
        std::free(gHexFirmware);
        const std::string text = hexImage(image);
        gHexFirmware = (char *)std::calloc(text.size() + 16, 1);
        std::memcpy(gHexFirmware, text.data(), text.size());
        consoleCaptureBegin();
        BOOL result = createFirmwareFileForWeb(file.c_str());
        output = consoleCaptureEnd();
        return result;
    }
    std::string output;
};

std::string header(const std::string &checksum, size_t length) {
    return "OndRex\r\n482915\r\n1.0.4\r\n" + checksum + "\r\n" + std::to_string(length) + "\r\n";
}

TEST_F(WebFile, ThreeBytesMakeAFortyTwoByteFile) {
    const std::string file = scratchDir("web-abc") + "/FwToUpload.bin";
    ASSERT_EQ(write("abc", file), TRUE);
    EXPECT_EQ(readFile(file), header("4294967002", 3) + "YWJj");
    EXPECT_EQ(readFile(file).size(), 42u);
    EXPECT_EQ(output, "\r\n Firmware data is valid !\r\n"
                      "\r\n Firmware CheckSum = 4294967002 !\r\n"
                      "\r\n Firmware CheckSum u = 4294967002 !\r\n"
                      "\r\n Firmware data length = 3 !\r\n"
                      "\r\nPress any key to exit");
}

TEST_F(WebFile, BodyLinesAndPadding) {
    const struct {
        size_t length;
        std::vector<size_t> lineSizes;
        const char *ending;
    } cases[] = {{696, {928}, ""}, {697, {928, 4}, "AA"}, {698, {928, 4}, "A"}, {1392, {928, 928}, ""}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.length);
        std::string image;
        for (size_t i = 0; i < c.length; ++i) image += (char)(i * 7 + 1);
        const std::string file = scratchDir("web-lines") + "/FwToUpload.bin";
        ASSERT_EQ(write(image, file), TRUE);
        std::string content = readFile(file);
        uint32_t checksum = 0;
        for (unsigned char b : image) checksum -= b;
        const std::string head = header(std::to_string(checksum), c.length);
        ASSERT_EQ(content.compare(0, head.size(), head), 0);
        std::string body = content.substr(head.size());
        std::vector<size_t> sizes;
        for (size_t at = 0;;) {
            size_t end = body.find("\r\n", at);
            sizes.push_back((end == std::string::npos ? body.size() : end) - at);
            if (end == std::string::npos) break;
            at = end + 2;
        }
        EXPECT_EQ(sizes, c.lineSizes);
        EXPECT_EQ(body.find('='), std::string::npos);
        std::string joined;
        for (char ch : body)
            if (ch != '\r' && ch != '\n') joined += ch;
        EXPECT_EQ(joined.substr(joined.size() - std::strlen(c.ending)), c.ending);
        // Padding back to "=", the body decodes to the image.
        for (size_t i = 0; i < std::strlen(c.ending); ++i) joined[joined.size() - 1 - i] = '=';
        std::vector<unsigned char> decoded(joined.size());
        int dlen = (int)decoded.size();
        ASSERT_EQ(base64_decode(decoded.data(), &dlen, (const unsigned char *)joined.data(), (int)joined.size()), 0);
        EXPECT_EQ(std::string((char *)decoded.data(), dlen), image);
    }
}

TEST_F(WebFile, AnEmptyImageHasAnEmptyBody) {
    const std::string file = scratchDir("web-empty") + "/FwToUpload.bin";
    ASSERT_EQ(write("", file), TRUE);
    EXPECT_EQ(readFile(file), header("0", 0));
}

TEST_F(WebFile, AnExistingFileIsReplacedWhole) {
    const std::string file = scratchDir("web-replace") + "/FwToUpload.bin";
    { std::ofstream(file) << std::string(5000, 'z'); }
    ASSERT_EQ(write("abc", file), TRUE);
    EXPECT_EQ(readFile(file), header("4294967002", 3) + "YWJj");
}

TEST_F(WebFile, AnImageTooLargeForTheBase64BufferWritesNothing) {
    const std::string dir = scratchDir("web-large");
    const std::string file = dir + "/FwToUpload.bin";
    { std::ofstream(file) << "previous"; }
    ASSERT_EQ(write(std::string(460798, 'x'), file), FALSE);
    EXPECT_NE(output.find("\r\n ERROR BASE 64 !\r\n"), std::string::npos);
    EXPECT_EQ(readFile(file), "previous");
    EXPECT_FALSE(std::filesystem::exists(file + ".part"));
}

TEST_F(WebFile, UnwritablePlacesFailWithoutAPartialFile) {
    const std::string dir = scratchDir("web-unwritable");
    const std::string cases[] = {dir + "/no/such/folder/FwToUpload.bin", dir};
    for (const std::string &file : cases) {
        SCOPED_TRACE(file);
        ASSERT_EQ(write("abc", file), FALSE);
        EXPECT_NE(output.find("ERROR: Cannot write " + file + ": "), std::string::npos) << output;
        EXPECT_EQ(output.find("Press any key"), std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(file + ".part"));
    }
    EXPECT_TRUE(std::filesystem::is_directory(dir));
}

TEST_F(WebFile, AnInvalidImageWritesNothing) {
    const std::string file = scratchDir("web-invalid") + "/FwToUpload.bin";
    std::strcpy(gHexFirmware, ":0100000042BE\r\n");
    consoleCaptureBegin();
    EXPECT_EQ(createFirmwareFileForWeb(file.c_str()), FALSE);
    EXPECT_EQ(consoleCaptureEnd(), "\r\n intel_hex_line_is_valid \r\n:0100000042BE\r\n"
                                   "\r\nERROR: Firmware data is not valid !\r\n");
    EXPECT_FALSE(std::filesystem::exists(file));
}

} // namespace
