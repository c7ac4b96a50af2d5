// A station run: every port at once, one child run of this program per port. The run's code
// stays single-threaded with its globals: a process per unit is the isolation, and a unit's
// fault cannot disturb another. The threads here only carry the children's output.
#include "Station.h"

#include "Console.h"
#include "FwUpgrade.h"
#include "Options.h"
#include "SafeFile.h"
#include "platform/PortList.h"
#include "platform/Process.h"

#include <nlohmann/json.hpp>

#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>

using json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

namespace {

// What the children wrote, line by line, for the main thread.
struct Lines {
    std::mutex lock;
    std::condition_variable arrived;
    std::deque<std::pair<size_t, std::string>> queue;
    size_t ended = 0; // children whose output has ended
};

void readChild(ChildProcess *child, size_t index, Lines &lines) {
    std::string pending;
    char buffer[4096];
    int n;
    while ((n = processRead(child, buffer, sizeof buffer)) > 0) {
        pending.append(buffer, (size_t)n);
        if (pending.find('\n') == std::string::npos && pending.size() > 65536) pending += '\n'; // no endless line
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::lock_guard<std::mutex> guard(lines.lock);
            lines.queue.emplace_back(index, pending.substr(0, end));
            pending.erase(0, end + 1);
            lines.arrived.notify_one();
        }
    }
    std::lock_guard<std::mutex> guard(lines.lock);
    if (!pending.empty()) lines.queue.emplace_back(index, pending);
    ++lines.ended;
    lines.arrived.notify_one();
}

std::string phaseLabel(const std::string &phase) {
    if (phase == "finding") return "detecting";
    if (phase == "fpga") return "FPGA";
    if (phase == "mcu") return "MCU";
    return phase;
}

// Applies one line of a child's output to its port.
void applyEvent(StationPort &port, const std::string &line) {
    const json e = json::parse(line, nullptr, false);
    if (e.is_discarded() || !e.is_object() || !e.contains("event")) {
        if (!line.empty()) port.message = consoleSafeText(line, line.size());
        return;
    }
    const std::string name = e.value("event", "");
    if (name == "phase") {
        port.phase = phaseLabel(e.value("phase", ""));
        port.percent = -1;
    } else if (name == "unit_kind") {
        port.kind = e.value("kind", "");
    } else if (name == "versions" || name == "versions_after") {
        const std::string versions = e.value("firmware", "?") + " " + e.value("fpga", "?");
        (name == "versions" ? port.before : port.after) = e.value("converted", true) ? versions : "unreadable";
    } else if (name == "progress" || name == "reboot_progress") {
        port.percent = e.value("percent", 0);
    } else if (name == "finished") {
        port.outcome = e.value("outcome", "");
        port.status = e.value("status", -1);
        port.ended = Clock::now();
        port.phase = "done";
        port.percent = -1;
    }
}

// The local time now, as a folder name ("2026-12-07_14-05-09") or for a report ("2026-12-07 14:05:09").
// Whatever a child writes: a field of an unexpected type makes its line a message, never a crash.
void apply(StationPort &port, const std::string &line) {
    try {
        applyEvent(port, line);
    } catch (const json::exception &) {
        port.message = consoleSafeText(line, line.size());
    }
}

std::string timeText(const char *format) {
    const std::time_t t = std::time(nullptr);
    char text[32] = "";
    if (const std::tm *tm = std::localtime(&t)) std::strftime(text, sizeof text, format, tm);
    return text;
}

// The ports of the station: those named, else the machine's.
std::vector<StationPort> stationPorts(const Options &options) {
    std::vector<StationPort> ports;
    auto add = [&](int com, const std::string &path) {
        StationPort port;
        port.com = com;
        port.path = path;
        port.label = "COM" + std::to_string(com) + (path != "COM" + std::to_string(com) ? " " + path : "");
        ports.push_back(port);
    };
    if (options.ports.empty())
        for (const PortInfo &info : PortList_machinePorts()) add(info.number, info.path);
    else
        for (int com : gDetectionPorts) add(com, PortList_pathOf(com));
    return ports;
}

// The child's own run: the single-unit run on one port, its record in the run's folder.
// The files of port n in the run's folder. Never "COM3.log": on Windows that is the port itself.
std::string portFile(const std::string &dir, int com, const char *suffix) {
    return dir + "/port-COM" + std::to_string(com) + suffix;
}

std::vector<std::string> childArguments(const Options &options, const StationPort &port, const std::string &dir) {
    std::vector<std::string> args = {processOwnPath(), "--port", port.path, "--events", "--no-pause",
                                     "--log", portFile(dir, port.com, ".log"),
                                     "--report", portFile(dir, port.com, ".report.json"),
                                     options.info ? "--info" : "--verify"};
    if (options.baud != 0) args.insert(args.end(), {"--baud", std::to_string(options.baud)});
    return args;
}

// Without a unit: nothing to count. A port of the machine's list that another program holds
// is passed over too; one the operator named was meant to carry a unit, so it fails.
bool withoutUnit(const StationPort &port, bool named) {
    return port.outcome == "no unit" || (port.outcome == "port unavailable" && !named);
}

bool failed(const std::string &outcome) {
    return outcome != "updated and verified" && outcome != "not confirmed" && outcome != "identified";
}

// The exit status of the station, and its totals in words.
int stationOutcome(const std::vector<StationPort> &ports, bool named, bool stopped, std::string &totals,
                   json &counts) {
    std::vector<std::string> order;
    for (const StationPort &p : ports) {
        const std::string outcome = p.outcome.empty() ? "ended without a report" : p.outcome;
        if (!counts.contains(outcome)) order.push_back(outcome);
        counts[outcome] = counts.value(outcome, 0) + 1;
    }
    totals = std::to_string(ports.size()) + (ports.size() == 1 ? " port: " : " ports: ");
    for (size_t i = 0; i < order.size(); ++i)
        totals += (i ? ", " : "") + std::to_string(counts[order[i]].get<int>()) + " " + order[i];
    bool anyUnit = false, anyFailed = false, anyUnconfirmed = false;
    for (const StationPort &p : ports) {
        anyUnit |= !withoutUnit(p, named);
        anyFailed |= !withoutUnit(p, named) && failed(p.outcome);
        anyUnconfirmed |= p.outcome == "not confirmed";
    }
    if (stopped) return EXIT_STOPPED;
    if (!anyUnit) totals += ". No unit answered on any port";
    return !anyUnit || anyFailed ? EXIT_UPDATE_FAILED : anyUnconfirmed ? EXIT_NOT_CONFIRMED : EXIT_UPDATE_OK;
}

// report.json: the run, its totals, and each port's own report as its child wrote it.
void writeStationReport(const std::string &dir, const std::vector<StationPort> &ports, bool info, int status,
                        const json &counts, const std::string &started, bool stopped) {
    json units = json::array();
    for (const StationPort &p : ports) {
        const std::string file = portFile(dir, p.com, ".report.json");
        json unitReport = nullptr;
        if (FILE *f = std::fopen(file.c_str(), "rb")) {
            std::string text;
            char buffer[4096];
            size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
            std::fclose(f);
            unitReport = json::parse(text, nullptr, false);
            if (unitReport.is_discarded()) unitReport = nullptr;
            std::remove(file.c_str()); // gathered here: one report for the run
        }
        units.push_back({{"com", p.com}, {"path", p.path}, {"log", portFile(".", p.com, ".log").substr(2)},
                         {"outcome", p.outcome.empty() ? json(nullptr) : json(p.outcome)},
                         {"exit_status", p.status}, {"report", unitReport}});
    }
    const json report = {{"program", {{"name", "FwUpgrade"}, {"version", FWUPGRADE_PROGRAM_VERSION}}},
                         {"firmware", FIRMWARE_VERSION_TO_UPLOAD},
                         {"mode", info ? "parallel identification" : "parallel update"},
                         {"started", started},
                         {"ended", timeText("%Y-%m-%d %H:%M:%S")},
                         {"stopped", stopped},
                         {"exit_status", status},
                         {"totals", counts},
                         {"units", units}};
    safeFileWrite((dir + "/report.json").c_str(), report.dump(2, ' ', false, json::error_handler_t::replace) + "\n");
}

int gStationStatus = EXIT_STOPPED;

// The children end first; a stop can only cut the closing key wait short.
[[noreturn]] void stopAtTheEnd(int) { std::exit(gStationStatus); }

} // namespace

int runStation(const Options &options) {
    platformStopInit(stopAtTheEnd);
    std::vector<StationPort> ports = stationPorts(options);
    if (ports.empty()) {
        consoleLine("No serial port to use: this machine lists none (FwUpgrade --list-ports).\r");
        return EXIT_UPDATE_FAILED;
    }
    const std::string started = timeText("%Y-%m-%d %H:%M:%S");
    const std::string dir = options.logDir.empty() ? "FwUpgrade-logs/" + timeText("%Y-%m-%d_%H-%M-%S") : options.logDir;
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error) {
        consolePrintf("ERROR: Cannot create the folder %s: %s\r\n", dir.c_str(), error.message().c_str());
        return EXIT_UPDATE_FAILED;
    }
    consolePrintf("%s %d ports at once; logs and report.json in %s\r\n",
                  options.info ? "Identifying the units on" : "Updating the units on", (int)ports.size(), dir.c_str());
    Lines lines;
    std::vector<ChildProcess *> children(ports.size(), nullptr);
    std::vector<std::thread> readers;
    for (size_t i = 0; i < ports.size(); ++i) {
        std::string why;
        ports[i].started = Clock::now();
        children[i] = processStart(childArguments(options, ports[i], dir), why);
        if (children[i] == nullptr) {
            ports[i].message = "cannot start: " + why;
            ports[i].status = EXIT_UPDATE_FAILED;
            ports[i].ended = Clock::now();
            std::lock_guard<std::mutex> guard(lines.lock);
            ++lines.ended;
            continue;
        }
        readers.emplace_back(readChild, children[i], i, std::ref(lines));
    }
    StationView view(ports, platformConsoleTakesCursorMoves());
    bool stopping = false;
    for (;;) {
        std::unique_lock<std::mutex> guard(lines.lock);
        lines.arrived.wait_for(guard, std::chrono::milliseconds(250), [&] { return !lines.queue.empty(); });
        std::deque<std::pair<size_t, std::string>> batch;
        batch.swap(lines.queue);
        const bool allEnded = lines.ended == ports.size() && batch.empty();
        guard.unlock();
        for (const auto &[i, line] : batch) {
            apply(ports[i], line);
            view.changed(i);
        }
        if (!stopping && platformStopSignal() != 0) { // each child restores its port and ends
            stopping = true;
            for (ChildProcess *child : children)
                if (child != nullptr) processStop(child);
        }
        view.draw();
        if (allEnded) break;
    }
    for (std::thread &reader : readers) reader.join();
    for (size_t i = 0; i < ports.size(); ++i) {
        if (children[i] == nullptr) continue;
        if (!processWait(children[i], 10000, ports[i].status)) { // output ended: it is ending
            processKill(children[i]);
            processWait(children[i], 5000, ports[i].status);
        }
        if (ports[i].outcome.empty()) ports[i].ended = Clock::now();
        processRelease(children[i]);
    }
    stopping = stopping || platformStopSignal() != 0;
    std::string totals;
    json counts = json::object();
    const int status = stationOutcome(ports, !options.ports.empty(), stopping, totals, counts);
    writeStationReport(dir, ports, options.info, status, counts, started, stopping);
    view.summary(totals + ". Logs and report.json in " + dir + ".");
    gStationStatus = status;
    dipsplayLastMessageToUserBeforeExit("");
    return status;
}
