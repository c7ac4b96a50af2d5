// Time stamps as the records write them, and read back.
#include "base/Clock.h"

#include <gtest/gtest.h>

namespace {

TEST(Clock, TimeStampsReadWithTheirOffsets) {
    const struct {
        const char *text;
        bool ok;
        long long ms;
    } cases[] = {
        {"1970-01-01T00:00:00+00:00", true, 0},
        {"2026-12-07T17:58:32.592+00:00", true, 1796666312592LL},
        {"2026-12-07T18:58:32.592+01:00", true, 1796666312592LL},
        {"2026-12-07T17:58:32.5Z", true, 1796666312500LL},
        {"2026-12-07T17:58:32", false, 0},
        {"2026-13-07T17:58:32Z", false, 0},
        {"2026-12-07 17:58:32Z", false, 0},
        {"2026-12-07T17:58:32+0100", false, 0},
        {"2026-12-07T-1:58:32Z", false, 0}, // a sign or a space where a digit stands
        {"2026-12-07T 7:58:32Z", false, 0},
        {"2026-+2-07T17:58:32Z", false, 0},
        {"2026-12-07T17:58:32+-1:00", false, 0},
        {"2026-12-07T12:28:32-05:30", true, 1796666312000LL},
        {"", false, 0},
    };
    for (const auto &c : cases) {
        long long ms = -1;
        EXPECT_EQ(timeStampMs(c.text, ms), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(ms, c.ms) << c.text;
        }
    }
}

} // namespace
