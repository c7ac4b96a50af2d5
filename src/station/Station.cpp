// The station: per port, no port -> waiting for a unit -> its update -> waiting until it
// has gone -> waiting for a unit. A unit is never updated twice while it stays attached.
#include "station/Station.h"
#include "station/StationView.h"

#include "base/Clock.h"
#include "base/Console.h"
#include "fleet/Children.h"
#include "platform/PortList.h"
#include "platform/PortName.h"
#include "plant/PlantFollower.h"
#include "platform/SafeFile.h"
#include "product/Product.h"
#include "product/Timing.h"
#include "run/Closing.h"
#include "run/Options.h"
#include "station/StationFolder.h"
#include "station/StationLines.h"
#include "station/StationShift.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <utility>

using Clock = std::chrono::steady_clock;

namespace {

const auto kBusyRetry = std::chrono::milliseconds(SCALED_MS(5000));
const int kSecondStopApart = 500; // ms; closer: one stop sent twice (to the station and its group)
// A unit found as a scan was typed waits for it at most this long in all: a key held down is no scan.
const auto kTypedScanWait = std::chrono::seconds(10);

} // namespace

void setState(StationPort &port, PortState state, StationView &view) {
    port.state = state;
    port.since = Clock::now();
    view.changed(port);
}

static std::vector<std::string> runArguments(const StationPort &port) {
    return {"--port", port.path, "--as-com", std::to_string(port.com), "--events", "--no-pause"};
}

static void startChild(Station &w, size_t slot, StationPort &port, PortState state, std::vector<std::string> args,
                       StationView &view) {
    std::string error;
    port.probe = ChildRun();
    if (!w.children.start(slot, args, true, error)) {
        port.last = "cannot start a run: " + error;
        port.retryAt = Clock::now() + kBusyRetry;
        return setState(port, STATE_BUSY, view);
    }
    setState(port, state, view);
}

void startWaiting(Station &w, size_t slot, StationPort &port, StationView &view) {
    std::vector<std::string> args = runArguments(port);
    args.push_back("--wait-for-unit");
    startChild(w, slot, port, STATE_WAITING, args, view);
}

// The unit's update: verified, its record named by port and start time, left alone when it
// already runs the carried firmware (unless --force); beside: the ports whose reach of its line
// it checks first (their paths).
void startUpdate(Station &w, size_t slot, StationPort &port, StationView &view, const std::vector<std::string> &beside) {
    const WallTime now = std::chrono::system_clock::now();
    std::string base = w.dir + "/" + portFileTag(port) + "-" + fileTimeStamp(now);
    std::error_code code;
    for (int n = 2; std::filesystem::exists(base + ".log", code) || std::filesystem::exists(base + ".report.json", code); ++n)
        base = w.dir + "/" + portFileTag(port) + "-" + fileTimeStamp(now) + "-" + std::to_string(n);
    port.unit = ChildRun();
    port.unit.started = Clock::now();
    port.unitStarted = timeStamp(now);
    port.log = base + ".log";
    port.report = base + ".report.json";
    std::vector<std::string> args = runArguments(port);
    args.insert(args.end(), {"--baud", std::to_string(port.baud), "--verify", "--log", port.log, "--report", port.report});
    if (!w.options.force) args.push_back("--skip-current");
    if (!port.serial.empty()) args.insert(args.end(), {"--serial", port.serial});
    std::string paths;
    for (const std::string &path : beside) paths += (paths.empty() ? "" : ",") + path;
    if (!paths.empty()) args.insert(args.end(), {"--beside", paths});
    startChild(w, slot, port, STATE_WORKING, args, view);
}

void startRemoval(Station &w, size_t slot, StationPort &port, StationView &view) {
    std::vector<std::string> args = runArguments(port);
    args.insert(args.end(), {"--baud", std::to_string(port.baud), "--wait-until-gone", port.known});
    startChild(w, slot, port, STATE_REMOVE, args, view);
}

namespace {

// The port's unit takes the scan, or no serial number (never the unit's before it on the port).
void bindSerial(Station &w, StationPort &port, const std::optional<Scan> &scan) {
    port.serial = scan ? scan->serial : "";
    port.serialSlot = scan ? scan->slot : "";
    port.serialLastUpdated = scan ? w.scans.lastUpdated(scan->serial) : "";
}

// A unit has answered on the port: its update starts, unless it could not be recorded. Without
// a scan waiting it waits for one (--require-serial), or for the scan being typed as it was found.
void unitFound(Station &w, size_t slot, StationPort &port, StationView &view) {
    port.awaitingRemoval = false;
    std::string why;
    w.notRecording = stationHoldFolder(w.dir, w.me, why) ? w.journal.problem(true) : why;
    if (w.notRecording.empty()) {
        bindSerial(w, port, w.scans.take(port.label));
        if (port.serial.empty() && (w.options.requireSerial || w.scans.beingTyped(Clock::now())))
            return setState(port, STATE_SCAN, view); // no byte sent before its scan
        return updateOnce(w, slot, port, view);
    }
    port.problem = "unit found, not recording";
    port.retryAt = Clock::now() + kBusyRetry;
    setState(port, STATE_BUSY, view);
}

// What follows the presence run that ended on the port.
void nextState(Station &w, size_t slot, StationPort &port, StationView &view) {
    const std::string outcome = port.probe.finished ? port.probe.outcome() : "";
    if (w.stage != STAGE_RUNNING) return setState(port, STATE_IDLE, view);
    if (outcome == "unit found" || outcome == "new unit") return unitFound(w, slot, port, view);
    if (outcome == "gone" || outcome == "no such port") { // the unit, or its adapter, has gone
        if (outcome == "gone") port.awaitingRemoval = false;
        freeLine(w, slot, view);
        port.awaitingRemoval = false;
        if (outcome == "gone" && PortList_present(port.path)) return startWaiting(w, slot, port, view);
        return setState(port, STATE_NO_PORT, view);
    }
    // Held by another program, or a run that could not tell: tried again a little later, as
    // what it was (a unit still to be removed is never taken for a new one).
    port.retryAt = Clock::now() + kBusyRetry;
    setState(port, STATE_BUSY, view);
}

// An update run that could not use its port (gone, held by another program) or found no unit
// on it sent nothing: no unit was handled, and none is to be removed. Its log and report, which
// say only that, go aside (attempts/), so that every unit's files in the folder have their
// journal line; the port goes on as after a presence run that came to the same.
void noUnitHandled(Station &w, size_t slot, StationPort &port, StationView &view) {
    stationKeepAttempt(w.dir, port);
    // Its unit had gone: given back as it was scanned, for the unit re-seated or moved to another slot.
    if (!port.serial.empty()) w.scans.giveBack(port.serial, port.serialSlot, Clock::now());
    port.probe = port.unit;
    freeLine(w, slot, view);
    nextState(w, slot, port, view);
}

// The run on a port ended: its port goes on to the next state.
void portRunEnded(Station &w, size_t slot, StationPort &port, int status, StationView &view) {
    port.problem.clear();
    if (port.state == STATE_WORKING) {
        childRunEnded(port.unit, status);
        if (verdictOf(port.unit.outcome()) == VERDICT_NO_UNIT) return noUnitHandled(w, slot, port, view);
        if (!port.unit.startedAt.empty()) port.unitStarted = port.unit.startedAt;
        journalUnit(w, port);
        countUnit(w, port);
        port.last = port.unit.summary;
        port.known = port.unit.after.empty() || port.unit.after == "unreadable" ? port.unit.before : port.unit.after;
        if (port.known.empty() || port.known == "unreadable") port.known = "unknown";
        port.awaitingRemoval = true;
        if (w.stage == STAGE_RUNNING && port.unit.outcome() != "stopped") return startRemoval(w, slot, port, view);
    } else {
        childRunEnded(port.probe, status);
        const bool found = port.probe.outcome() == "unit found" || port.probe.outcome() == "new unit";
        if (port.lent && w.stage == STAGE_RUNNING && !found) return; // quiet for a check: started again after it
    }
    nextState(w, slot, port, view);
}

// The run on a port ended; a line check it ended before telling of (found no unit, could not open
// its port, stopped) knows of no port on its line, once the port has gone on to its next state.
void childEnded(Station &w, size_t slot, StationPort &port, int status, StationView &view) {
    const bool checking = slot == w.line.slot && w.line.started; // not one its end has just begun
    portRunEnded(w, slot, port, status, view);
    if (checking && slot == w.line.slot) endCheck(w, {}, view);
}

// Where a port is now and the number its runs go by. A COM number names the port of that
// number; a path keeps its adapter's number where it has one, else one no port of the machine has.
void locate(StationPort &port, size_t slot, const std::vector<PortInfo> &usb) {
    int n = 0;
    if (parseComName(port.name, n) == COM_NAME_VALID) {
        port.com = n;
        // The number names the device it named when first found: the list renumbered by another
        // adapter pulled out meanwhile never points the slot at another device.
        const auto at = std::find_if(usb.begin(), usb.end(), [&](const PortInfo &p) { return p.number == n; });
        if (port.path.empty()) port.path = at != usb.end() ? at->path : PortList_pathOf(n);
    } else {
        const auto at = std::find_if(usb.begin(), usb.end(), [&](const PortInfo &p) { return PortList_sameDevice(p.path, port.name); });
        port.path = port.name;
        port.com = at != usb.end() ? at->number : (int)(1000 + slot);
    }
    port.label = port.com < 1000 ? "COM" + std::to_string(port.com) : "";
    if (!port.path.empty() && port.path != port.label) port.label += (port.label.empty() ? "" : " ") + port.path;
    if (!port.given.empty()) port.label = port.given;
}

// The ports to watch now, read again every few seconds without opening any: those named
// (present or not), or every USB adapter of the machine, plugged in or pulled out meanwhile.
void readPorts(Station &w, StationView &view) {
    const std::vector<PortInfo> usb = PortList_usbPorts();
    if (!w.options.ports.empty() && w.ports.empty()) {
        for (size_t i = 0; i < w.options.ports.size(); ++i) {
            StationPort port;
            port.name = w.options.ports[i];
            if (i < w.options.portLabels.size()) port.given = w.options.portLabels[i];
            w.ports[w.nextSlot++] = port;
        }
    }
    if (w.options.ports.empty()) {
        for (const PortInfo &info : usb) {
            const bool known = std::any_of(w.ports.begin(), w.ports.end(),
                                           [&](const auto &p) { return p.second.name == info.path && !p.second.dropped; });
            if (known) continue;
            StationPort port;
            port.name = info.path;
            port.named = false;
            w.ports[w.nextSlot++] = port;
        }
    }
    for (auto &[slot, port] : w.ports) {
        if (w.children.running(slot) || !port.sameAs.empty()) continue;
        locate(port, slot, usb);
        stationResume(w.before, port); // a unit the station before left attached: watched until it goes
        const bool present = !port.path.empty() && PortList_present(port.path);
        // A port named twice (a link and its device, 3 and COM3) is watched once.
        for (const auto &[other, first] : w.ports)
            if (other < slot && present && port.sameAs.empty() && first.path != "" && PortList_sameDevice(first.path, port.path))
                port.sameAs = first.label;
        if (!port.sameAs.empty()) {
            setState(port, STATE_IDLE, view);
            continue;
        }
        if (port.state == STATE_IDLE || (port.state == STATE_BUSY && Clock::now() < port.retryAt)) continue;
        if (port.lent || port.unitWaiting || port.state == STATE_WIRING) continue; // held for a line's sake
        if (!present) freeLine(w, slot, view);
        if (!present) port.awaitingRemoval = false; // the adapter went, and its unit with it
        if (present && port.state == STATE_SCAN) continue; // its unit waits for its scan
        if (present && port.awaitingRemoval) startRemoval(w, slot, port, view);
        else if (present) startWaiting(w, slot, port, view);
        else if (!port.named) port.dropped = true;
        else if (port.state != STATE_NO_PORT || port.since == Clock::time_point()) setState(port, STATE_NO_PORT, view);
    }
    for (auto at = w.ports.begin(); at != w.ports.end();)
        at = at->second.dropped && !w.children.running(at->first) ? w.ports.erase(at) : std::next(at);
}

// No new unit: every run that is not an update is stopped.
void endIntake(Station &w) {
    w.stage = STAGE_DRAINING;
    for (auto &[slot, port] : w.ports)
        if (port.state != STATE_WORKING) w.children.stop(slot);
}

// The first stop takes no new unit and lets the updates under way finish; a stop that came half
// a second or more after the first (not the same one sent twice at once, to the station and its
// group) stops them as --parallel does. So does the first stop once --units has ended the intake,
// and a console closing (Windows ends the process a few seconds later: each unit's state is
// recorded within them).
void onStops(Station &w, int &seen) {
    const int count = platformStopCount();
    if (count == seen) return;
    seen = count;
    const bool now = w.drainedByUnits || platformStopEndsSoon();
    if (w.stage == STAGE_RUNNING) endIntake(w);
    if (w.stage == STAGE_DRAINING && (now || platformStopSpanMs() >= kSecondStopApart)) {
        w.stage = STAGE_STOPPING;
        for (auto &[slot, port] : w.ports) w.children.stop(slot);
    }
}

std::string portsText(const Options &options) {
    if (!options.ports.empty()) return "the ports named";
    std::string text = "every USB serial adapter";
    std::string onBoard;
    for (const PortInfo &info : PortList_machinePorts())
        if (!info.usb) onBoard += (onBoard.empty() ? "" : ", ") + ("COM" + std::to_string(info.number) + " " + info.path);
    if (!onBoard.empty())
        text += "; not the on-board " + onBoard + ", which only --ports names for a whole shift";
    return text;
}

// What the console says of a scan: in the view's last lines, or a line of its own; a refusal
// with the bell the operator hears over the line.
void sayScan(Station &w, StationView &view, const std::string &line, bool refused) {
    view.showSerials();
    if (view.isLive()) w.scanSaid = line;
    else consoleLine(line.c_str());
    if (refused) consolePrint("\a");
}

// The slot whose unit, attached or updating, holds the serial number ("" none).
std::string holderOf(const Station &w, const std::string &serial) {
    for (const auto &[slot, port] : w.ports)
        if (port.serial == serial && portHasUnit(port)) return port.label;
    return "";
}

// What was typed: each scan said, and the units waiting for theirs started, the one that waited
// longest first. A unit that waited for a scan being typed (not --require-serial) starts without
// one once the typing has paused, or after kTypedScanWait in all (a key held down).
void onKeys(Station &w, StationView &view) {
    const Clock::time_point now = Clock::now();
    const auto holder = [&w](const std::string &serial) { return holderOf(w, serial); };
    for (const StationScans::Said &said : w.scans.typed(platformKeysTyped(), now, holder))
        sayScan(w, view, said.line, said.refused);
    for (const std::string &ended : w.scans.expire(now)) sayScan(w, view, ended, false);
    std::vector<std::pair<size_t, StationPort *>> waiting;
    std::vector<StationScans::Waiting> turns;
    for (auto &[slot, port] : w.ports)
        if (port.state == STATE_SCAN && !port.unitWaiting) {
            waiting.push_back({slot, &port});
            turns.push_back({port.label, port.since});
        }
    if (w.stage != STAGE_RUNNING) {
        for (auto &[slot, port] : waiting) {
            w.unscanned.push_back(port->label);
            setState(*port, STATE_IDLE, view);
        }
        return;
    }
    const std::vector<std::optional<Scan>> taken = w.scans.takeInTurn(turns);
    for (size_t i = 0; i < waiting.size(); ++i) {
        auto &[slot, port] = waiting[i];
        const bool typedPaused = !w.scans.beingTyped(now) || now - port->since >= kTypedScanWait;
        if (!taken[i] && (w.options.requireSerial || !typedPaused)) continue;
        bindSerial(w, *port, taken[i]);
        updateOnce(w, slot, *port, view);
    }
}

// The view's last lines: the station's note, then (keys are not echoed into a view drawn in
// place) the scan being typed and what the last one came to.
std::string viewNote(const Station &w, const StationView &view) {
    std::string text = noteText(w);
    if (!view.isLive()) return text;
    for (const std::string &scan : {w.scans.typing().empty() ? "" : "Scanning: " + w.scans.typing(), w.scanSaid})
        if (!scan.empty()) text.append(text.empty() ? "" : " ").append(scan); // made safe to show by the view
    return text;
}

// --require-serial where no label can be scanned: no unit would ever be updated.
int noConsoleForScans() {
    std::fprintf(stderr, "FwUpgrade: --require-serial needs the station's console, where each label is scanned;"
                         " its input is no console here (a service, a pipe, a background job). Run the station in"
                         " a console, or without --require-serial.\n");
    return EXIT_USAGE;
}

std::vector<const StationPort *> rowsOf(const Station &w) {
    std::vector<const StationPort *> rows;
    for (const auto &[slot, port] : w.ports) rows.push_back(&port);
    return rows;
}

} // namespace

int runStation(const Options &options) {
    if (options.requireSerial && !platformStdinIsInteractive()) return noConsoleForScans();
    Station w{options, options.logDir.empty() ? "FwUpgrade-logs/station" : options.logDir};
    int status = EXIT_UPDATE_OK;
    if (!openFolder(w, status)) return status;
    w.plant = plantStart(options, w.dir, true, status);
    if (w.plant) w.plant->journalSynced(w.journal.lines());
    if (status == EXIT_USAGE) return status;
    const std::string heading = "Station: updating each unit plugged into " + portsText(options) + "; its record in " +
                                consoleSafeName(w.dir) + buildNotesText() + "\r\n" + w.server.start(w.children) +
                                (w.plant ? w.plant->heading() + "\r\n" : "");
    consolePrint(heading.c_str());
    StationView view(platformConsoleTakesCursorMoves(), platformConsoleColumns(), heading);
    w.keys = platformKeysBegin(); // after the view's console settings: given back before them
    if (options.requireSerial && !w.keys) return noConsoleForScans();
    consoleWriterBegin(); // a console that takes nothing (Ctrl-S) never holds the loop that starts units
    if (options.requireSerial || !options.serialPattern.empty()) view.showSerials();
    std::map<size_t, std::string> shown; // per port: what the live state last told of it
    int stopsSeen = 0;
    Clock::time_point lastRead;
    for (;;) {
        if (w.stage == STAGE_RUNNING && Clock::now() - lastRead >= std::chrono::milliseconds(STATION_PORTS_READ_MS)) {
            readPorts(w, view);
            checkRecords(w);
            lastRead = Clock::now();
        }
        std::vector<Children::Line> lines;
        std::vector<Children::Ended> ended;
        w.children.poll(250, lines, ended);
        onStops(w, stopsSeen); // before the runs that ended: a stop takes no new unit
        if (!w.keys) w.keys = platformKeysBegin(); // started in the background, now in the foreground
        if (w.keys) onKeys(w, view);
        for (const auto &line : lines) {
            if (line.slot == StationServer::kSlot) {
                w.server.said(line.text);
                continue;
            }
            StationPort &port = w.ports.at(line.slot);
            const std::string before = portStateText(port);
            ChildRun &run = port.state == STATE_WORKING ? port.unit : port.probe;
            childRunApply(run, line.text);
            if (run.baud != 0) port.baud = run.baud; // where the unit answered: its next runs go there
            if (line.slot == w.line.slot && w.line.started && run.lineChecked) endCheck(w, run.lineHeard, view);
            if (portStateText(port) != before) view.changed(port);
        }
        for (const auto &end : ended)
            if (end.slot != StationServer::kSlot) childEnded(w, end.slot, w.ports.at(end.slot), end.status, view);
        startChecked(w, view); // once the ports lent to a check are quiet
        if (w.stage == STAGE_RUNNING) w.server.keep(w.children);
        if (w.stage == STAGE_RUNNING && options.units != 0 && w.totals.handled() >= options.units) {
            w.drainedByUnits = true;
            endIntake(w);
        }
        view.draw(rowsOf(w), w.totals.totalsLine(), viewNote(w, view));
        writeState(w, shown);
        // The page's server goes last: the ended state is the last thing it serves.
        const size_t server = w.children.running(StationServer::kSlot) ? 1 : 0;
        if (w.stage != STAGE_RUNNING && w.children.count() == server) {
            writeState(w, shown, true);
            w.children.stop(StationServer::kSlot);
            if (server == 0) break;
        }
    }
    view.draw(rowsOf(w), w.totals.totalsLine(), "", true);
    if (w.plant) w.plant->stop(); // what it could not send in time is sent at the next start
    writeState(w, shown, true);
    platformKeysEnd();
    const std::string closing = closingLines(w); // the journal closed before any wait for the console
    consoleWriterEnd();
    status = w.totals.exitStatus(!w.unwritten.empty());
    return closeWithStatus(closing.c_str(), status);
}
