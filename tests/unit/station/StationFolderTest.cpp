// The attempts a station keeps aside: the newest hundred, each whole, none in the place of another.
#include "station/StationFolder.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

namespace {

namespace fs = std::filesystem;

TEST(StationFolder, AttemptsKeepTheNewestHundredEachWithItsReport) {
    const std::string dir = scratchDir("attempts");
    const fs::file_time_type first = fs::file_time_type::clock::now() - std::chrono::hours(1);
    for (int i = 0; i < 130; ++i) { // each in the same second on the same port: the same names
        StationPort port;
        port.log = dir + "/port-x-2026-12-08_07-59-45.log";
        port.report = dir + "/port-x-2026-12-08_07-59-45.report.json";
        for (const std::string *file : {&port.log, &port.report}) {
            std::ofstream(*file) << i;
            fs::last_write_time(*file, first + std::chrono::seconds(i));
        }
        stationKeepAttempt(dir, port);
    }
    std::set<std::string> logs, reports;
    for (const auto &entry : fs::directory_iterator(dir + "/attempts")) {
        const std::string name = entry.path().filename().string();
        (name.size() > 5 && name.substr(name.size() - 5) == ".json" ? reports : logs).insert(readFile(entry.path().string()));
    }
    std::set<std::string> newest;
    for (int i = 30; i < 130; ++i) newest.insert(std::to_string(i));
    EXPECT_EQ(logs, newest);
    EXPECT_EQ(reports, newest);
}

} // namespace
