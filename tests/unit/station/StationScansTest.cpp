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
        {"SN-1\n", "Scan refused: \"SN-1\" is already waiting for its unit.", true},
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
    scans.giveBack("S9", "A1");   // bound to A1's unit, which had gone before its update
    const auto serial = [&](const char *label) { return scans.take(label).value_or(Scan{"none", ""}).serial; };
    EXPECT_EQ(serial("A2"), "S1"); // not another slot's
    EXPECT_EQ(serial("A1"), "S9"); // the re-seated unit's, before A1's later scan
    EXPECT_EQ(serial("A1"), "S2");
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
    EXPECT_FALSE(scans.expire(kT0 + StationScans::kChoiceLasts - milliseconds(1)));
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
