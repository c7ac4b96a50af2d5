// What a station makes of the records a station before it left behind, however hostile.
#include "station/StationRestart.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

TEST(StationRestart, RecordsLeftBehindAreTakenAsTheySayAndNothingElse) {
    const std::string dir = scratchDir("left-behind");
    const auto write = [&](const std::string &name, const std::string &text) { std::ofstream(dir + "/" + name) << text; };
    const std::string head = "2026-12-08T07:59:45.341+00:00 +0.000 ==== FwUpgrade 1.0.0 started: FwUpgrade --port /dev/x"
                             " --as-com 3 --log " + dir + "/port-x-2026-12-08_07-59-45.log\n";
    write("port-x-2026-12-08_07-59-45.log", head + "2026-12-08T08:00:04.251+00:00 +18.9 outcome: stopped (exit status 130)\n");
    write("port-x-2026-12-08_07-59-45.report.json",
          R"({"command_line":"FwUpgrade --port /dev/x --as-com 3","started":"2026-12-08T07:59:45.341+00:00",)"
          R"("ended":"2026-12-08T08:00:04.251+00:00","unit":{"kind":"TX","before":null,"after":null},)"
          R"("outcome":"stopped","phase":"FPGA image","summary":"stopped in the FPGA image: update again","exit_status":130})");
    // Nested deeper than any record: taken from its log, never parsed.
    write("port-y-2026-12-08_08-01-00.log", head + "x outcome: y\n");
    write("port-y-2026-12-08_08-01-00.report.json", "{\"unit\":" + std::string(100000, '[') + std::string(100000, ']') + "}");
    write("port-z-2026-12-08_08-02-00.log", "short ==== FwUpgrade \n"); // a run killed at once, and odd
    write("port-COM3.log", head); // a parallel run's, not a station's
    write("port-w-2026-12-08_08-03-00.log", head); // journaled already
    write("journal.jsonl", R"({"log":"port-w-2026-12-08_08-03-00.log","report":null})" "\n");
    std::vector<StationPort> units = unitsLeftBehind(dir, {}, false);
    ASSERT_EQ(units.size(), 2u); // the log alone may be a run still going
    EXPECT_EQ((std::vector<std::string>{units[0].unit.outcome(), units[0].unit.summary, units[0].path}),
              (std::vector<std::string>{"stopped", "stopped in the FPGA image: update again", "/dev/x"}));
    EXPECT_EQ(units[1].unit.outcome(), "ended without a report");
    units = unitsLeftBehind(dir, {}, true);
    ASSERT_EQ(units.size(), 3u);
    for (const StationPort &port : units) EXPECT_TRUE(port.foundAfterRestart);
    EXPECT_NO_THROW(unitName(units[0]));
    EXPECT_NO_THROW(unitName(units[2]));
    // A journal there that cannot be read: nothing is taken, rather than every unit a second time.
    std::filesystem::remove(dir + "/journal.jsonl");
    std::filesystem::create_directory(dir + "/journal.jsonl");
    EXPECT_TRUE(unitsLeftBehind(dir, {}, true).empty());
}

} // namespace
