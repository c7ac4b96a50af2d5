// What a parallel run's ends add up to: its exit status and its totals.
#include "parallel/Parallel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The runs of a parallel run with these outcomes; "" for one that ended without its report.
std::vector<ChildRun> runs(std::initializer_list<const char *> outcomes) {
    std::vector<ChildRun> ports;
    for (const char *outcome : outcomes) {
        ports.emplace_back();
        ports.back().finished = *outcome != '\0';
        if (*outcome != '\0') childRunSet(ports.back(), outcome, outcome);
        childRunEnded(ports.back(), 0);
    }
    return ports;
}

TEST(ParallelStatus, OutcomesToExitStatus) {
    const struct {
        std::vector<ChildRun> ports;
        bool named, stopped;
        int status;
    } cases[] = {
        {runs({"updated and verified", "no unit"}), false, false, 0},
        {runs({"updated and verified", "busy", "no such port"}), false, false, 0}, // the machine's own ports
        {runs({"updated and verified", "busy"}), true, false, 1},                  // a named port held
        {runs({"updated and verified", "no such port"}), true, false, 1},
        {runs({"updated and verified", "no permission"}), false, false, 0}, // a machine's port the user may not open
        {runs({"updated and verified", "no permission"}), true, false, 1},
        {runs({"updated and verified", "not confirmed"}), false, false, 3},
        {runs({"not confirmed", "failed"}), false, false, 1},
        {runs({"no unit", "no unit"}), false, false, 1},
        {runs({"identified", "no unit"}), true, false, 0},
        {runs({"updated and verified", ""}), false, false, 1}, // a child that ended without its report
        {runs({"updated and verified", "failed"}), false, true, 130},
        {runs({"updated and verified", "stopped"}), false, false, 130}, // one run's own signal cut it
        {runs({"updated and verified", "port unavailable"}), false, false, 0},
        {runs({"updated and verified", "port failed"}), true, false, 1},
    };
    for (const auto &c : cases) {
        std::string totals;
        EXPECT_EQ(parallelStatus(c.ports, c.named, c.stopped, totals), c.status) << totals;
    }
    std::vector<ChildRun> unwritten = runs({"updated and verified"});
    unwritten[0].unwritten = {"the log x is incomplete: No space left on device"};
    std::string totals;
    EXPECT_EQ(parallelStatus(unwritten, false, false, totals), 1); // a record lost is no success
    EXPECT_EQ(totals, "1 port: 1 updated and verified");
}

} // namespace
