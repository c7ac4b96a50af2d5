// The version reply: read as the "%d.%d.%d %s %d.%d %d" conversion reads it, except that a
// number beyond an int does not convert.
#include "product/UnitReplies.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

TEST(UnitReplies, InRangeRepliesReadAsTheConversionReadsThem) {
    const char *replies[] = {"1.0.3 K482915 1.03 7 >>", "1.0.3 K482915 1.03", "  -1.+2.3 M 4.5 -2147483648",
                             "1.0.3 K482915LONGWORD 1.03 7", "1.0 3", "", "x", "1.0.3 K482915 1 .03 7",
                             "2147483647.0.0 abcdefg 0.0 2147483647"};
    for (const char *reply : replies) {
        SCOPED_TRACE(reply);
        UnitVersions ours, theirs;
        const int fields = std::sscanf(reply, "%d.%d.%d %7s %d.%d %d", &theirs.fw_ver, &theirs.fw_rev,
                                       &theirs.fw_sub, theirs.model, &theirs.fpga_ver, &theirs.fpga_rev,
                                       &theirs.fpga_type);
        EXPECT_EQ(parseVersionReply(reply, &ours), fields < 0 ? 0 : fields);
        EXPECT_EQ(ours.fpga_type, theirs.fpga_type);
        EXPECT_STREQ(ours.model, theirs.model);
    }
}

TEST(UnitReplies, NumbersBeyondAnIntDoNotConvert) {
    const struct {
        const char *reply;
        int fields;
    } cases[] = {{"1.0.3 K482915 1.03 4294967303", 6},   // would wrap to 7, the accepted device
                 {"1.0.3 K482915 1.03 2147483648", 6},
                 {"1.0.3 K482915 1.03 -2147483649", 6},
                 {"1.0.99999999999999999999 K482915 1.03 7", 2},
                 {"4294967297.0.4 K482915 1.03 7", 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reply);
        UnitVersions v;
        EXPECT_EQ(parseVersionReply(c.reply, &v), c.fields);
        EXPECT_EQ(v.fpga_type, -1);
    }
}

} // namespace
