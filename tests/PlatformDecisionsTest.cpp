// Decisions the platform code takes from what the system said, run on recorded results.
#include "ComPortAPI.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Each call's bytes taken and the time it ended (ms from the write's start; the bound 30 s).
TEST(WriteProgress, StallsOnlyAfterTheBoundWithoutAByte) {
    const struct Call {
        DWORD taken;
        long long atMs;
        bool stalled;
    } nothingTaken[] = {{0, 1000, false}, {0, 29999, false}, {0, 30000, true}},
      // 10 KiB a few bytes at a time takes hours (far beyond 30 s plus 1 ms a byte): no stall.
      slowUnit[] = {{100, 29000, false}, {100, 58000, false}, {100, 87000, false}, {0, 116999, false},
                    {0, 117000, true}},
      // A call that took bytes is progress however long it lasted; the bound counts from its end.
      lateBytes[] = {{0, 1000, false}, {5, 30500, false}, {0, 60499, false}, {0, 60500, true}};
    const struct {
        const char *what;
        std::vector<Call> calls;
    } cases[] = {{"nothing taken", {std::begin(nothingTaken), std::end(nothingTaken)}},
                 {"a slow unit", {std::begin(slowUnit), std::end(slowUnit)}},
                 {"bytes late in a call", {std::begin(lateBytes), std::end(lateBytes)}}};
    for (const auto &c : cases) {
        WriteProgress progress{0, 30000};
        for (const Call &call : c.calls)
            EXPECT_EQ(progress.stalled(call.taken, call.atMs), call.stalled) << c.what << " at " << call.atMs;
    }
}

} // namespace
