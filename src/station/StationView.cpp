// What the station shows: the totals, a live row per port, or a line per change of state.
#include "station/StationView.h"

#include "base/Console.h"
#include "platform/Platform.h"

#include <algorithm>

using Clock = std::chrono::steady_clock;

namespace {

const int kStateWidth = 20, kSerialWidth = 16;

// A note as the line view tells it again: only when it says something new, not when only its
// figures move (the KiB left on a full disk, the updates still under way).
std::string gist(const std::string &note) {
    std::string text;
    for (char c : note)
        if (c < '0' || c > '9') text += c;
        else if (text.empty() || text.back() != '#') text += '#';
    return text;
}

} // namespace

StationView::StationView(bool live, int columns, std::string heading)
    : live(live && columns >= 72), screen(columns, std::move(heading)) {
    if (columns > 0) platformConsoleNoQuickEdit();
}

void StationView::changed(const StationPort &port) {
    if (live) return;
    // A line per change of state, and per tenth of an image or of the reboot.
    const ChildRun &u = port.unit;
    const std::string key = portStateText(port).substr(0, port.state == STATE_WORKING && u.percent >= 0
                                                               ? u.phase.size() : std::string::npos) +
                            (port.state == STATE_WORKING && u.percent >= 0 ? std::to_string(u.percent / 10) : "") + u.kind;
    std::string &last = lastLines[port.label];
    // A port tried again every few seconds (busy, no permission) says so once, not at each try.
    const bool retry = port.state == STATE_BUSY && !port.awaitingRemoval;
    if (key == last || (port.state == STATE_WAITING && retrying[port.label])) return;
    last = key;
    retrying[port.label] = retry;
    std::string line = port.label + ": " + portStateText(port);
    if (port.state == STATE_WORKING && u.phase == "checking" && !u.kind.empty())
        line += ", " + u.kind + " unit, firmware and fpga " + u.before;
    if (port.state == STATE_WORKING && u.phase == "checking" && !port.serial.empty())
        line += ", serial " + port.serial + (port.serialLastUpdated.empty() ? "" : ", last updated " + port.serialLastUpdated);
    // How its unit ended, while that unit is still there (not for a slot that was only waiting).
    if ((port.state == STATE_REMOVE || (port.state == STATE_IDLE && port.awaitingRemoval)) && !port.last.empty())
        line += " (" + port.last + ")";
    consoleLine(consoleSafeName(line).c_str());
}

void StationView::draw(const std::vector<const StationPort *> &ports, const std::string &totals, const std::string &text,
                     bool now) {
    const std::string note = consoleSafeName(text); // it names the folder, and a unit's port
    if (!live) { // the line view says when the station begins to stop, and how it ended
        if (!note.empty() && gist(note) != gist(lastNote)) consoleLine(note.c_str());
        if (now) consoleLine(totals.c_str());
        lastNote = note;
        return;
    }
    bool resized = false;
    if (!screen.due(now, resized)) return;
    const int columns = screen.width();
    const size_t room = (size_t)std::max(columns - 1, 8);
    const size_t serialWidth = serials ? kSerialWidth + 1 : 0; // its column, where labels are scanned
    size_t labelWidth = 4;
    for (const StationPort *p : ports) labelWidth = std::max(labelWidth, p->label.size());
    labelWidth = std::min(labelWidth, (size_t)std::max(16, columns / 5));
    // Narrow: the unit's kind and versions give way to the port and its state.
    const bool unitShown = labelWidth + serialWidth + kStateWidth + kUnitWidth + kVersionsWidth + kTimeWidth + 6 <= room;
    if (!unitShown)
        labelWidth = std::min(labelWidth, (size_t)std::max(8, (int)room - (int)serialWidth - kStateWidth - kTimeWidth - 10));
    const auto row = [&](const std::string &label, const std::string &serial, const std::string &state,
                         const std::string &kind, const std::string &before, const std::string &time,
                         const std::string &last) {
        std::string text = pad(shortened(label, labelWidth, CUT_LABEL), labelWidth) + " ";
        if (serials) text += pad(shortened(serial, kSerialWidth), kSerialWidth) + " ";
        text += pad(shortened(state, kStateWidth), kStateWidth) + " ";
        if (unitShown)
            text += pad(shortened(kind, kUnitWidth), kUnitWidth) + " " +
                    pad(shortened(before, kVersionsWidth), kVersionsWidth) + " ";
        text += right(time, kTimeWidth) + "  ";
        return text.size() > room ? text.substr(0, room) : text + shortened(last, room - text.size(), CUT_OUTCOME);
    };
    std::vector<std::string> lines = folded(totals, room);
    lines.push_back(row("PORT", "SERIAL", "STATE", "UNIT", "BEFORE", "TIME", "LAST"));
    for (const StationPort *p : ports) {
        const std::string time = minutesSeconds(Clock::now() - p->since);
        const bool unit = portHasUnit(*p);
        // A state too long for its column goes on in the last one ("no permission: add the user...",
        // "port unavailable, trying again").
        std::string state = portStateText(*p), last = p->last;
        const size_t split = std::min(state.find(": "), state.find(", "));
        if (state.size() > (size_t)kStateWidth && split <= (size_t)kStateWidth) {
            last = state.substr(split + 2);
            state.resize(split);
        }
        const std::string kind = unit ? dash(p->unit.kind) : "-", before = unit ? dash(p->unit.before) : "-";
        const std::string serial = unit || p->state == STATE_SCAN ? dash(p->serial) : "-";
        // A serial number seen here before: rework, told while its unit is updated.
        if (p->state == STATE_WORKING && !p->serialLastUpdated.empty()) last = "serial last updated " + p->serialLastUpdated;
        const std::string head = row(p->label, serial, state, kind, before, time, "");
        // What to do about a port is never cut: without room in its row it goes on lines of its own.
        const bool remedy = p->state == STATE_BUSY && !p->awaitingRemoval && *outcomeRemedy(p->probe.outcome()) != '\0';
        if (remedy && head.size() + last.size() > room) {
            lines.push_back(head);
            for (const std::string &line : folded(last, room - 4)) lines.push_back("    " + line);
        } else {
            lines.push_back(row(p->label, serial, state, kind, before, time, last));
        }
    }
    const std::vector<std::string> noteLines = note.empty() ? std::vector<std::string>() : folded(note, room);
    lines.insert(lines.end(), noteLines.begin(), noteLines.end());
    screen.show(lines, noteLines.size());
}
