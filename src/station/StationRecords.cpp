// What a station's shift records: its journal, its live state, its closing lines.
#include "station/StationShift.h"

#include "base/Console.h"
#include "platform/SafeFile.h"
#include "record/JournalLines.h"
#include "station/StationFolder.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>

using json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

namespace {

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

std::string stageName(const Station &w) {
    static const char *const names[] = {"running", "finishing", "stopping"};
    return names[w.stage];
}

} // namespace

// One line of the journal for a unit handled, written, flushed and on disk before anything
// else; a line the disk does not take is kept and written with the next one it takes.
void journalUnit(Station &w, const StationPort &port) {
    if (w.lookForLeftBehind != Clock::time_point::max()) w.recorded.insert({port.log, port.report}); // not adopted as left
    const std::string reason = w.journal.appendLine(stationJournalLine(port, w.dir));
    if (w.plant) w.plant->journalSynced(w.journal.lines());
    if (!reason.empty())
        w.recordError = "the journal could not take the line of " + unitName(port) + ": " + reason +
                        "; kept, to be written when it can";
    else w.state->unitJournaled(w.journal.lines());
    w.scans.journaled(port.serial, port.unit.endedAt.empty() ? timeStamp(std::chrono::system_clock::now()) : port.unit.endedAt);
}

void countUnit(Station &w, const StationPort &port) {
    // A run that a second stop could not end in time, killed without its report, was cut too.
    w.totals.countUnit(port, !port.unit.finished && w.stage == STAGE_STOPPING);
    for (const std::string &what : port.unit.unwritten) {
        w.unwritten.push_back(unitName(port) + ": " + what);
        w.recordError = unitName(port) + ": " + what;
    }
}

// Lines kept from a journal that could not take them are written once it can; whether a unit
// can be recorded is known before one is taken.
void checkRecords(Station &w) {
    std::string why;
    const bool ours = stationHoldFolder(w.dir, w.me, why);
    if (ours) adoptLeftBehind(w);
    const bool kept = !w.journal.kept().empty();
    const bool written = ours && w.journal.retry().empty();
    if (w.plant && ours) w.plant->journalSynced(w.journal.lines());
    if (written && kept) {
        w.recordError.clear();
        w.state->unitJournaled(w.journal.lines());
    }
    w.notRecording = ours ? w.journal.problem(!w.notRecording.empty()) : why;
}

// The view's last line: how the station stops, why it takes no unit, and a record that failed.
std::string noteText(const Station &w) {
    std::string text = stopNote(w);
    if (w.plant && !w.plant->note().empty()) text.append(text.empty() ? "" : " ").append(w.plant->note());
    for (const std::string *error : {&w.recordError, &w.server.error()})
        if (!error->empty()) text.append(text.empty() ? "" : " ").append("ERROR: ").append(*error).append(".");
    return text;
}

// The live state file: written at once when a port's state changed or a unit was journaled.
void writeState(Station &w, std::map<size_t, std::string> &shown, bool now) {
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
    json scans = json::array();
    for (const Scan &scan : w.scans.waiting())
        scans.push_back({{"serial", scan.serial}, {"slot", scan.slot.empty() ? json(nullptr) : json(scan.slot)}});
    w.state->scansWaiting(scans);
    if (w.plant) w.state->recordsDb(w.plant->statusJson());
    w.state->runsUnjournaled(stationUnjournaled(w.dir, w.ports, w.journal.kept(), w.before, w.recorded));
    w.state->write(w.totals.countsJson(), ports, now ? "ended" : stageName(w), noteText(w), w.journal.lines(), now);
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
        journalEachLine(w.dir + "/journal.jsonl", [&w](const JournalLine &line) { // rework: when a serial number was last here
            // Most lines hold no serial number: not parsed (a journal of months is read at each start).
            const size_t key = line.text.find("\"serial\"");
            const size_t value = key == std::string::npos ? key : line.text.find_first_not_of(" :", key + 8);
            if (value == std::string::npos || line.text[value] != '"') return;
            const json unit = journalLineObject(line);
            if (unit.contains("serial") && unit["serial"].is_string() && unit.contains("ended") && unit["ended"].is_string())
                w.scans.journaled(unit["serial"].get<std::string>(), unit["ended"].get<std::string>());
        });
        return true;
    }
    consolePrintf("ERROR: %s.\r\n", consoleSafeName(reason).c_str());
    status = EXIT_UPDATE_FAILED;
    return false;
}

// "Update again: A1 (TX 1.0.3 1.03, 17:58:32), ...": each unit once, and the records lost.
std::string closingLines(Station &w) {
    const int handled = w.totals.handled();
    std::string closing = "\r\n" + std::to_string(handled) + (handled == 1 ? " unit" : " units") +
                          " handled; their record is in " + consoleSafeName(w.dir) + " (journal.jsonl).\r\n";
    for (const std::string &line : w.totals.toHandLines()) closing += consoleSafeName(line) + "\r\n";
    for (const std::string &fault : w.wiring) closing += "Check the wiring: " + consoleSafeName(fault) + ".\r\n";
    std::string unbound; // scanned, and no unit came for them: their labels are still to be scanned
    for (const Scan &scan : w.scans.waiting()) unbound += (unbound.empty() ? "" : ", ") + scan.serial;
    if (!unbound.empty()) closing += "No unit took the serial numbers scanned: " + unbound + ".\r\n";
    std::string unscanned; // found, and stopped before its label came: not updated, not journaled
    for (const std::string &label : w.unscanned) unscanned += (unscanned.empty() ? "" : ", ") + label;
    if (!unscanned.empty()) closing += "Not updated, their label never scanned: " + consoleSafeName(unscanned) + ".\r\n";
    for (const std::string &line : w.journal.kept()) {
        const json kept = json::parse(line, nullptr, false);
        w.unwritten.push_back("the journal " + w.dir + "/journal.jsonl lost the line of the unit on " +
                              kept.value("port", std::string("?")) + " started " + kept.value("started", std::string("?")));
    }
    const std::string closed = w.journal.close();
    if (!closed.empty()) w.unwritten.push_back("the journal " + closed);
    if (w.plant) // what the plant's database lacks, and why
        for (const std::string &line : w.plant->closing()) closing += consoleSafeName(line) + "\r\n";
    for (const std::string &what : w.unwritten) closing += "ERROR: " + consoleSafeName(what) + ".\r\n";
    return closing;
}

