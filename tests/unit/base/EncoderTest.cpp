// Base64 both ways: RFC 4648 vectors, the room rules, and the decoder's quirks.
#include "base/Encoder.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const unsigned char *bytes(const std::string &s) { return (const unsigned char *)s.data(); }

TEST(Base64, Rfc4648VectorsBothWays) {
    const struct {
        std::string plain, encoded;
    } vectors[] = {{"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
    for (const auto &v : vectors) {
        unsigned char out[32];
        int dlen = sizeof out;
        ASSERT_EQ(base64_encode(out, &dlen, bytes(v.plain), (int)v.plain.size()), 0) << v.plain;
        EXPECT_EQ(std::string((char *)out, dlen), v.encoded);
        EXPECT_EQ(out[dlen], 0); // terminated
        dlen = sizeof out;
        ASSERT_EQ(base64_decode(out, &dlen, bytes(v.encoded), (int)v.encoded.size()), 0) << v.encoded;
        EXPECT_EQ(std::string((char *)out, dlen), v.plain);
    }
}

TEST(Base64, EncodingNeedsRoomForTheZero) {
    for (const std::string plain : {"a", "ab", "abc"}) {
        unsigned char out[8] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
        int dlen = 4;
        EXPECT_EQ(base64_encode(out, &dlen, bytes(plain), (int)plain.size()), -1);
        EXPECT_EQ(dlen, 5);
        EXPECT_EQ(std::string((char *)out, 8), "xxxxxxxx"); // nothing written
        dlen = 5;
        EXPECT_EQ(base64_encode(out, &dlen, bytes(plain), (int)plain.size()), 0);
        EXPECT_EQ(dlen, 4);
    }
}

TEST(Base64, EncodingNothingChangesNothing) {
    unsigned char out[4] = {'x', 'x', 'x', 'x'};
    int dlen = 4;
    EXPECT_EQ(base64_encode(out, &dlen, bytes(""), 0), 0);
    EXPECT_EQ(dlen, 4);
    EXPECT_EQ(out[0], 'x');
}

TEST(Base64, DecoderSkipsCrLfAndCountsPaddingInTheRoom) {
    unsigned char out[16];
    int dlen = 5;
    const std::string text = "Zm9v\r\nYg==";
    EXPECT_EQ(base64_decode(out, &dlen, bytes(text), (int)text.size()), -1);
    EXPECT_EQ(dlen, 6); // 8 characters, the two "=" counted
    dlen = 6;
    ASSERT_EQ(base64_decode(out, &dlen, bytes(text), (int)text.size()), 0);
    EXPECT_EQ(std::string((char *)out, dlen), "foob");
    dlen = 2;
    EXPECT_EQ(base64_decode(out, &dlen, bytes("Zg=="), 4), -1);
    EXPECT_EQ(dlen, 3); // one byte comes out, three are asked for
}

TEST(Base64, IncompleteLastGroupIsNotWritten) {
    unsigned char out[8] = {};
    int dlen = 8;
    EXPECT_EQ(base64_decode(out, &dlen, bytes("Zm="), 3), 0);
    EXPECT_EQ(dlen, 0);
}

TEST(Base64, InvalidInputLeavesTheRoomAlone) {
    const std::string invalid[] = {"Zg===", "Zg=a", "Zm9v\rYg==", "Zm9v\xC3", "Zm9v!", "Zm\r"};
    for (const std::string &text : invalid) {
        unsigned char out[16];
        int dlen = 16;
        EXPECT_EQ(base64_decode(out, &dlen, bytes(text), (int)text.size()), -1) << text;
        EXPECT_EQ(dlen, 16);
    }
}

TEST(Base64, NothingToDecodeIsNoError) {
    for (const std::string text : {"", "\r\n\n"}) {
        unsigned char out[4];
        int dlen = 4;
        EXPECT_EQ(base64_decode(out, &dlen, bytes(text), (int)text.size()), 0);
        EXPECT_EQ(dlen, 4);
    }
}

} // namespace
