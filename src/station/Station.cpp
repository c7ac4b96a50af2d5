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
#include "station/StationJournal.h"
#include "station/StationRestart.h"
#include "station/StationServer.h"
#include "station/StationState.h"
#include "station/StationTotals.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <cmath>
#include <map>
#include <memory>
#include <set>

using json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

namespace {

const auto kBusyRetry = std::chrono::milliseconds(SCALED_MS(5000));
const int kSecondStopApart = 500; // ms; closer: one stop sent twice (to the station and its group)

enum Stage { STAGE_RUNNING, STAGE_DRAINING, STAGE_STOPPING };

struct Station {
    Station(const Options &options, std::string dir) : options(options), dir(std::move(dir)) {}
    const Options &options;
    std::string dir;
    StationJournal journal;
    std::unique_ptr<StationState> state;
    std::string me;            // what the folder's lock says of this station
    std::string notRecording;  // why no unit can be recorded now: none is taken
    std::string recordError;   // the last record that could not be written, with its unit
    bool drainedByUnits = false; // --units ended the intake: the first stop stops the runs
    StationServer server{options, dir};
    std::map<size_t, StationPort> ports; // by slot: a port keeps its slot while it is watched
    size_t nextSlot = 0;
    Children children;
    Stage stage = STAGE_RUNNING;
    WallTime startedWall = std::chrono::system_clock::now();
    StationTotals totals{startedWall};
    std::vector<std::string> unwritten; // records that could not be written
    Clock::time_point started = Clock::now();
    StationBefore before;                 // what the folder said of the station before this one
    std::set<std::string> recorded;       // the files of each unit journaled (or kept to) while it looks for them
    Clock::time_point lookForLeftBehind;  // when to look for them again (never once past the window)
    std::unique_ptr<PlantFollower> plant; // --records-db: the journal followed into the plant's database
};

void setState(StationPort &port, PortState state, StationView &view) {
    port.state = state;
    port.since = Clock::now();
    view.changed(port);
}

std::vector<std::string> runArguments(const StationPort &port) {
    return {"--port", port.path, "--as-com", std::to_string(port.com), "--events", "--no-pause"};
}

void startChild(Station &w, size_t slot, StationPort &port, PortState state, std::vector<std::string> args,
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
// already runs the carried firmware (unless --force).
void startUpdate(Station &w, size_t slot, StationPort &port, StationView &view) {
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
    startChild(w, slot, port, STATE_WORKING, args, view);
}

void startRemoval(Station &w, size_t slot, StationPort &port, StationView &view) {
    std::vector<std::string> args = runArguments(port);
    args.insert(args.end(), {"--baud", std::to_string(port.baud), "--wait-until-gone", port.known});
    startChild(w, slot, port, STATE_REMOVE, args, view);
}

// One line of the journal for a unit handled, written, flushed and on disk before anything
// else; a line the disk does not take is kept and written with the next one it takes.
void journalUnit(Station &w, const StationPort &port) {
    if (w.lookForLeftBehind != Clock::time_point::max()) w.recorded.insert({port.log, port.report}); // not adopted as left
    const std::string reason = w.journal.appendLine(stationJournalLine(port, w.dir));
    if (!reason.empty())
        w.recordError = "the journal could not take the line of " + unitName(port) + ": " + reason +
                        "; kept, to be written when it can";
    else w.state->unitJournaled(w.journal.lines());
}

void countUnit(Station &w, const StationPort &port) {
    // A run that a second stop could not end in time, killed without its report, was cut too.
    w.totals.countUnit(port, !port.unit.finished && w.stage == STAGE_STOPPING);
    for (const std::string &what : port.unit.unwritten) {
        w.unwritten.push_back(unitName(port) + ": " + what);
        w.recordError = unitName(port) + ": " + what;
    }
}

// The units a station that did not end left behind (their runs went on and wrote their records),
// each journaled and counted once. Looked for at the start and a few times in the minute after
// it, while the last of those runs end (they end within seconds of their station); a run that
// left a log alone is taken only at the last look, when it can no longer be going.
const auto kLeftBehindWindow = std::chrono::seconds(60), kLeftBehindLooks = std::chrono::seconds(10);

void adoptLeftBehind(Station &w) {
    const Clock::time_point now = Clock::now();
    if (w.lookForLeftBehind == Clock::time_point::max() || now < w.lookForLeftBehind) return;
    const bool last = now - w.started >= kLeftBehindWindow;
    std::set<std::string> ours = w.recorded;
    for (const auto &[slot, port] : w.ports) ours.insert({port.log, port.report});
    for (StationPort &port : unitsLeftBehind(w.dir, ours, w.before, last)) {
        for (const auto &[slot, watched] : w.ports) // on a slot this station watches: as it names it
            if (watched.path == port.path) {
                port.name = watched.name;
                port.given = watched.given;
                port.label = watched.label;
            }
        journalUnit(w, port);
        w.totals.noteLeftBehind(port); // not this station's unit: named at the end, never counted
    }
    w.lookForLeftBehind = last ? Clock::time_point::max() : now + kLeftBehindLooks;
}

// A unit has answered on the port: its update starts, unless it could not be recorded.
void unitFound(Station &w, size_t slot, StationPort &port, StationView &view) {
    port.awaitingRemoval = false;
    std::string why;
    w.notRecording = stationHoldFolder(w.dir, w.me, why) ? w.journal.problem(true) : why;
    if (w.notRecording.empty()) return startUpdate(w, slot, port, view);
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
    port.probe = port.unit;
    nextState(w, slot, port, view);
}

// The run on a port ended: its port goes on to the next state.
void childEnded(Station &w, size_t slot, StationPort &port, int status, StationView &view) {
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
    }
    nextState(w, slot, port, view);
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
        if (!present) port.awaitingRemoval = false; // the adapter went, and its unit with it
        if (present && port.awaitingRemoval) startRemoval(w, slot, port, view);
        else if (present) startWaiting(w, slot, port, view);
        else if (!port.named) port.dropped = true;
        else if (port.state != STATE_NO_PORT || port.since == Clock::time_point()) setState(port, STATE_NO_PORT, view);
    }
    for (auto at = w.ports.begin(); at != w.ports.end();)
        at = at->second.dropped && !w.children.running(at->first) ? w.ports.erase(at) : std::next(at);
}

// Lines kept from a journal that could not take them are written once it can; whether a unit
// can be recorded is known before one is taken.
void checkRecords(Station &w) {
    std::string why;
    const bool ours = stationHoldFolder(w.dir, w.me, why);
    if (ours) adoptLeftBehind(w);
    const bool kept = !w.journal.kept().empty();
    if (ours && w.journal.retry().empty() && kept) {
        w.recordError.clear();
        w.state->unitJournaled(w.journal.lines());
    }
    w.notRecording = ours ? w.journal.problem(!w.notRecording.empty()) : why;
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

int working(const Station &w) {
    return (int)std::count_if(w.ports.begin(), w.ports.end(), [](const auto &p) { return p.second.state == STATE_WORKING; });
}

std::string stopNote(const Station &w) {
    if (w.stage == STAGE_DRAINING) {
        const int n = working(w);
        const std::string updates = std::to_string(n) + (n == 1 ? " update" : " updates") + " under way";
        if (w.drainedByUnits)
            return "Finishing: " + std::to_string(w.options.units) + (w.options.units == 1 ? " unit" : " units") +
                   " handled, no new unit, " + updates + "; Ctrl-C stops " + (n == 1 ? "it" : "them") + " now.";
        return "Finishing: no new unit, " + updates + "; Ctrl-C again stops " + (n == 1 ? "it" : "them") + " now.";
    }
    if (w.stage == STAGE_STOPPING) return "Stopping: each unit's run restores its port and writes its record.";
    if (!w.notRecording.empty()) return "No new unit: it could not be recorded (" + w.notRecording + ").";
    return "";
}

// The view's last line: how the station stops, why it takes no unit, and a record that failed.
std::string noteText(const Station &w) {
    const std::string note = stopNote(w);
    std::string text = note;
    if (w.plant && !w.plant->note().empty()) text += (text.empty() ? "" : " ") + w.plant->note();
    for (const std::string *error : {&w.recordError, &w.server.error()})
        if (!error->empty()) text += (text.empty() ? "" : " ") + std::string("ERROR: ") + *error + ".";
    return text;
}

std::string stageName(const Station &w) {
    static const char *const names[] = {"running", "finishing", "stopping"};
    return names[w.stage];
}

// The live state file: written at once when a port's state changed or a unit was journaled.
void writeState(Station &w, std::map<size_t, std::string> &shown, bool now = false) {
    if (!platformStillHolding(stationLockOf(w.dir))) return; // not in a folder that may be another station's
    json ports = json::array();
    for (const auto &[slot, port] : w.ports) {
        json p = StationState::portJson(slot, port);
        // A change of state, or of a tenth of an image: a reader is told (the percent goes on in "ports").
        const std::string key = p["state"].get<std::string>() + p["text"].get<std::string>().substr(0, 12) +
                                std::to_string(p["percent"].is_number() ? p["percent"].get<int>() / 10 : -1) +
                                p["last"].get<std::string>();
        if (shown[slot] != key) {
            shown[slot] = key;
            w.state->portChanged(p);
        }
        ports.push_back(std::move(p));
    }
    if (w.plant) w.state->recordsDb(w.plant->statusJson());
    w.state->runsUnjournaled(stationUnjournaled(w.dir, w.ports, w.journal.kept(), w.before, w.recorded));
    w.state->write(w.totals.countsJson(), ports, now ? "ended" : stageName(w), noteText(w), w.journal.lines(), now);
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

// The folder of the shift: kept across runs, held by one station at a time, with its journal.
bool openFolder(Station &w, int &status) {
    std::error_code code;
    std::filesystem::create_directories(w.dir, code);
    std::string why, reason;
    w.me = "station " + std::to_string(platformProcessId()) + " started " + timeStamp(w.startedWall) + " on " +
           platformHostName();
    const HoldResult held = code ? HOLD_FAILED : platformHoldFile(stationLockOf(w.dir), w.me + "\n", why);
    if (held == HOLD_TAKEN) w.before = stationBefore(w.dir); // before this station writes there
    if (code) reason = "cannot create the folder " + w.dir + ": " + code.message();
    else if (held == HOLD_BY_ANOTHER) {
        consolePrintf("ERROR: %s is the folder of another station (%s): give this one its own --log-dir.\r\n",
                      consoleSafeName(w.dir).c_str(), consoleSafeName(why).c_str());
        status = EXIT_USAGE;
        return false;
    } else if (held == HOLD_FAILED)
        reason = "cannot hold " + w.dir + "/station.lock, which keeps a second station out of the folder: " + why;
    else reason = w.journal.open(w.dir);
    if (reason.empty()) {
        w.state = std::make_unique<StationState>(w.dir, StationState::stationFacts(w.me, timeStamp(w.startedWall)));
        w.journal.mayReopen = [&w](std::string &why) { return stationHoldFolder(w.dir, w.me, why); };
        return true;
    }
    consolePrintf("ERROR: %s.\r\n", consoleSafeName(reason).c_str());
    status = EXIT_UPDATE_FAILED;
    return false;
}

std::vector<const StationPort *> rowsOf(const Station &w) {
    std::vector<const StationPort *> rows;
    for (const auto &[slot, port] : w.ports) rows.push_back(&port);
    return rows;
}

// "Update again: A1 (TX 1.0.3 1.03, 17:58:32), ...": each unit once, and the records lost.
std::string closingLines(Station &w) {
    const int handled = w.totals.handled();
    std::string closing = "\r\n" + std::to_string(handled) + (handled == 1 ? " unit" : " units") +
                          " handled; their record is in " + consoleSafeName(w.dir) + " (journal.jsonl).\r\n";
    for (const std::string &line : w.totals.toHandLines()) closing += consoleSafeName(line) + "\r\n";
    for (const std::string &line : w.journal.kept()) {
        const json kept = json::parse(line, nullptr, false);
        w.unwritten.push_back("the journal " + w.dir + "/journal.jsonl lost the line of the unit on " +
                              kept.value("port", std::string("?")) + " started " + kept.value("started", std::string("?")));
    }
    const std::string closed = w.journal.close();
    if (!closed.empty()) w.unwritten.push_back("the journal " + closed);
    for (const std::string &what : w.unwritten) closing += "ERROR: " + consoleSafeName(what) + ".\r\n";
    return closing;
}

} // namespace

int runStation(const Options &options) {
    Station w{options, options.logDir.empty() ? "FwUpgrade-logs/station" : options.logDir};
    int status = EXIT_UPDATE_OK;
    if (!openFolder(w, status)) return status;
    w.plant = plantStart(options, w.dir, true, status);
    if (status == EXIT_USAGE) return status;
    const std::string heading = "Station: updating each unit plugged into " + portsText(options) + "; its record in " +
                                consoleSafeName(w.dir) + buildNotesText() + "\r\n" + w.server.start(w.children) +
                                (w.plant ? w.plant->heading() : "");
    consolePrint(heading.c_str());
    StationView view(platformConsoleTakesCursorMoves(), platformConsoleColumns(), heading);
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
            if (portStateText(port) != before) view.changed(port);
        }
        for (const auto &end : ended)
            if (end.slot != StationServer::kSlot) childEnded(w, end.slot, w.ports.at(end.slot), end.status, view);
        if (w.stage == STAGE_RUNNING) w.server.keep(w.children);
        if (w.stage == STAGE_RUNNING && options.units != 0 && w.totals.handled() >= options.units) {
            w.drainedByUnits = true;
            endIntake(w);
        }
        view.draw(rowsOf(w), w.totals.totalsLine(), noteText(w));
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
    const std::string closing = closingLines(w);
    status = w.totals.exitStatus(!w.unwritten.empty());
    return closeWithStatus(closing.c_str(), status);
}
