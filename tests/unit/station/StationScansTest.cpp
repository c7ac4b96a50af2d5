// The labels scanned into a station's console: what each scan comes to, and which unit takes it.
#include "station/StationScans.h"

#include "run/SerialNumber.h"

#include <gtest/gtest.h>

namespace {

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
    };
    for (const auto &c : cases) {
        const std::vector<StationScans::Said> said = scans.typed(c.typed);
        ASSERT_EQ(said.size(), 1u) << c.typed;
        EXPECT_EQ(said[0].line, c.line);
        EXPECT_EQ(said[0].refused, c.refused) << c.line;
    }
    const std::vector<StationScans::Said> longer = scans.typed(std::string(300, '7') + "\r");
    ASSERT_EQ(longer.size(), 1u);
    EXPECT_EQ(longer[0].line, "Scan refused: \"" + std::string(64, '7') + "...\" is longer than 64 characters.");
}

TEST(StationScans, UnitsTakeTheScansInOrderAndTheirSlotsOwn) {
    StationScans scans({"A1", "A2"}, nullptr);
    EXPECT_EQ(scans.typed("S1\rA2\rS2\rS").size(), 3u);
    EXPECT_EQ(scans.typing(), "S"); // a scan half typed waits for its Enter
    scans.typed("3\n");
    const auto serial = [&](const char *label) { return scans.take(label).value_or(Scan{"none", ""}).serial; };
    EXPECT_EQ(serial("A1"), "S1");
    EXPECT_EQ(serial("A1"), "S3"); // S2 is A2's
    EXPECT_EQ(serial("A1"), "none");
    scans.giveBack({"S9", ""});    // its unit had gone: first for the next
    EXPECT_EQ(serial("A2"), "S2"); // its own before any other
    EXPECT_EQ(serial(""), "S9");
    for (int n = 0; n < 100; ++n) scans.typed(std::to_string(n).append("T\r"));
    EXPECT_EQ(scans.typed("100T\r")[0].line, "Scan refused: \"100T\" is one too many: 100 wait for their units.");
}

TEST(StationScans, APatternThatBacktracksRefusesAScanAtOnce) {
    std::regex pattern;
    std::string error;
    ASSERT_TRUE(serialPatternRead("(a+)+$", pattern, error)) << error;
    StationScans scans({}, &pattern);
    const std::vector<StationScans::Said> said = scans.typed(std::string(63, 'a') + "b\r"); // never a hang
    ASSERT_EQ(said.size(), 1u);
    EXPECT_TRUE(said[0].refused) << said[0].line;
    EXPECT_FALSE(scans.typed(std::string(64, 'a') + "\r")[0].refused);
}

} // namespace
