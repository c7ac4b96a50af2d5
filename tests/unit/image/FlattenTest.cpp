// Intel HEX texts to the flat image: placement, length, refusals and their messages.
#include "base/Console.h"
#include "image/Flatten.h"
#include "TestSupport.h"

#include <string>
#include <vector>

namespace {

class Flatten : public RunBuffers {
  protected:
    // Flattens a copy of text; the console output lands in `output`.
    BOOL flatten(std::string text) {
        consoleCaptureBegin();
        BOOL result = ValidateFwAndConcatenateData(text.data());
        output = consoleCaptureEnd();
        return result;
    }
    // Offsets that do not hold 0xFF, with their bytes.
    std::vector<std::pair<int, int>> written() const {
        std::vector<std::pair<int, int>> bytes;
        for (int i = 0; i < CONCAT_BUFFER_SIZE; ++i)
            if (gDataConcatenated[i] != 0xFF) bytes.push_back({i, gDataConcatenated[i]});
        return bytes;
    }
    std::string output;
};

const std::string kDeadBeef = ":04000000DEADBEEFC4";
const std::vector<std::pair<int, int>> kDeadBeefAt64K = {{0x10000, 0xDE}, {0x10001, 0xAD}, {0x10002, 0xBE}, {0x10003, 0xEF}};

TEST_F(Flatten, AcceptedTextsGiveTheirImageAndLength) {
    const struct {
        const char *name;
        std::string text;
        int length;
        std::vector<std::pair<int, int>> bytes;
    } cases[] = {
        {"three lines", ":020000040001F9\r\n" + kDeadBeef + "\r\n:00000001FF\r\n", 65540, kDeadBeefAt64K},
        {"top byte of the upper address ignored", ":02000004800179\r\n" + kDeadBeef + "\r\n:00000001FF\r\n", 65540, kDeadBeefAt64K},
        {"LF only", ":020000040001F9\n" + kDeadBeef + "\n:00000001FF\n", 65540, kDeadBeefAt64K},
        {"CR only", ":020000040001F9\r" + kDeadBeef + "\r:00000001FF\r", 65540, kDeadBeefAt64K},
        {"blank lines, junk after a line end, no final line end",
         ":020000040001F9\r\n\r\n\r\n" + kDeadBeef + "\r\n junk \r\n:00000001FF", 65540, kDeadBeefAt64K},
        {"lower case", ":020000040001f9\r\n:04000000deadbeefc4\r\n", 65540, kDeadBeefAt64K},
        {"only an end record", ":00000001FF\r\n", 0, {}},
        {"records after the end record are placed", ":00000001FF\r\n:0100000042BD\r\n", 1, {{0, 0x42}}},
        {"empty text", "", 0, {}},
        {"nothing but colons", ":::", 0, {}},
        {"an empty data record does not lengthen the image", ":00010000FF\r\n", 0, {}},
        {"the record reaching furthest sets the length, whatever the order",
         ":0101000041BD\r\n:0100000042BD\r\n", 0x101, {{0, 0x42}, {0x100, 0x41}}},
        {"the later record wins a shared offset", ":0100000041BE\r\n:0100000042BD\r\n", 1, {{0, 0x42}}},
        {"last byte of the buffer", ":02000004003FBB\r\n:01FFFF0042BF\r\n", CONCAT_BUFFER_SIZE, {{CONCAT_BUFFER_SIZE - 1, 0x42}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(flatten(c.text), TRUE);
        EXPECT_EQ(output, "");
        EXPECT_EQ(gDataConcatenatedLenght, c.length);
        EXPECT_EQ(written(), c.bytes);
    }
}

TEST_F(Flatten, TwoSixteenByteRecordsMakeThirtyTwoBytes) {
    std::string text = hexRecord(0, 0, std::string(16, 'a')) + hexRecord(0, 0x10, std::string(16, 'b'));
    ASSERT_EQ(flatten(text), TRUE);
    EXPECT_EQ(gDataConcatenatedLenght, 32);
}

TEST_F(Flatten, RefusedLinesAreReportedVerbatim) {
    const std::string longLine = ":10000000" + std::string(89, '0') + "F0"; // 100 characters, valid
    const struct {
        const char *name;
        std::string text;
        std::string shown; // the line as printed
    } cases[] = {
        {"space after the checksum", kDeadBeef + " \r\n", kDeadBeef + " "},
        {"tab after the checksum", kDeadBeef + "\t\r\n", kDeadBeef + "\t"},
        {"text in front of the first colon", "junk" + kDeadBeef, ":junk"},
        {"a format in the text is printed, not run", "%s%n%d\r\n", ":%s%n%d"},
        {"address record with one byte", ":0100000400FB\r\n", ":0100000400FB"},
        {"data beyond the buffer", ":02000004003FBB\r\n:02FFFF0042427C\r\n", ":02FFFF0042427C"},
        {"line longer than the line buffer", longLine + "\r\n", longLine},
        {"bad checksum after good lines", ":020000040001F9\r\n:04000000DEADBEEFC5\r\n", ":04000000DEADBEEFC5"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(flatten(c.text), FALSE);
        EXPECT_EQ(output, "\r\n intel_hex_line_is_valid \r\n" + c.shown + "\r\n");
    }
}

TEST_F(Flatten, ALineOfNinetyNineCharactersStillFits) {
    // 43 data bytes, two spare characters, the checksum: 99 characters with the ":".
    std::string line = ":2B000000" + std::string(88, '0') + "D5";
    std::string padded = line + std::string(25, '\n'); // trailing blank lines do not count
    ASSERT_EQ(flatten(padded), TRUE) << output;
    EXPECT_EQ(gDataConcatenatedLenght, 43);
}

TEST_F(Flatten, EachCallStartsAfresh) {
    ASSERT_EQ(flatten(":0100100042AD\r\n"), TRUE);
    ASSERT_EQ(flatten(":020000040001F9\r\n:00000001FF\r\n"), TRUE);
    EXPECT_EQ(gDataConcatenatedLenght, 0);
    EXPECT_TRUE(written().empty());
}

TEST_F(Flatten, ASecondFlatteningOfTheSameCopySeesOnlyItsFirstRecord) {
    std::string text = ":020000040001F9\r\n" + kDeadBeef + "\r\n";
    ASSERT_EQ(ValidateFwAndConcatenateData(text.data()), TRUE);
    ASSERT_EQ(ValidateFwAndConcatenateData(text.data()), TRUE);
    EXPECT_EQ(gDataConcatenatedLenght, 0);
}

TEST_F(Flatten, ChecksumIsZeroMinusEveryByte) {
    std::string text = hexRecord(0, 0, "abc");
    ASSERT_EQ(flatten(text), TRUE);
    EXPECT_EQ(computeDataConcatenatedCheckSum(), 4294967002u);
    EXPECT_EQ(gDataConcatenatedCheckSum, 4294967002u);
    ASSERT_EQ(flatten(":00000001FF"), TRUE);
    EXPECT_EQ(computeDataConcatenatedCheckSum(), 0u);
}

TEST(StrRemoveNL, EveryLineEndIsReplaced) {
    char text[] = "a\r\nb\n\rc\r";
    StrRemoveNL(text, ' ');
    EXPECT_STREQ(text, "a  b  c ");
    char cut[] = "a\r\nb";
    StrRemoveNL(cut, 0);
    EXPECT_EQ(std::string(cut, 4), std::string("a\0\0b", 4));
}

} // namespace
