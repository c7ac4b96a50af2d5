// The labels scanned into a station's console: what each scan comes to, and which unit takes it.
#include "station/StationScans.h"

#include "run/SerialNumber.h"

#include <gtest/gtest.h>

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
const StationScans::Time kT0 = std::chrono::steady_clock::now();
// A1's unit holds SN-5 (it is updating, or done and still attached).
const StationScans::Holder kHolder = [](const std::string &serial) { return serial == "SN-5" ? "A1" : ""; };

std::vector<StationScans::Said> typed(StationScans &scans, const std::string &keys, StationScans::Time at = kT0) {
    return scans.typed(keys, at, kHolder);
}

TEST(StationScans, EachScanSaysWhatItCameTo) {
    const std::regex pattern("SN-[0-9]+");
    StationScans scans({"A1", "A2"}, &pattern);
    scans.journaled("SN-9", "2026-12-01T10:00:00Z");
    const struct {
        const char *typed;
        const char *line;
        bool refused;
    } cases[] = {
        {"SN-1\r", "Scan \"SN-1\": serial number of the next unit found.", false},
        {"SN-1\n", "Scan \"SN-1\": serial number of the next unit found; scanned again: the newest scan.", false},
        {"A2\r", "Scan \"A2\": the next serial number scanned goes to A2.", false},
        {"SN-9\r", "Scan \"SN-9\": serial number of A2's next unit; last updated here 2026-12-01T10:00:00Z.", false},
        {"SN-X\r", "Scan refused: \"SN-X\" does not match --serial-pattern.", true},
        {"SN-\x1b" "2\r", "Scan refused: \"SN-\\x1b2\" holds control or non-ASCII characters.", true},
        {"SN-12\b3\r", "Scan \"SN-13\": serial number of the next unit found.", false}, // typed by hand, mended
        {"SN-2\t", "Scan \"SN-2\": serial number of the next unit found.", false},      // a reader set to end with Tab
        {"SN-3\r\n", "Scan \"SN-3\": serial number of the next unit found.", false},    // CRLF: one end
        {"SN-5\r", "Scan refused: \"SN-5\" is already A1's.", true},                   // read twice: one unit's
        {"A2\t", "Scan \"A2\": the next serial number scanned goes to A2.", false},
        {"SN-5\t", "Scan refused: \"SN-5\" is already A1's. A2 no longer chosen: scan its label again.", true},
        {"SN-4\r", "Scan \"SN-4\": serial number of the next unit found.", false},      // not A2's: its choice ended
    };
    for (const auto &c : cases) {
        const std::vector<StationScans::Said> said = typed(scans, c.typed);
        ASSERT_EQ(said.size(), 1u) << c.typed;
        EXPECT_EQ(said[0].line, c.line);
        EXPECT_EQ(said[0].refused, c.refused) << c.line;
    }
    const std::vector<StationScans::Said> longer = typed(scans, std::string(300, '7') + "\r");
    ASSERT_EQ(longer.size(), 1u);
    EXPECT_EQ(longer[0].line, "Scan refused: \"" + std::string(64, '7') + "...\" is longer than 64 characters.");
}

TEST(StationScans, UnitsTakeTheScansInOrderAndTheirSlotsOwn) {
    StationScans scans({"A1", "A2"}, nullptr);
    EXPECT_EQ(typed(scans, "S1\rA2\rS2\rS").size(), 3u);
    EXPECT_EQ(scans.typing(), "S"); // a scan half typed waits for its Enter
    typed(scans, "3\n");
    const auto serial = [&](const char *label) { return scans.take(label).value_or(Scan{"none", ""}).serial; };
    EXPECT_EQ(serial("A1"), "S1");
    EXPECT_EQ(serial("A1"), "S3"); // S2 is A2's
    EXPECT_EQ(serial("A1"), "none");
    for (int n = 0; n < 100; ++n) typed(scans, std::to_string(n).append("T\r"));
    EXPECT_EQ(typed(scans, "100T\r")[0].line, "Scan refused: \"100T\" is one too many: 100 wait for their units.");
}

TEST(StationScans, AScanGivenBackIsItsSlotsNextBeforeAnyOther) {
    StationScans scans({"A1", "A2"}, nullptr);
    typed(scans, "S1\rA1\rS2\r"); // S1 for the next unit found, S2 A1's
    scans.giveBack("S9", "A1", kT0); // bound to A1's unit, which had gone before its update
    const auto serial = [&](const char *label) { return scans.take(label).value_or(Scan{"none", ""}).serial; };
    EXPECT_EQ(serial("A2"), "S1"); // not another slot's
    EXPECT_EQ(serial("A1"), "S9"); // the re-seated unit's, before A1's later scan
    EXPECT_EQ(serial("A1"), "S2");
}

// Each step at its time (s): keys typed, a unit found on a slot taking its scan, the scan taken
// last given back (its unit went before its update), or what the scans' ends say.
TEST(StationScans, AScanGivenBackGoesWithItsUnitForALimitedTimeAndARescanMovesIt) {
    const char *const kNextFound = "Scan \"SN-42\": serial number of the next unit found.";
    const char *const kGoneLine = "\"SN-42\" no longer waits: its unit went before its update and no unit took it"
                                  " within 60 s; scan its label again.";
    const struct Step {
        int at;
        char action; // 's' typed, 't' taken on the slot, 'g' given back, 'e' ended
        const char *what;
        const char *came; // the line said, the serial number taken ("none"), the lines ended ("")
    } sequences[][8] = {
        {{0, 's', "SN-42\r", kNextFound}, // the unit found on A1, gone, plugged into A2: A2's
         {0, 't', "A1", "SN-42"},
         {0, 'g', "", ""},
         {1, 't', "A2", "SN-42"},
         {1, 't', "A1", "none"}},
        {{0, 's', "SN-42\r", kNextFound}, // scanned again for the slot it went to: moved there
         {0, 't', "A1", "SN-42"},
         {0, 'g', "", ""},
         {1, 's', "A2\rSN-42\r", "Scan \"SN-42\": serial number of A2's next unit; scanned again: the newest scan,"
                                  " no longer for the next unit found."},
         {1, 't', "A1", "none"},
         {1, 't', "A2", "SN-42"}},
        {{0, 's', "A1\rSN-42\r", "Scan \"SN-42\": serial number of A1's next unit."}, // moved to no slot
         {0, 's', "SN-7\r", "Scan \"SN-7\": serial number of the next unit found."},
         {0, 's', "SN-42\r", "Scan \"SN-42\": serial number of the next unit found; scanned again: the newest scan,"
                             " no longer for A1's next unit."},
         {0, 't', "A2", "SN-7"},
         {0, 't', "A2", "SN-42"}},
        {{0, 's', "A1\rSN-42\r", "Scan \"SN-42\": serial number of A1's next unit."}, // given back for its choice
         {0, 't', "A1", "SN-42"},
         {0, 'g', "", ""},
         {1, 't', "A2", "none"},
         {59, 'e', "", ""}, // not yet
         {60, 'e', "", kGoneLine},
         {60, 't', "A1", "none"}},
        {{0, 's', "SN-42\r", kNextFound}, // scanned again after it was given back: a scan like any other
         {0, 't', "A1", "SN-42"},
         {0, 'g', "", ""},
         {10, 's', "SN-42\r", "Scan \"SN-42\": serial number of the next unit found; scanned again: the newest scan."},
         {100, 'e', "", ""},
         {100, 't', "A1", "SN-42"}},
    };
    for (const auto &steps : sequences) {
        StationScans scans({"A1", "A2"}, nullptr);
        std::optional<Scan> taken;
        for (const Step &step : steps) {
            if (!step.action) break;
            const StationScans::Time at = kT0 + seconds(step.at);
            std::string came;
            if (step.action == 's') came = typed(scans, step.what, at).back().line;
            if (step.action == 't') taken = scans.take(step.what), came = taken ? taken->serial : "none";
            if (step.action == 'g') scans.giveBack(taken->serial, taken->slot, at);
            if (step.action == 'e')
                for (const std::string &line : scans.expire(at)) came += line;
            EXPECT_EQ(came, step.came) << step.action << " " << step.what << " at " << step.at << " s";
        }
    }
}

TEST(StationScans, TheSlotThatWaitedLongestTakesTheFirstScan) {
    StationScans scans({"A1", "A2"}, nullptr);
    typed(scans, "S1\r");
    const std::vector<std::optional<Scan>> taken = scans.takeInTurn({{"A1", kT0 + seconds(5)}, {"A2", kT0}});
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_FALSE(taken[0]);
    ASSERT_TRUE(taken[1]);
    EXPECT_EQ(taken[1]->serial, "S1");
}

TEST(StationScans, ASlotsChoiceEndsAfterItsTime) {
    StationScans scans({"A1", "A2"}, nullptr);
    typed(scans, "A2\r");
    EXPECT_EQ(scans.chosenSlot(), "A2");
    EXPECT_TRUE(scans.expire(kT0 + StationScans::kChoiceLasts - milliseconds(1)).empty());
    const std::vector<StationScans::Said> said = typed(scans, "S1\r", kT0 + StationScans::kChoiceLasts);
    ASSERT_EQ(said.size(), 2u);
    EXPECT_EQ(said[0].line, "A2 no longer chosen: no serial number scanned within 60 s.");
    EXPECT_EQ(said[1].line, "Scan \"S1\": serial number of the next unit found.");
    EXPECT_EQ(scans.chosenSlot(), "");
}

TEST(StationScans, AScanBeingTypedIsWaitedForAShortWhile) {
    StationScans scans({}, nullptr);
    typed(scans, "SN-1", kT0);
    EXPECT_TRUE(scans.beingTyped(kT0 + StationScans::kTypingPause - milliseconds(1)));
    EXPECT_FALSE(scans.beingTyped(kT0 + StationScans::kTypingPause));
    typed(scans, "2\t", kT0 + milliseconds(100));
    EXPECT_FALSE(scans.beingTyped(kT0 + milliseconds(100))); // ended: a scan, no longer typed
}

TEST(StationScans, APatternThatBacktracksRefusesAScanAtOnce) {
    std::regex pattern;
    std::string error;
    ASSERT_TRUE(serialPatternRead("(a+)+$", pattern, error)) << error;
    StationScans scans({}, &pattern);
    const std::vector<StationScans::Said> said = typed(scans, std::string(63, 'a') + "b\r"); // never a hang
    ASSERT_EQ(said.size(), 1u);
    EXPECT_TRUE(said[0].refused) << said[0].line;
    EXPECT_FALSE(typed(scans, std::string(64, 'a') + "\r")[0].refused);
}

} // namespace
