// A station run: every port at once, one child run of this program per port. The run's code
// stays single-threaded with its globals: a process per unit is the isolation, and a unit's
// fault cannot disturb another.
#include "Station.h"

#include "Clock.h"
#include "Console.h"
#include "Detection.h"
#include "Options.h"
#include "Product.h"
#include "Run.h"
#include "SafeFile.h"
#include "StationChildren.h"
#include "platform/PortList.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>

using json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

namespace {

void applyEvent(StationPort &port, const std::string &line) {
    const json e = json::parse(line, nullptr, false);
    if (e.is_discarded() || !e.is_object() || !e.contains("event")) {
        if (!line.empty()) port.message = consoleSafeText(line, line.size());
        return;
    }
    const std::string name = e.value("event", "");
    if (name == "start") {
        port.startedAt = e.value("started", "");
    } else if (name == "phase") {
        port.phase = e.value("phase", "");
        port.end.phase = phaseNamed(port.phase);
        port.percent = port.end.percent = -1;
    } else if (name == "unit_kind") {
        port.kind = e.value("kind", "");
    } else if (name == "versions" || name == "versions_after") {
        const std::string versions = e.value("firmware", "?") + " " + e.value("fpga", "?");
        (name == "versions" ? port.before : port.after) = e.value("converted", true) ? versions : "unreadable";
        if (name == "versions") port.firmwareBefore = e.value("firmware", "");
    } else if (name == "progress" || name == "reboot_progress") {
        port.percent = e.value("percent", 0);
        if (name == "progress") port.end.percent = port.percent;
    } else if (name == "image_accepted") {
        port.end.fpgaAccepted |= e.value("kind", "") == "fpga";
    } else if (name == "image_failed") {
        port.end.imageOutcome = e.value("outcome", "");
    } else if (name == "finished") {
        port.outcome = port.end.outcome = e.value("outcome", "");
        port.end.phase = phaseNamed(e.value("phase", ""));
        port.status = e.value("exit_status", -1);
        port.endedAt = e.value("ended", "");
        port.summary = e.value("summary", port.outcome);
        if (port.outcome == "identified") // would an update change it?
            port.summary += port.firmwareBefore == FIRMWARE_VERSION_TO_UPLOAD
                                ? ": runs " FIRMWARE_VERSION_TO_UPLOAD " already"
                                : ": an update installs " FIRMWARE_VERSION_TO_UPLOAD;
        port.unwritten = e.value("records_unwritten", std::vector<std::string>());
        port.reported = true;
        for (const std::string &what : port.unwritten) port.reported &= what.rfind("the report ", 0) != 0;
        port.ended = Clock::now();
        port.phase = "done";
        port.percent = -1;
    }
}

// The ports of the station: those named (each device once), else the machine's.
std::vector<StationPort> stationPorts(const Options &options) {
    std::vector<StationPort> ports;
    auto add = [&](int com, const std::string &path) {
        StationPort port;
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

// The child's own run: the single-unit run on one port under the station's COM number, its
// record in the run's folder.
std::vector<std::string> childArguments(const Options &options, const StationPort &port, const std::string &dir) {
    std::vector<std::string> args = {"--port", port.path, "--as-com", std::to_string(port.com), "--events",
                                     "--no-pause", "--log", portFile(dir, port.com, ".log"),
                                     "--report", portFile(dir, port.com, ".report.json"),
                                     options.info ? "--info" : "--verify"};
    if (options.baud != 0) args.insert(args.end(), {"--baud", std::to_string(options.baud)});
    if (options.skipCurrent) args.push_back("--skip-current");
    return args;
}

// The run's folder: --log-dir as given, or a new FwUpgrade-logs/DATE_TIME of its own (a suffix
// when another station took that name in the same second). "" with error set when it cannot be.
std::string runFolder(const Options &options, std::string &error) {
    std::error_code code;
    if (!options.logDir.empty()) {
        std::filesystem::create_directories(options.logDir, code);
        if (code) error = "cannot create the folder " + options.logDir + ": " + code.message();
        return code ? "" : options.logDir;
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
bool withoutUnit(const StationPort &port, bool named) {
    return port.outcome == "no unit" ||
           (!named && (port.outcome == "busy" || port.outcome == "no such port" || port.outcome == "port unavailable" ||
                       port.outcome == "no permission"));
}

bool failed(const std::string &outcome) {
    return outcome != "updated and verified" && outcome != "not confirmed" && outcome != "identified" &&
           outcome != "already current";
}

// A child's report, read only through the open a log uses (a regular file, never a FIFO or a
// link): its JSON; its text, when that is no JSON; null when it cannot be read.
json childReport(const std::string &file) {
    std::string reason;
    FILE *f = platformOpenToRead(file.c_str(), reason);
    if (f == nullptr) return nullptr;
    std::string text;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0 && text.size() < (64u << 20);)
        text.append(buffer, n);
    std::fclose(f);
    json report = json::parse(text, nullptr, false);
    return report.is_discarded() ? json(text) : report;
}

// report.json: the run, its totals, and each port's own report as its child wrote it (one that
// is no JSON as its text, report_text). Once it is in place the children's reports it holds are
// removed (gathered); else they stay. "" when written.
std::string writeStationReport(const std::string &dir, const std::vector<StationPort> &ports, const Options &options,
                               int status, const std::string &started, bool stopped) {
    json units = json::array();
    json counts = json::object();
    std::vector<std::string> gathered;
    for (const StationPort &p : ports) {
        const std::string outcome = p.outcome.empty() ? "ended without a report" : p.outcome;
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

// "COM3, COM5": the ports whose units are left as `left`.
std::string portsLeft(const std::vector<StationPort> &ports, const char *left) {
    std::string names;
    for (const StationPort &p : ports)
        if (unitLeft(p.end) == std::string(left)) names += (names.empty() ? "" : ", ") + ("COM" + std::to_string(p.com));
    return names;
}

// The lines under the summary table: totals, the units that need a hand, the records.
std::vector<std::string> closingLines(const std::vector<StationPort> &ports, const std::string &totals,
                                      const std::string &dir, const std::string &reportError) {
    std::vector<std::string> lines = {totals + "."};
    for (const char *left : {"update again", "check before use"}) {
        const std::string names = portsLeft(ports, left);
        if (!names.empty()) lines.push_back(std::string(left == std::string("update again") ? "Update again: "
                                                                                          : "Check before use: ") +
                                            names + ".");
    }
    for (const StationPort &p : ports)
        for (const std::string &what : p.unwritten) lines.push_back("ERROR: COM" + std::to_string(p.com) + ": " + what + ".");
    if (!reportError.empty())
        lines.push_back("ERROR: " + dir + "/report.json could not be written: " + reportError +
                        ". Each unit's own report stays in " + dir + ".");
    else lines.push_back("Logs and report.json in " + dir + ".");
    return lines;
}

int gStationStatus = EXIT_STOPPED;

// The children end first; a stop can only cut the closing key wait short.
[[noreturn]] void stopAtTheEnd(int) { std::exit(gStationStatus); }

} // namespace

void stationApply(StationPort &port, const std::string &line) {
    try {
        applyEvent(port, line);
    } catch (const json::exception &) { // a field of an unexpected type: a message, never a crash
        port.message = consoleSafeText(line, line.size());
    }
}

void stationChildEnded(StationPort &port, int status) {
    if (!port.outcome.empty()) return; // its last event said how it ended, in its own exit status
    port.status = status;
    port.end.outcome = "ended without a report";
    port.summary = describeEnd(port.end);
    port.ended = Clock::now();
    port.phase = "done";
    port.percent = -1;
}

int stationStatus(const std::vector<StationPort> &ports, bool named, bool stopped, std::string &totals) {
    std::vector<std::pair<std::string, int>> counts;
    bool anyUnit = false, anyFailed = false, anyUnconfirmed = false, anyUnwritten = false;
    for (const StationPort &p : ports) {
        const std::string outcome = p.outcome.empty() ? "ended without a report" : p.outcome;
        auto at = std::find_if(counts.begin(), counts.end(), [&](const auto &c) { return c.first == outcome; });
        if (at == counts.end()) counts.emplace_back(outcome, 1);
        else ++at->second;
        anyUnit |= !withoutUnit(p, named);
        anyFailed |= !withoutUnit(p, named) && failed(outcome);
        anyUnconfirmed |= outcome == "not confirmed";
        anyUnwritten |= !p.unwritten.empty();
    }
    totals = std::to_string(ports.size()) + (ports.size() == 1 ? " port: " : " ports: ");
    for (size_t i = 0; i < counts.size(); ++i)
        totals += (i ? ", " : "") + std::to_string(counts[i].second) + " " + counts[i].first;
    if (!anyUnit && !stopped) totals += ". No unit answered on any port";
    if (stopped) return EXIT_STOPPED;
    if (!anyUnit || anyFailed || anyUnwritten) return EXIT_UPDATE_FAILED;
    return anyUnconfirmed ? EXIT_NOT_CONFIRMED : EXIT_UPDATE_OK;
}

int runStation(const Options &options) {
    platformStopInit(stopAtTheEnd);
    std::vector<StationPort> ports = stationPorts(options);
    if (ports.empty()) {
        consoleLine("No serial port to use: this machine lists none (FwUpgrade --list-ports).\r");
        return EXIT_UPDATE_FAILED;
    }
    const std::string started = timeStamp(std::chrono::system_clock::now());
    std::string error;
    const std::string dir = runFolder(options, error);
    // Nothing starts where the record cannot be written.
    if (!dir.empty() && !safeFileCanWrite((dir + "/report.json").c_str(), error))
        error = "cannot write " + dir + "/report.json: " + error;
    if (!error.empty()) {
        consolePrintf("ERROR: %s.\r\n", error.c_str());
        return EXIT_UPDATE_FAILED;
    }
    const std::string heading = std::string(options.info ? "Identifying the units on " : "Updating the units on ") +
                                std::to_string(ports.size()) + (ports.size() == 1 ? " port" : " ports") +
                                " at once; logs and report.json in " + dir + buildNotesText() + "\r\n";
    consolePrint(heading.c_str());
    StationChildren children;
    for (size_t i = 0; i < ports.size(); ++i) {
        std::string why;
        ports[i].started = Clock::now();
        if (!ports[i].path.empty() && children.start(i, childArguments(options, ports[i], dir), false, why)) continue;
        ports[i].outcome = ports[i].path.empty() ? "no such port" : "failed";
        ports[i].summary = ports[i].path.empty() ? "no such port" : "failed: cannot start its run: " + why;
        ports[i].status = EXIT_UPDATE_FAILED;
        ports[i].ended = Clock::now();
        ports[i].phase = "done";
    }
    StationView view(ports, platformConsoleTakesCursorMoves(), platformConsoleColumns(), heading);
    bool stopping = false;
    while (children.count() > 0) {
        std::vector<StationChildren::Line> lines;
        std::vector<StationChildren::Ended> ended;
        children.poll(250, lines, ended);
        for (const auto &line : lines) {
            stationApply(ports[line.slot], line.text);
            view.changed(line.slot);
        }
        for (const auto &end : ended) {
            stationChildEnded(ports[end.slot], end.status);
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
    int status = stationStatus(ports, !options.ports.empty(), stopping, totals);
    const std::string reportError = writeStationReport(dir, ports, options, status, started, stopping);
    if (!reportError.empty()) status = statusWithUnwrittenRecord(status);
    view.summary(closingLines(ports, totals, dir, reportError));
    gStationStatus = status;
    dipsplayLastMessageToUserBeforeExit("");
    return status;
}
