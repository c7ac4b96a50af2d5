// How a run's end reads, what it leaves in the unit, and the column each outcome counts in.
#include "record/Outcome.h"

#include <gtest/gtest.h>

namespace {

RunEnd end(const char *outcome, RunPhase phase, int percent = -1, const char *image = "", bool fpga = false,
           const char *why = "") {
    RunEnd e;
    e.why = why;
    e.outcome = outcome;
    e.phase = phase;
    e.percent = percent;
    e.imageOutcome = image;
    e.fpgaAccepted = fpga;
    return e;
}

TEST(Outcome, EachEndSaysWhatTheUnitHolds) {
    const struct {
        RunEnd end;
        const char *left, *words;
    } cases[] = {
        {end("updated and verified", PHASE_VERIFYING), "updated", "updated and verified"},
        {end("not confirmed", PHASE_REBOOTING), "check before use", "not confirmed: check before use"},
        {end("other firmware", PHASE_VERIFYING), "update again", "other firmware after the reboot: update again"},
        {end("no unit", PHASE_DETECTING), "unchanged", "no unit"},
        {end("no permission", PHASE_DETECTING), "unchanged", "no permission: add the user to the dialout group"},
        {end("port unavailable", PHASE_DETECTING), "unchanged", "port unavailable"},
        {end("stopped", PHASE_DETECTING), "unchanged", "stopped before any image: unchanged"},
        {end("stopped", PHASE_CHECKING), "unchanged", "stopped before any image: unchanged"},
        {end("stopped", PHASE_FPGA, 45), "update again", "stopped in the FPGA image at 45 %: update again"},
        {end("stopped", PHASE_FPGA), "update again", "stopped in the FPGA image: update again"},
        {end("stopped", PHASE_REBOOTING), "check before use", "stopped while rebooting: check before use"},
        {end("failed", PHASE_CHECKING), "unchanged", "failed while checking: unchanged"},
        {end("failed", PHASE_FPGA, -1, "not ready"), "update again", "failed: unit not ready for the FPGA image: update again"},
        {end("failed", PHASE_MCU, 100, "refused", true), "update again",
         "failed: MCU image refused after the FPGA image was accepted: update again"},
        {end("failed", PHASE_FPGA, 12, "write failed"), "update again",
         "failed: FPGA image cut at 12 % (the line failed): update again"},
        {end("failed", PHASE_MCU, 100, "line failed", true), "update again",
         "failed: the line failed in the MCU image at 100 % after the FPGA image was accepted: update again"},
        {end("failed", PHASE_CHECKING, -1, "", false, "device code 3, not 7 that this program updates"), "unchanged",
         "failed while checking (device code 3, not 7 that this program updates): unchanged"},
        {end("ended without a report", PHASE_MCU, 3), "update again",
         "ended without a report in the MCU image at 3 %: update again"},
    };
    for (const auto &c : cases) {
        EXPECT_STREQ(unitLeft(c.end), c.left) << c.words;
        EXPECT_EQ(describeEnd(c.end), c.words);
        EXPECT_EQ(outcomeDescribed(c.words), c.end.outcome); // as a station reads it back from a log
    }
    EXPECT_EQ(outcomeDescribed("stoppedX"), "");
}

TEST(Outcome, PhaseNamesReadBack) {
    for (RunPhase p : {PHASE_DETECTING, PHASE_CHECKING, PHASE_FPGA, PHASE_MCU, PHASE_REBOOTING, PHASE_VERIFYING})
        EXPECT_EQ(phaseNamed(phaseName(p)), p);
    EXPECT_EQ(phaseNamed("fpga"), PHASE_NONE);
}

// The station's counts, its page and its metrics sort by the one verdict.
TEST(Outcome, OutcomesFallIntoTheCountsColumns) {
    const std::pair<const char *, const char *> cases[] = {
        {"updated and verified", "updated and verified"}, {"updated", "updated and verified"},
        {"already current", "already current"}, {"not confirmed", "not confirmed"}, {"stopped", "stopped"},
        {"failed", "failed"}, {"FAILED", "failed"}, {"ended without a report", "failed"}, {"", "failed"},
        {"other firmware", "failed"}};
    for (const auto &[outcome, column] : cases) EXPECT_STREQ(OUTCOME_COLUMNS[outcomeColumn(outcome)], column) << outcome;
}

} // namespace
