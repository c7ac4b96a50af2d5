// What a station makes of the records a station before it left behind, however hostile.
#include "station/StationRestart.h"
#include "TestSupport.h"

#include "base/StringOperations.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <tuple>

namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
const bool kLineEndInNames = false; // no file name holds one there, nor any control character
#else
const bool kLineEndInNames = true;
#endif

void write(const std::string &path, const std::string &text) { std::ofstream(path, std::ios::binary) << text; }

// The first line of a station's run on port, its log named name.
std::string logHead(const std::string &dir, const std::string &port, const std::string &name) {
    return "2026-12-08T07:59:45.341+00:00 +0.000 ==== FwUpgrade 1.0.0 started: " +
           commandLineText({"FwUpgrade", "--port", port, "--as-com", "1003", "--log", dir + "/" + name}) + "\n";
}

TEST(StationRestart, RecordsLeftBehindAreTakenAsTheySayAndNothingElse) {
    const std::string dir = scratchDir("left-behind");
    const auto put = [&](const std::string &name, const std::string &text) { write(dir + "/" + name, text); };
    const std::string head = logHead(dir, "/dev/x", "port-x-2026-12-08_07-59-45.log");
    put("port-x-2026-12-08_07-59-45.log", head + "2026-12-08T08:00:04.251+00:00 +18.9 outcome: stopped (exit status 130)\n");
    put("port-x-2026-12-08_07-59-45.report.json",
        R"({"command_line":"FwUpgrade --port /dev/x --as-com 3","started":"2026-12-08T07:59:45.341+00:00",)"
        R"("ended":"2026-12-08T08:00:04.251+00:00","unit":{"kind":"TX","before":null,"after":null},"firmware":{"version":"0.9.1"},)"
        R"("outcome":"stopped","phase":"FPGA image","summary":"stopped in the FPGA image: update again","exit_status":130})");
    // Nested deeper than any record: taken from its log, never parsed.
    put("port-y-2026-12-08_08-01-00.log", head + "x outcome: y\n");
    put("port-y-2026-12-08_08-01-00.report.json", "{\"unit\":" + std::string(100000, '[') + std::string(100000, ']') + "}");
    put("port-z-2026-12-08_08-02-00.log", "short ==== FwUpgrade \n"); // a run killed at once, and odd
    put("port-COM3.log", head); // a parallel run's, not a station's
    put("port-w-2026-12-08_08-03-00.log", head); // journaled already
    put("journal.jsonl", R"({"log":"port-w-2026-12-08_08-03-00.log","report":null})" "\n");
    std::vector<StationPort> units = unitsLeftBehind(dir, {}, stationBefore(dir), false);
    ASSERT_EQ(units.size(), 2u); // the log alone may be a run still going
    EXPECT_EQ((std::vector<std::string>{units[0].unit.outcome(), units[0].unit.summary, units[0].path}),
              (std::vector<std::string>{"stopped", "stopped in the FPGA image: update again", "/dev/x"}));
    EXPECT_EQ(units[0].carriedBefore, "0.9.1");
    EXPECT_EQ(units[1].unit.outcome(), "ended without a report");
    units = unitsLeftBehind(dir, {}, stationBefore(dir), true);
    ASSERT_EQ(units.size(), 3u);
    for (const StationPort &port : units) EXPECT_TRUE(port.foundAfterRestart);
    EXPECT_NO_THROW(unitName(units[0]));
    EXPECT_NO_THROW(unitName(units[2]));
    // A journal there that cannot be read: nothing is taken, rather than every unit a second time.
    fs::remove(dir + "/journal.jsonl");
    fs::create_directory(dir + "/journal.jsonl");
    EXPECT_TRUE(unitsLeftBehind(dir, {}, stationBefore(dir), true).empty());
}

// A report it cannot use: the log's outcome line tells the outcome, exit status and versions,
// and the port is read back whole, spaces and line ends in its path.
TEST(StationRestart, ALogToldRunKeepsItsOutcomeAndItsPortWhole) {
    const std::string failed = "failed: unit not ready for the MCU image after the FPGA image was accepted: update again";
    std::vector<std::pair<std::string, std::function<void(const std::string &)>>> reports = {
        {"fields of another type", [](const std::string &f) { write(f, R"({"exit_status":"one","unit":[]})"); }},
        {"nested too deep", [](const std::string &f) { write(f, std::string(5000, '[')); }},
        {"too large", [](const std::string &f) {
             write(f, "{}");
             fs::resize_file(f, 65u << 20);
         }}};
#ifndef _WIN32
    reports.push_back({"a link", [](const std::string &f) { fs::create_symlink("/dev/null", f); }});
#endif
    for (const auto &[what, make] : reports) {
        const std::string end = kLineEndInNames ? "\nB" : " B", dir = scratchDir("log-told");
        const std::string port = "/dev/serial/by-path/slot 1" + end, name = "port-serial-by-path-slot 1" + end + "-2026-12-08_07-59-45.log";
        write(dir + "/" + name, logHead(dir, port, name) + "t +0 firmware 1.0.3 carried, release images, time divisor 1\n" +
                                    "t +1 phase: MCU image\n" +
                                    "t +1 versions: {\"firmware\":\"1.0.3\",\"model\":\"K482915\",\"fpga\":\"1.03\",\"device\":7}\n" +
                                    "2026-12-08T08:00:04.251+00:00 +18.9 outcome: " + failed + " (exit status 1)\n");
        make(dir + "/" + name.substr(0, name.size() - 4) + ".report.json");
        write(dir + "/journal.jsonl", "");
        const std::vector<StationPort> units = unitsLeftBehind(dir, {}, stationBefore(dir), false);
        ASSERT_EQ(units.size(), 1u) << what;
        const ChildRun &u = units[0].unit;
        EXPECT_EQ((std::vector<std::string>{u.outcome(), u.summary, unitLeft(u.end), units[0].path, units[0].label}),
                  (std::vector<std::string>{"failed", failed, "update again", port, port})) << what;
        EXPECT_EQ((std::pair{u.status, units[0].com}), (std::pair{1, 1003})) << what;
        EXPECT_EQ(units[0].carriedBefore, "1.0.3") << what; // the release its run carried, not this station's
        EXPECT_EQ(u.beforeFields, R"({"firmware":"1.0.3","model":"K482915","fpga":"1.03","device":7})") << what;
    }
}

// A run's files are named for its port within a file name's 255 bytes, whatever the port's path
// (thousands of bytes of control characters, text beyond ASCII): readable, one name per port, and
// found again by the station after.
TEST(StationRestart, ARunsFilesAreNamedForItsPortWithinAFileName) {
    const std::string control = "/dev/" + std::string(9990, kLineEndInNames ? '\x01' : 'x'); // none in a name on Windows
    std::string beyond = "/dev/x";
    for (int i = 0; i < 100; ++i) beyond += "\xc3\xa9"; // é: the cut falls inside one
    const struct {
        std::string path, tag; // "": the tag is cut (its start, and a hash of the whole path)
        bool named = true;     // a file can be named so here (Windows' narrow names are not UTF-8)
    } rows[] = {{"/dev/ttyUSB0", "port-ttyUSB0"},
                {"COM3", "port-COM3"},
                {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:2", "port-serial-by-path-pci-0000-00-14.0-usb-0-2"},
                {control, ""},
                {control + "y", ""}, // the same start: another name
                {beyond, "", kLineEndInNames}};
    std::set<std::string> tags;
    for (const auto &row : rows) {
        StationPort port;
        port.path = row.path;
        const std::string tag = portFileTag(port);
        EXPECT_TRUE(tags.insert(tag).second) << tag;
        if (!row.tag.empty()) {
            EXPECT_EQ(tag, row.tag);
            continue;
        }
        EXPECT_LE(tag.size(), 114u);
        EXPECT_EQ(tag.substr(0, 10), "port-" + row.path.substr(5, 5));
        EXPECT_EQ(tag.find("\xc3-"), std::string::npos); // no character cut in two
        if (!row.named) continue;
        const std::string dir = scratchDir("long-port"), name = tag + "-2026-12-08_07-59-45-12.log";
        write(dir + "/" + name, logHead(dir, row.path, name) + "t +1 outcome: updated (exit status 0)\n");
        write(dir + "/journal.jsonl", "");
        const std::vector<StationPort> units = unitsLeftBehind(dir, {}, stationBefore(dir), false);
        ASSERT_EQ(units.size(), 1u) << dir + "/" + name;
        EXPECT_EQ(units[0].path, row.path);
    }
}

// What the station before left in the folder decides what is taken over: the runs its state
// names as not journaled (a journal moved away takes no other run with it), a run that found no
// unit goes aside, and each port's unit left attached is watched until it goes.
TEST(StationRestart, TheStationBeforeSaysWhatIsLeftToTakeOver) {
    const std::string dir = scratchDir("before");
    for (const std::string name : {"port-a-2026-12-08_07-59-45", "port-b-2026-12-08_07-59-46", "port-c-2026-12-08_07-59-47"})
        write(dir + "/" + name + ".log", logHead(dir, "/dev/" + name.substr(5, 1), name + ".log") +
                                             "t +1 outcome: " + (name[5] == 'c' ? "no unit" : "updated") + " (exit status 0)\n");
    EXPECT_TRUE(unitsLeftBehind(dir, {}, stationBefore(dir), false).empty()); // no journal, no state: nothing
    write(dir + "/station-state.json",
          R"({"format":1,"station":{"host":"bench-3"},"runs_unjournaled":["port-b-2026-12-08_07-59-46.log","port-c-2026-12-08_07-59-47.log"],"ports":[)"
          R"({"path":"/dev/a","state":"remove the unit","last":"updated","unit":{"kind":"TX","known":"1.0.4 1.04","baud":9600}},)"
          R"({"path":"/dev/b","state":"waiting for a unit","unit":null}]})");
    StationBefore before = stationBefore(dir);
    const std::vector<StationPort> units = unitsLeftBehind(dir, {}, before, false);
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ((std::pair{units[0].path, units[0].hostBefore}), (std::pair<std::string, std::string>{"/dev/b", "bench-3"}));
    EXPECT_TRUE(fs::exists(dir + "/attempts/port-c-2026-12-08_07-59-47.log"));
    StationPort a, b;
    a.path = "/dev/a", b.path = "/dev/b";
    stationResume(before, a), stationResume(before, b), stationResume(before, a);
    EXPECT_EQ((std::tuple{a.awaitingRemoval, a.known, a.baud, a.last}), (std::tuple{true, "1.0.4 1.04", 9600, "updated"}));
    EXPECT_FALSE(b.awaitingRemoval);
    // What this station hands on: its run under way, a line kept in memory, and what it did not take over.
    a.state = STATE_WORKING, a.log = dir + "/port-a-2.log";
    EXPECT_EQ(stationUnjournaled(dir, {{0, a}}, {R"({"log":"port-k.log"})"}, before, {dir + "/port-c-2026-12-08_07-59-47.log"}),
              (std::vector<std::string>{"port-a-2.log", "port-b-2026-12-08_07-59-46.log", "port-k.log"}));
    // No state (a power cut took it): the journal's last line on each port tells its unit.
    fs::remove(dir + "/station-state.json");
    write(dir + "/journal.jsonl", R"({"path":"/dev/a","after":{"firmware":"1.0.4","fpga":"1.04"}})" "\n"
                                  R"({"path":"/dev/a","after":null,"before":{"firmware":"1.0.2","fpga":"1.02"}})" "\n");
    before = stationBefore(dir);
    a = StationPort();
    a.path = "/dev/a";
    stationResume(before, a);
    EXPECT_EQ((std::tuple{a.awaitingRemoval, a.known, a.baud}), (std::tuple{true, "1.0.2 1.02", 115200}));
}

} // namespace
