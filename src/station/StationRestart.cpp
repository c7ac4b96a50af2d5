#include "station/StationRestart.h"

#include "base/StringOperations.h"
#include "platform/FileRead.h"
#include "product/Product.h"
#include "record/JournalLines.h"
#include "record/Outcome.h"
#include "station/StationFolder.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <regex>

using json = nlohmann::ordered_json;

namespace {

const size_t kRecordMax = 64u << 20; // a record larger than this is no run's

// "port-ttyUSB0-2026-12-08_07-59-45.log", "...-2.log": a log a station named for a unit's run
// (a parallel run's "port-COM3.log" is none), whatever characters its port's path holds.
bool isRunLog(const std::string &name) {
    static const std::regex runLog(R"(port-[\s\S]+-\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d(-\d+)?\.log)");
    return std::regex_match(name, runLog);
}

// The JSON object of a record's text; null for any other text (one nested deeper than a record
// ever is never parsed).
json objectOf(const std::string &text) {
    const json value = jsonNesting(text) <= JSON_NESTING_MAX ? json::parse(text, nullptr, false) : json();
    return value.is_object() ? value : json();
}

std::string text(const json &object, const char *key) {
    return object.is_object() && object.contains(key) && object[key].is_string() ? object[key].get<std::string>() : "";
}

std::string fileName(const std::string &path) { return std::filesystem::path(path).filename().string(); }

// The versions a unit is told by ("1.0.4 1.04"): after its update, else before; "unknown".
std::string versionsOf(const json &line) {
    for (const char *field : {"after", "before"}) {
        const json versions = line.contains(field) ? line[field] : json();
        if (!text(versions, "firmware").empty()) return text(versions, "firmware") + " " + text(versions, "fpga");
    }
    return "unknown";
}

// The unit a port of the state file was left with (it shows one while working or to be removed).
void attachedFromState(const json &port, std::map<std::string, StationPort> &attached) {
    const json unit = port.is_object() && port.contains("unit") ? port["unit"] : json();
    if (!unit.is_object() || text(port, "path").empty()) return;
    StationPort &left = attached[text(port, "path")];
    left.known = text(unit, "known").empty() ? "unknown" : text(unit, "known");
    left.baud = unit.contains("baud") && unit["baud"].is_number_integer() ? unit["baud"].get<int>() : 0;
    left.unit.kind = text(unit, "kind");
    left.last = text(port, "last");
}

// The port a run went by and its unit's serial number, from its command line read back whole (a path may hold spaces).
void portOfCommandLine(const std::string &commandLine, StationPort &port) {
    const std::vector<std::string> args = commandLineArguments(commandLine);
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == "--port") port.path = port.name = args[i + 1];
        else if (args[i] == "--as-com") port.com = std::atoi(args[i + 1].c_str());
        else if (args[i] == "--serial") port.serial = args[i + 1];
}

// The files a journal line names.
void namedBy(const JournalLine &line, std::set<std::string> &named) {
    const json unit = journalLineObject(line);
    for (const char *field : {"log", "report"})
        if (!text(unit, field).empty()) named.insert(text(unit, field));
}

// A unit as its report tells it.
StationPort fromReport(const json &report, const std::string &log, const std::string &reportFile) {
    StationPort port;
    portOfCommandLine(text(report, "command_line"), port);
    port.unitStarted = text(report, "started");
    if (!text(report, "serial").empty()) port.serial = text(report, "serial");
    port.log = log;
    port.report = reportFile;
    ChildRun &u = port.unit;
    u.endedAt = text(report, "ended");
    const json unit = report.value("unit", json::object());
    u.kind = text(unit, "kind");
    for (const auto &[field, fields] : {std::pair{"before", &u.beforeFields}, {"after", &u.afterFields}})
        if (unit.is_object() && unit.contains(field) && unit[field].is_object()) *fields = unit[field].dump();
    port.carriedBefore = text(report.value("firmware", json()), "version");
    u.end.outcome = text(report, "outcome");
    u.end.phase = phaseNamed(text(report, "phase"));
    u.summary = text(report, "summary");
    u.status = report.value("exit_status", -1);
    u.finished = u.reported = true;
    if (report.value("log_complete", true) == false) u.unwritten.push_back("the log " + log + " is incomplete");
    return port;
}

// Each line of a log: its time, and what it says after its seconds ("phase: FPGA image").
void eachLogLine(const std::string &text, const std::function<void(const std::string &time, const std::string &what)> &take) {
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        const std::string line = text.substr(at, end - at);
        const size_t time = line.find(' '), seconds = time == std::string::npos ? time : line.find(' ', time + 1);
        if (seconds != std::string::npos) take(line.substr(0, time), line.substr(seconds + 1));
        at = end + 1;
    }
}

// What follows head at the start of what ("" when it does not start so).
std::string after(const std::string &what, const char *head) {
    return what.rfind(head, 0) == 0 ? what.substr(std::strlen(head)) : "";
}

// A unit as its log alone tells it: no report it can use (none written, or one that is no
// run's: a link, too large, fields of another type). Its outcome line, where the run wrote one,
// gives its outcome and exit status; a run killed before has "ended without a report".
StationPort fromLog(const std::string &logText, const std::string &log, const std::string &reportFile) {
    StationPort port;
    port.log = log;
    port.report = reportFile;
    ChildRun &u = port.unit;
    std::string ending; // "failed: ...: update again (exit status 1)"
    eachLogLine(logText, [&](const std::string &time, const std::string &what) {
        if (port.unitStarted.empty()) port.unitStarted = time;
        u.endedAt = time;
        const std::string started = after(what, "==== FwUpgrade ");
        if (started.find(" started: ") != std::string::npos) portOfCommandLine(started.substr(started.find(" started: ") + 10), port);
        if (!after(what, "phase: ").empty()) u.end.phase = phaseNamed(after(what, "phase: "));
        if (!after(what, "unit kind: ").empty()) u.kind = after(what, "unit kind: ");
        const std::string carried = after(what, "firmware "); // "firmware 1.0.4 carried, ..."
        if (carried.find(" carried, ") != std::string::npos) port.carriedBefore = carried.substr(0, carried.find(" carried, "));
        for (const auto &[head, fields] : {std::pair{"versions: ", &u.beforeFields}, {"versions after the reboot: ", &u.afterFields}})
            if (objectOf(after(what, head)).is_object()) *fields = objectOf(after(what, head)).dump();
        if (!after(what, "outcome: ").empty()) ending = after(what, "outcome: ");
    });
    const size_t status = ending.rfind(" (exit status ");
    const std::string outcome = status == std::string::npos ? "" : outcomeDescribed(ending.substr(0, status));
    if (outcome.empty()) {
        childRunEnded(u, -1);
        return port;
    }
    childRunSet(u, outcome, ending.substr(0, status));
    u.status = std::atoi(ending.c_str() + status + std::strlen(" (exit status "));
    u.finished = true;
    return port;
}

// The unit of the run whose log is dir/name, as its records tell it; false when it is no run's
// log, or its run may still be going.
bool runLeftBehind(const std::string &dir, const std::string &name, bool logsAlone, StationPort &port) {
    const std::string path = dir + "/" + name, reportFile = path.substr(0, path.size() - 4) + ".report.json";
    std::string logText, reportText;
    if (!fileReadWhole(path, kRecordMax, logText) || logText.substr(0, logText.find('\n')).find(" ==== FwUpgrade ") == std::string::npos)
        return false; // no run's log
    const json report = fileReadWhole(reportFile, kRecordMax, reportText) ? objectOf(reportText) : json();
    if (!report.is_object() && !logsAlone && logText.find(" outcome: ") == std::string::npos) return false;
    try {
        port = report.is_object() ? fromReport(report, path, reportFile) : fromLog(logText, path, reportFile);
    } catch (const json::exception &) { // a report with fields of another type: its log tells
        port = fromLog(logText, path, reportFile);
    }
    return true;
}

} // namespace

StationBefore stationBefore(const std::string &dir) {
    StationBefore before;
    std::error_code code;
    before.journalFound = std::filesystem::exists(dir + "/journal.jsonl", code);
    std::string stateText;
    const json state = fileReadWhole(dir + "/station-state.json", kRecordMax, stateText) ? objectOf(stateText) : json();
    if (state.contains("format") && state["format"] == 1 && state.contains("ports") && state["ports"].is_array()) {
        for (const json &port : state["ports"]) attachedFromState(port, before.attached);
        before.host = text(state.value("station", json()), "host");
        if (state.contains("runs_unjournaled") && state["runs_unjournaled"].is_array()) before.unjournaled.emplace();
        for (const json &name : before.unjournaled ? state["runs_unjournaled"] : json::array())
            if (name.is_string() && std::filesystem::exists(dir + "/" + name.get<std::string>(), code))
                before.unjournaled->insert(name.get<std::string>()); // still there to take over
        return before;
    }
    // No state (lost to a power cut, removed): the unit journaled last on each port may be there.
    journalEachLine(dir + "/journal.jsonl", [&](const JournalLine &line) {
        const json unit = journalLineObject(line);
        if (text(unit, "path").empty()) return;
        StationPort &left = before.attached[text(unit, "path")];
        left.known = versionsOf(unit);
        left.unit.kind = text(unit, "kind");
        left.last = text(unit, "summary");
    });
    return before;
}

void stationResume(StationBefore &before, StationPort &port) {
    const auto at = before.attached.find(port.path);
    if (at == before.attached.end()) return;
    const StationPort &left = at->second;
    const bool rate = std::find(std::begin(DETECTION_BAUD_RATES), std::end(DETECTION_BAUD_RATES), left.baud) !=
                      std::end(DETECTION_BAUD_RATES);
    port.awaitingRemoval = true;
    port.known = left.known;
    port.baud = rate ? left.baud : DETECTION_BAUD_RATES[0]; // not known: the sweep finds it
    port.unit.kind = left.unit.kind;
    port.last = left.last;
    before.attached.erase(at);
}

std::vector<std::string> stationUnjournaled(const std::string &dir, const std::map<size_t, StationPort> &ports,
                                            const std::deque<std::string> &kept, const StationBefore &before,
                                            const std::set<std::string> &recorded) {
    std::set<std::string> names;
    for (const auto &[slot, port] : ports)
        if (port.state == STATE_WORKING) names.insert(fileName(port.log));
    for (const std::string &line : kept)
        if (!text(objectOf(line), "log").empty()) names.insert(text(objectOf(line), "log"));
    for (const std::string &name : before.unjournaled.value_or(std::set<std::string>()))
        if (!recorded.count(dir + "/" + name)) names.insert(name);
    return {names.begin(), names.end()};
}

std::vector<StationPort> unitsLeftBehind(const std::string &dir, const std::set<std::string> &ours,
                                         const StationBefore &before, bool logsAlone) {
    std::set<std::string> named;
    // A journal there that cannot be read, or none and no state that names the runs: nothing is
    // taken, rather than every unit of the folder a second time.
    if (!journalEachLine(dir + "/journal.jsonl", [&](const JournalLine &line) { namedBy(line, named); }) ||
        (!before.journalFound && !before.unjournaled))
        return {};
    std::vector<std::string> names;
    fileListFolder(dir, [&](const std::string &name) {
        if (isRunLog(name) && !named.count(name) && !ours.count(dir + "/" + name) &&
            (!before.unjournaled || before.unjournaled->count(name)))
            names.push_back(name);
    });
    std::vector<std::pair<std::string, StationPort>> found; // by the time the run ended
    for (const std::string &name : names) {
        StationPort port;
        if (!runLeftBehind(dir, name, logsAlone, port)) continue;
        if (verdictOf(port.unit.outcome()) == VERDICT_NO_UNIT) { // an attempt, no unit's record
            stationKeepAttempt(dir, port);
            continue;
        }
        port.foundAfterRestart = true;
        port.hostBefore = before.host;
        port.label = port.name;
        found.emplace_back(port.unit.endedAt, port);
    }
    std::sort(found.begin(), found.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<StationPort> units;
    for (auto &[ended, port] : found) units.push_back(std::move(port));
    return units;
}
