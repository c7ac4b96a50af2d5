// A parallel run: every port at once, one child run of this program per port. The run's code
// stays single-threaded with its globals: a process per unit is the isolation, and a unit's
// fault cannot disturb another.
#include "parallel/Parallel.h"
#include "parallel/ParallelView.h"

#include "base/Clock.h"
#include "base/Console.h"
#include "base/StringOperations.h"
#include "fleet/Children.h"
#include "platform/FileRead.h"
#include "platform/PortList.h"
#include "platform/SafeFile.h"
#include "product/Product.h"
#include "run/Closing.h"
#include "run/Options.h"
#include "unit/Detection.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <map>

using json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

namespace {

// The ports of the run: those named (each device once), else the machine's.
std::vector<ChildRun> parallelPorts(const Options &options) {
    std::vector<ChildRun> ports;
    auto add = [&](int com, const std::string &path) {
        ChildRun port;
        port.com = com;
        port.path = path;
        port.label = "COM" + std::to_string(com) + (!path.empty() && path != "COM" + std::to_string(com) ? " " + path : "");
        ports.push_back(port);
    };
    if (options.ports.empty())
        for (const PortInfo &info : PortList_machinePorts()) add(info.number, info.path);
    else
        for (int com : gDetectionPorts) add(com, PortList_pathOf(com));
    return ports;
}

// The files of port n in the run's folder. Never "COM3.log": on Windows that is the port itself.
std::string portFile(const std::string &dir, int com, const char *suffix) {
    return dir + "/port-COM" + std::to_string(com) + suffix;
}

// The child's own run: the single-unit run on one port under the parent's COM number, its
// record in the run's folder.
std::vector<std::string> childArguments(const Options &options, const ChildRun &port, const std::string &dir) {
    std::vector<std::string> args = {"--port", port.path, "--as-com", std::to_string(port.com), "--events",
                                     "--no-pause", "--log", portFile(dir, port.com, ".log"),
                                     "--report", portFile(dir, port.com, ".report.json"),
                                     options.info ? "--info" : "--verify"};
    if (options.baud != 0) args.insert(args.end(), {"--baud", std::to_string(options.baud)});
    if (options.skipCurrent) args.push_back("--skip-current");
    return args;
}

// The first file in dir that is a record of a parallel run or a station ("" for none).
std::string earlierRecord(const std::string &dir) {
    std::error_code code;
    for (const char *name : {"report.json", "journal.jsonl", "station.lock"})
        if (std::filesystem::is_regular_file(dir + "/" + name, code)) return name;
    std::string found;
    fileListFolder(dir, [&](const std::string &name) {
        const auto endsWith = [&](const std::string &end) {
            return name.size() >= end.size() && name.compare(name.size() - end.size(), end.size(), end) == 0;
        };
        if (found.empty() && name.rfind("port-COM", 0) == 0 && (endsWith(".log") || endsWith(".report.json"))) found = name;
    });
    return found;
}

// The run's folder: --log-dir as given, or a new FwUpgrade-logs/DATE_TIME of its own (a suffix
// when another run took that name in the same second). "" with error set when it cannot be.
// A --log-dir that holds an earlier run's records is refused (usage set) as it was found, nothing
// of this run left in it: a record is never overwritten, nor a log continued by another run.
// The run holds the folder while it lasts, so that a second one started meanwhile is refused
// too; it looks again once it holds it, for a run that ended meanwhile.
std::string runFolder(const Options &options, std::string &error, bool &usage) {
    std::error_code code;
    if (!options.logDir.empty()) {
        std::filesystem::create_directories(options.logDir, code);
        if (code) error = "cannot create the folder " + options.logDir + ": " + code.message();
        std::string earlier = code ? "" : earlierRecord(options.logDir), holder;
        const HoldResult held = code || !earlier.empty() ? HOLD_TAKEN
                                                         : platformHoldFile(options.logDir + "/parallel.lock", "a parallel run\n", holder);
        if (held != HOLD_TAKEN) {
            usage = held == HOLD_BY_ANOTHER;
            error = usage ? options.logDir + " is the folder of a parallel run under way: give this run a folder of its own"
                            " with --log-dir, or leave it out for a new one"
                          : "cannot hold " + options.logDir + "/parallel.lock: " + holder;
            return "";
        }
        if (earlier.empty() && !code) earlier = earlierRecord(options.logDir);
        if ((usage = !earlier.empty()))
            error = options.logDir + " holds the records of an earlier run (" + earlier +
                    "): give this run a folder of its own with --log-dir, or leave it out for a new one";
        return error.empty() ? options.logDir : "";
    }
    const std::string base = "FwUpgrade-logs/" + fileTimeStamp(std::chrono::system_clock::now());
    std::filesystem::create_directories("FwUpgrade-logs", code);
    for (int n = 1; !code && n < 100; ++n) {
        const std::string dir = n == 1 ? base : base + "-" + std::to_string(n);
        if (std::filesystem::create_directory(dir, code)) return dir; // false: it was there
    }
    error = "cannot create a folder under FwUpgrade-logs: " + (code ? code.message() : "every name is taken");
    return "";
}

// Without a unit: nothing to count. A port of the machine's list that cannot be used is
// passed over too; one the operator named was meant to carry a unit, so it fails.
bool withoutUnit(const ChildRun &port, bool named) {
    return verdictOf(port.outcome()) == VERDICT_NO_UNIT && (port.outcome() == "no unit" || !named);
}

// A child's report, read only through the open a log uses (a regular file, never a FIFO or a
// link): its JSON; its text, when that is no JSON; null when it cannot be read.
json childReport(const std::string &file) {
    std::string text;
    if (!fileReadWhole(file, 64u << 20, text)) return nullptr;
    json report = jsonNesting(text) <= JSON_NESTING_MAX ? json::parse(text, nullptr, false) : json(json::value_t::discarded);
    return report.is_discarded() ? json(text) : report;
}

// report.json: the run, its totals, and each port's own report as its child wrote it (one that
// is no JSON as its text, report_text). Once it is in place the children's reports it holds are
// removed (gathered); else they stay. "" when written.
std::string writeParallelReport(const std::string &dir, const std::vector<ChildRun> &ports, const Options &options,
                               int status, const std::string &started, bool stopped) {
    json units = json::array();
    json counts = json::object();
    std::vector<std::string> gathered;
    for (const ChildRun &p : ports) {
        const std::string &outcome = p.outcome();
        counts[outcome] = counts.value(outcome, 0) + 1;
        const std::string file = portFile(dir, p.com, ".report.json");
        const json report = p.reported ? childReport(file) : json(nullptr);
        units.push_back({{"com", p.com}, {"path", p.path}, {"log", portFile(".", p.com, ".log").substr(2)},
                         {"outcome", outcome}, {"exit_status", p.status}, {"phase", phaseName(p.end.phase)},
                         {"unit_left", unitLeft(p.end)}, {"summary", p.summary}, {"records_unwritten", p.unwritten},
                         {"report", report.is_string() ? json(nullptr) : report}});
        if (report.is_string()) units.back()["report_text"] = report;
        if (!report.is_null()) gathered.push_back(file);
    }
    const json report = {{"program", {{"name", "FwUpgrade"}, {"version", FWUPGRADE_PROGRAM_VERSION}}},
                         {"firmware", FIRMWARE_VERSION_TO_UPLOAD},
                         {"mode", options.info ? "parallel identification" : "parallel update"},
                         {"started", started},
                         {"ended", timeStamp(std::chrono::system_clock::now())},
                         {"stopped", stopped},
                         {"exit_status", status},
                         {"totals", counts},
                         {"units", units}};
    std::string reason;
    if (!safeFileWrite((dir + "/report.json").c_str(), report.dump(2, ' ', false, json::error_handler_t::replace) + "\n",
                       reason))
        return reason;
    for (const std::string &file : gathered) std::remove(file.c_str());
    return "";
}

// The lines under the summary table: totals, the units that need a hand, the records.
std::vector<std::string> closingLines(const std::vector<ChildRun> &ports, const std::string &totals,
                                      const std::string &dir, const std::string &reportError) {
    std::vector<std::string> lines = {totals + "."};
    std::map<std::string, std::vector<std::string>> left;
    for (const ChildRun &p : ports) left[unitLeft(p.end)].push_back("COM" + std::to_string(p.com));
    for (const std::string &line : unitsToHandLines(left)) lines.push_back(line);
    for (const ChildRun &p : ports)
        for (const std::string &what : p.unwritten) lines.push_back("ERROR: COM" + std::to_string(p.com) + ": " + what + ".");
    if (!reportError.empty())
        lines.push_back("ERROR: " + consoleSafeName(dir) + "/report.json could not be written: " + reportError +
                        ". Each unit's own report stays in " + consoleSafeName(dir) + ".");
    else lines.push_back("Logs and report.json in " + consoleSafeName(dir) + ".");
    return lines;
}

// A run on each port; one that cannot start ends at once, with why.
void startRuns(Children &children, std::vector<ChildRun> &ports, const Options &options, const std::string &dir) {
    for (size_t i = 0; i < ports.size(); ++i) {
        std::string why;
        ports[i].started = Clock::now();
        if (!ports[i].path.empty() && children.start(i, childArguments(options, ports[i], dir), false, why)) continue;
        ports[i].finished = true;
        childRunSet(ports[i], ports[i].path.empty() ? "no such port" : "failed",
                    ports[i].path.empty() ? "no such port" : "failed: cannot start its run: " + why);
        ports[i].status = EXIT_UPDATE_FAILED;
    }
}

} // namespace

int parallelStatus(const std::vector<ChildRun> &ports, bool named, bool stopped, std::string &totals) {
    std::vector<std::pair<std::string, int>> counts;
    bool anyUnit = false, anyFailed = false, anyUnconfirmed = false, anyCut = false, anyUnwritten = false;
    for (const ChildRun &p : ports) {
        const std::string &outcome = p.outcome();
        auto at = std::find_if(counts.begin(), counts.end(), [&](const auto &c) { return c.first == outcome; });
        if (at == counts.end()) counts.emplace_back(outcome, 1);
        else ++at->second;
        anyUnit |= !withoutUnit(p, named);
        const Verdict verdict = verdictOf(outcome);
        // A port named for a unit that it could not be used for failed too.
        anyFailed |= !withoutUnit(p, named) && (verdict == VERDICT_FAILED || verdict == VERDICT_NO_UNIT);
        anyUnconfirmed |= verdict == VERDICT_UNCONFIRMED;
        anyCut |= verdict == VERDICT_STOPPED;
        anyUnwritten |= !p.unwritten.empty();
    }
    totals = std::to_string(ports.size()) + (ports.size() == 1 ? " port: " : " ports: ");
    for (size_t i = 0; i < counts.size(); ++i)
        totals += (i ? ", " : "") + std::to_string(counts[i].second) + " " + counts[i].first;
    if (!anyUnit && !stopped) totals += ". No unit answered on any port";
    // A run that says it was stopped was cut, whoever stopped it.
    if (stopped || anyCut) return EXIT_STOPPED;
    if (!anyUnit || anyFailed || anyUnwritten) return EXIT_UPDATE_FAILED;
    return anyUnconfirmed ? EXIT_NOT_CONFIRMED : EXIT_UPDATE_OK;
}

int runParallel(const Options &options) {
    std::vector<ChildRun> ports = parallelPorts(options);
    if (ports.empty()) {
        consoleLine("No serial port to use: this machine lists none (FwUpgrade --list-ports).\r");
        return EXIT_UPDATE_FAILED;
    }
    const std::string started = timeStamp(std::chrono::system_clock::now());
    std::string error;
    bool usage = false;
    const std::string dir = runFolder(options, error, usage);
    // Nothing starts where the record cannot be written.
    if (!dir.empty() && !safeFileCanWrite((dir + "/report.json").c_str(), error))
        error = "cannot write " + dir + "/report.json: " + error;
    if (!error.empty()) {
        consolePrintf("ERROR: %s.\r\n", consoleSafeName(error).c_str());
        return usage ? EXIT_USAGE : EXIT_UPDATE_FAILED;
    }
    const std::string heading = std::string(options.info ? "Identifying the units on " : "Updating the units on ") +
                                std::to_string(ports.size()) + (ports.size() == 1 ? " port" : " ports") +
                                " at once; logs and report.json in " + consoleSafeName(dir) + buildNotesText() + "\r\n";
    consolePrint(heading.c_str());
    Children children;
    startRuns(children, ports, options, dir);
    ParallelView view(ports, platformConsoleTakesCursorMoves(), platformConsoleColumns(), heading);
    bool stopping = false;
    while (children.count() > 0) {
        std::vector<Children::Line> lines;
        std::vector<Children::Ended> ended;
        children.poll(250, lines, ended);
        for (const auto &line : lines) {
            childRunApply(ports[line.slot], line.text);
            view.changed(line.slot);
        }
        for (const auto &end : ended) {
            childRunEnded(ports[end.slot], end.status);
            view.changed(end.slot);
        }
        // Each child restores its port and writes its record; any later signal is part of
        // the same stop, which must finish.
        if (!stopping && platformStopSignal() != 0) {
            stopping = true;
            for (size_t i = 0; i < ports.size(); ++i) children.stop(i);
        }
        view.draw();
    }
    stopping = stopping || platformStopSignal() != 0;
    std::string totals;
    int status = parallelStatus(ports, !options.ports.empty(), stopping, totals);
    const std::string reportError = writeParallelReport(dir, ports, options, status, started, stopping);
    if (!reportError.empty()) status = statusWithUnwrittenRecord(status);
    view.summary(closingLines(ports, totals, dir, reportError));
    return closeWithStatus("", status);
}
