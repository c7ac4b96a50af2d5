// Two slots that reach one line: the check before each unit's update, and the slots it quiets.
#include "station/StationLines.h"

#include "platform/PortList.h"
#include "station/StationView.h"

#include <algorithm>
#include <utility>

namespace {

// The other ports that could reach the line of the unit found on slot: those present with no unit
// of their own (waiting for one, tried again later, or holding a unit found that waits for its
// scan or its check). A port that works on a unit of its own is on another line.
std::vector<size_t> portsBeside(const Station &w, size_t slot) {
    std::vector<size_t> beside;
    for (const auto &[other, port] : w.ports) {
        const bool free = port.state == STATE_WAITING || port.state == STATE_SCAN ||
                          (port.state == STATE_BUSY && !port.awaitingRemoval);
        if (other != slot && free && port.sameAs.empty() && !port.path.empty() && PortList_present(port.path))
            beside.push_back(other);
    }
    return beside;
}

// A port that reaches the line of the unit on owner: quiet (no probe of its own collides with
// that unit's images, no tap is taken for a unit) and named with it, until that unit has gone.
void quietOnLine(Station &w, size_t slot, StationPort &port, size_t owner, StationView &view) {
    const std::string &ownerLabel = w.ports.at(owner).label;
    port.problem = (slot < owner ? port.label + " and " + ownerLabel : ownerLabel + " and " + port.label) + " reach one line";
    w.wiring.insert(port.problem);
    if (!port.serial.empty()) w.scans.giveBack(port.serial, port.serialSlot, std::chrono::steady_clock::now()); // it was the owner's unit
    port.serial.clear();
    port.unitWaiting = false;
    port.lineOwner = owner;
    setState(port, STATE_WIRING, view);
}

// A unit found that a stopping station will not update: its label's scan is given back (the
// closing lines name it), and the port is idle.
void standDown(Station &w, StationPort &port, StationView &view) {
    if (!port.serial.empty()) w.scans.giveBack(port.serial, port.serialSlot, std::chrono::steady_clock::now());
    port.serial.clear();
    setState(port, STATE_IDLE, view);
}

} // namespace

// The check has told which ports reach the unit's line (heard: their paths): those stay quiet
// until its unit has gone; the others go on as before it, and the units found meanwhile take
// their turn.
void endCheck(Station &w, const std::vector<std::string> &heard, StationView &view) {
    const StationLineCheck line = std::exchange(w.line, StationLineCheck());
    for (size_t slot : line.beside) {
        StationPort &port = w.ports.at(slot);
        port.lent = false;
        const bool onLine = std::any_of(heard.begin(), heard.end(), [&](const std::string &p) { return PortList_sameDevice(p, port.path); });
        if (onLine) quietOnLine(w, slot, port, line.slot, view);
        else if (port.state == STATE_WAITING && !port.unitWaiting && w.stage != STAGE_RUNNING) setState(port, STATE_IDLE, view);
        else if (port.state == STATE_WAITING && !port.unitWaiting) {
            const auto since = port.since; // waiting still, as since before the check
            startWaiting(w, slot, port, view);
            if (port.state == STATE_WAITING) port.since = since;
        }
    }
    for (auto &[slot, port] : w.ports) {
        if (!port.unitWaiting || w.line.slot != StationLineCheck::kNone) continue;
        port.unitWaiting = false;
        if (w.stage == STAGE_RUNNING) updateOnce(w, slot, port, view);
        else standDown(w, port, view);
    }
}

// The update of the port whose line is checked, once every port lent to the check is quiet.
void startChecked(Station &w, StationView &view) {
    StationLineCheck &line = w.line;
    if (line.slot == StationLineCheck::kNone || line.started) return;
    for (size_t other : line.beside)
        if (w.children.running(other)) return;
    StationPort &port = w.ports.at(line.slot);
    port.unitWaiting = false;
    line.started = true;
    if (w.stage != STAGE_RUNNING) {
        standDown(w, port, view);
        return endCheck(w, {}, view);
    }
    std::vector<std::string> paths;
    for (size_t other : line.beside) paths.push_back(w.ports.at(other).path);
    startUpdate(w, line.slot, port, view, paths);
    if (!w.children.running(line.slot)) endCheck(w, {}, view); // no run: nothing was checked
}

// A unit answered on the port: updated at once where no other port could reach its line; else
// those ports are quieted first (their runs stopped, nothing started on them) and its run asks
// the unit alone while they listen, before it sends anything else. One check at a time: a unit
// found meanwhile waits for its turn.
void updateOnce(Station &w, size_t slot, StationPort &port, StationView &view) {
    if (w.line.slot != StationLineCheck::kNone) {
        port.unitWaiting = true;
        return;
    }
    const std::vector<size_t> beside = portsBeside(w, slot);
    if (beside.empty()) return startUpdate(w, slot, port, view, {});
    w.line = {slot, false, beside};
    port.unitWaiting = true;
    for (size_t other : beside) {
        w.ports.at(other).lent = true;
        w.children.stop(other);
    }
    startChecked(w, view);
}

// The ports that reach owner's line go on: waiting for a unit where owner's unit has gone (or none
// was there); where only owner's adapter went, its unit may stay on the line (the other end of a Y
// cable): that port watches it until it goes, as owner did, and never takes it for a new unit.
void freeLine(Station &w, size_t owner, StationView &view) {
    const StationPort &from = w.ports.at(owner);
    for (auto &[slot, port] : w.ports) {
        if (port.state != STATE_WIRING || port.lineOwner != owner) continue;
        port.problem.clear();
        if (w.stage != STAGE_RUNNING) {
            setState(port, STATE_IDLE, view);
        } else if (!from.awaitingRemoval) {
            startWaiting(w, slot, port, view);
        } else {
            port.awaitingRemoval = true;
            port.unit = from.unit;
            port.unitStarted = from.unitStarted;
            port.known = from.known;
            port.baud = from.baud;
            port.last = from.last;
            startRemoval(w, slot, port, view);
        }
    }
}
