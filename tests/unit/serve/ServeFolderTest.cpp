// A station folder as --serve reads it: units per hour, the journal's times, a serial number's lines.
#include "serve/ServeFolder.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

// A clock put back an hour: both hours stay apart, in the order they passed.
TEST(ServeFolder, UnitsPerHourKeepsTheRepeatedHourApart) {
    const std::string dir = testing::TempDir() + "serve-hours-" + std::to_string(std::rand());
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/journal.jsonl")
        << R"({"outcome":"updated and verified","ended":"2026-10-25T02:10:00.000+02:00"})" "\n"
        << R"({"outcome":"failed","ended":"2026-10-25T02:50:00.000+02:00"})" "\n"
        << R"({"outcome":"updated and verified","ended":"2026-10-25T02:05:00.000+01:00"})" "\n"
        << R"({"outcome":"updated and verified","ended":"2026-10-25T01:59:00.000+02:00"})" "\n";
    ServeFolder folder(dir);
    folder.refresh();
    const auto hours = folder.unitsPerHour("2026-10-25T02:00:00.000+02:00");
    ASSERT_EQ(hours.size(), 2u);
    EXPECT_EQ((std::vector<std::string>{hours[0]["utc_offset"], hours[1]["utc_offset"]}),
              (std::vector<std::string>{"+02:00", "+01:00"}));
    EXPECT_EQ((std::vector<int>{hours[0]["updated and verified"], hours[0]["failed"], hours[1]["updated and verified"]}),
              (std::vector<int>{1, 1, 1}));
    std::filesystem::remove_all(dir);
}

// A line waits for its end over any number of refreshes; one too long for a unit's, or holding
// zeros (a hole of a sparse file: ""), is one damaged line however long it grows. A smaller
// journal in its place ("=": written anew) is read from its start.
TEST(ServeFolder, JournalLinesAsTheyGrow) {
    const std::string unit = R"({"outcome":"failed"})", half(600 << 10, 'x');
    const struct {
        std::vector<std::string> writes; // each followed by a refresh
        size_t lines, damaged;
    } cases[] = {{{half, half, "\n" + unit + "\n"}, 2, 1},
                 {{unit + "\n" + unit, "", "", unit + "\n"}, 2, 1},
                 {{unit + "\nx\n" + unit + "\n", "=" + unit + "\n" + unit}, 1, 0}};
    for (const auto &c : cases) {
        const std::string dir = scratchDir("serve-journal"), path = dir + "/journal.jsonl";
        ServeFolder folder(dir);
        for (const std::string &write : c.writes) {
            if (write.empty()) std::filesystem::resize_file(path, std::filesystem::file_size(path) + (8 << 20));
            else if (write[0] == '=') std::ofstream(path, std::ios::trunc | std::ios::binary) << write.substr(1);
            else std::ofstream(path, std::ios::app | std::ios::binary) << write;
            folder.refresh();
        }
        EXPECT_EQ(std::make_pair(folder.journalLines(), folder.journalDamaged()), std::make_pair(c.lines, c.damaged));
    }
}

// Exact matches, newest first across folders; a line without the key (older journals) or null is none's.
TEST(ServeFolder, JournalLinesOfASerialNumber) {
    const std::string a = scratchDir("serve-serial-a"), b = scratchDir("serve-serial-b");
    std::ofstream(a + "/journal.jsonl") << R"({"serial":"SN 1","ended":"2026-12-08T10:00:00+01:00"})" "\n{}\n"
                                        << R"({"serial":null})" "\n"
                                        << R"({"serial":"SN 1","ended":"2026-12-08T10:20:00+01:00"})" "\n"
                                        << R"({"serial":"sn 1"})" "\n";
    std::ofstream(b + "/journal.jsonl") << R"({"serial":"SN 1","ended":"2026-12-08T09:10:00Z"})" "\n"; // between
    ServeFolder first(a), second(b);
    first.refresh(), second.refresh();
    using Found = std::pair<std::vector<std::pair<int, int>>, bool>; // (station, line)s, newest first; more left out
    const std::tuple<const char *, size_t, Found> cases[] = {{"SN 1", 500, {{{0, 4}, {1, 1}, {0, 1}}, false}},
                                                             {"SN 1", 2, {{{0, 4}, {1, 1}}, true}},
                                                             {"sn 1", 500, {{{0, 5}}, false}},
                                                             {"SN", 500, {}}};
    for (const auto &[serial, limit, expected] : cases) {
        const StateJson answer = serveJournalOfSerial({&first, &second}, serial, limit);
        Found found{{}, answer["more"].get<bool>()};
        for (const auto &unit : answer["units"])
            found.first.emplace_back(unit["station"].get<int>(), unit["line"].get<int>());
        EXPECT_EQ(found, expected) << serial;
    }
}


} // namespace
