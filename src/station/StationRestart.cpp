#include "station/StationRestart.h"

#include "base/StringOperations.h"
#include "platform/FileRead.h"
#include "record/Outcome.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <regex>

using json = nlohmann::ordered_json;

namespace {

const size_t kRecordMax = 64u << 20; // a record larger than this is no run's
const size_t kLineMax = 1u << 20;    // a journal line longer than this is no unit's

// "port-ttyUSB0-2026-12-08_07-59-45.log", "...-2.log": a log a station named for a unit's run
// (a parallel run's "port-COM3.log" is none).
bool isRunLog(const std::string &name) {
    static const std::regex runLog(R"(port-.+-\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d(-\d+)?\.log)");
    return std::regex_match(name, runLog);
}

// The files a journal line names.
void namedBy(const std::string &text, std::set<std::string> &named) {
    const json line = jsonNesting(text) <= JSON_NESTING_MAX ? json::parse(text, nullptr, false) : json();
    if (!line.is_object()) return;
    for (const char *field : {"log", "report"})
        if (line.contains(field) && line[field].is_string()) named.insert(line[field].get<std::string>());
}

// The files every line of dir's journal names, read a piece at a time however long it has grown
// (a month of units). False when a journal is there but cannot be read: nothing is taken then,
// rather than every unit of the folder a second time.
bool journaled(const std::string &dir, std::set<std::string> &named) {
    const std::string path = dir + "/journal.jsonl";
    std::string line;
    const bool read = fileReadPieces(path, 0, [&](std::string_view piece) {
        for (char c : piece) {
            if (c != '\n') {
                if (line.size() <= kLineMax) line += c; // a longer line is no unit's: damaged
                continue;
            }
            namedBy(line, named);
            line.clear();
        }
    });
    std::error_code code;
    if (!read) return !std::filesystem::exists(path, code);
    namedBy(line, named);
    return true;
}

std::string argumentAfter(const std::string &commandLine, const std::string &option) {
    const size_t at = commandLine.find(" " + option + " ");
    if (at == std::string::npos) return "";
    const size_t start = at + option.size() + 2;
    return commandLine.substr(start, commandLine.find(' ', start) - start);
}

std::string text(const json &object, const char *key) {
    return object.is_object() && object.contains(key) && object[key].is_string() ? object[key].get<std::string>() : "";
}

// A unit as its report tells it.
StationPort fromReport(const json &report, const std::string &log, const std::string &reportFile) {
    StationPort port;
    const std::string commandLine = text(report, "command_line");
    port.path = port.name = argumentAfter(commandLine, "--port");
    port.com = std::atoi(argumentAfter(commandLine, "--as-com").c_str());
    port.unitStarted = text(report, "started");
    port.log = log;
    port.report = reportFile;
    ChildRun &u = port.unit;
    u.endedAt = text(report, "ended");
    const json unit = report.value("unit", json::object());
    u.kind = text(unit, "kind");
    for (const auto &[field, fields] : {std::pair{"before", &u.beforeFields}, {"after", &u.afterFields}})
        if (unit.is_object() && unit.contains(field) && unit[field].is_object()) *fields = unit[field].dump();
    u.end.outcome = text(report, "outcome");
    u.end.phase = phaseNamed(text(report, "phase"));
    u.summary = text(report, "summary");
    u.status = report.value("exit_status", -1);
    u.finished = u.reported = true;
    if (report.value("log_complete", true) == false) u.unwritten.push_back("the log " + log + " is incomplete");
    return port;
}

// A unit as its log alone tells it: killed before it wrote its report.
StationPort fromLog(const std::string &logText, const std::string &log) {
    StationPort port;
    port.log = log;
    const std::string first = logText.substr(0, logText.find('\n'));
    const size_t lastStart = logText.rfind('\n', logText.size() >= 2 ? logText.size() - 2 : 0);
    const std::string last = logText.substr(lastStart == std::string::npos ? 0 : lastStart + 1);
    port.unitStarted = first.substr(0, first.find(' '));
    port.path = port.name = argumentAfter(first, "--port");
    port.com = std::atoi(argumentAfter(first, "--as-com").c_str());
    ChildRun &u = port.unit;
    u.endedAt = last.substr(0, last.find(' '));
    const size_t phase = logText.rfind(" phase: ");
    if (phase != std::string::npos) u.end.phase = phaseNamed(logText.substr(phase + 8, logText.find('\n', phase) - phase - 8));
    childRunEnded(u, -1);
    return port;
}

} // namespace

std::vector<StationPort> unitsLeftBehind(const std::string &dir, const std::set<std::string> &ours, bool logsAlone) {
    std::set<std::string> named;
    if (!journaled(dir, named)) return {};
    std::vector<std::pair<std::string, StationPort>> found; // by the time the run ended
    std::error_code code;
    for (const auto &entry : std::filesystem::directory_iterator(dir, code)) {
        const std::string name = entry.path().filename().string(), path = dir + "/" + name;
        if (!isRunLog(name) || named.count(name) || ours.count(path)) continue;
        const std::string base = path.substr(0, path.size() - 4), reportFile = base + ".report.json";
        std::string logText, reportText;
        if (!fileReadWhole(path, kRecordMax, logText) || logText.substr(0, logText.find('\n')).find(" ==== FwUpgrade ") == std::string::npos)
            continue; // no run's log
        const json report = fileReadWhole(reportFile, kRecordMax, reportText) && jsonNesting(reportText) <= JSON_NESTING_MAX
                                ? json::parse(reportText, nullptr, false)
                                : json();
        if (!report.is_object() && !logsAlone && logText.find(" outcome: ") == std::string::npos) continue;
        StationPort port;
        try {
            port = report.is_object() ? fromReport(report, path, reportFile) : fromLog(logText, path);
        } catch (const json::exception &) { // a report with fields of another type: its log tells
            port = fromLog(logText, path);
        }
        port.foundAfterRestart = true;
        port.label = port.name;
        found.emplace_back(port.unit.endedAt, port);
    }
    std::sort(found.begin(), found.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<StationPort> units;
    for (auto &[ended, port] : found) units.push_back(std::move(port));
    return units;
}
