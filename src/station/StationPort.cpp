// A watched port and its unit in words.
#include "station/StationPort.h"

#include "record/Outcome.h"

#include <cstdint>
#include <cstdio>

namespace {

// The bytes of a port's path its files' names keep: with "port-", its start time, a number and
// ".report.json" (and "-N" in attempts/), a name stays well within 255 bytes.
const size_t kTagKept = 100;

// Why the last run on a port could not use it, as its outcome says (no run at all: port.last
// says why). One that needs an administrator says what to do; the tries go on, to see it done.
std::string retryText(const StationPort &port) {
    const std::string outcome = port.probe.finished ? port.probe.outcome() : "";
    if (*outcomeRemedy(outcome) != '\0') return port.probe.summary;
    return (outcome.empty() ? "no run" : outcome) + ", trying again";
}

} // namespace

std::string portStateText(const StationPort &port) {
    switch (port.state) {
    case STATE_NO_PORT:
    case STATE_WAITING:
    case STATE_REMOVE:
    case STATE_SCAN: return PORT_STATE_NAMES[port.state];
    case STATE_BUSY:
        return port.awaitingRemoval ? PORT_STATE_NAMES[STATE_REMOVE] : !port.problem.empty() ? port.problem : retryText(port);
    case STATE_WIRING: return std::string(PORT_STATE_NAMES[port.state]) + ": " + port.problem;
    case STATE_WORKING: // its run opens the port at the rate found, then talks to the unit
        if (port.unit.phase == "starting" || port.unit.phase == "detecting") return "unit found at " + std::to_string(port.baud);
        return port.unit.phase == "done" ? port.unit.summary : childRunPhaseText(port.unit);
    default: return port.sameAs.empty() ? "stopped" : "same port as " + port.sameAs;
    }
}

std::string portFileTag(const StationPort &port) {
    std::string tag = port.path.rfind("/dev/", 0) == 0 ? port.path.substr(5) : port.path;
    for (char &c : tag)
        if (c == '/' || c == '\\' || c == ':') c = '-';
    if (tag.size() <= kTagKept + 9) return "port-" + tag;
    // A file name holds at most 255 bytes: a long path keeps its start, and a hash of the whole
    // keeps two such ports apart. Cut where a character begins, never inside one.
    size_t cut = kTagKept;
    while (cut > 0 && (tag[cut] & 0xC0) == 0x80) --cut;
    uint32_t hash = 2166136261u; // FNV-1a
    for (unsigned char c : port.path) hash = (hash ^ c) * 16777619u;
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", (unsigned)hash);
    return "port-" + tag.substr(0, cut) + "-" + hex;
}

std::string unitName(const StationPort &port) {
    std::string what = port.unit.kind.empty() ? "unit" : port.unit.kind;
    if (!port.unit.before.empty() && port.unit.before != "unreadable") what += " " + port.unit.before;
    const std::string &started = port.unitStarted; // "2026-12-08T17:58:32...": its time of day
    return port.label + " (" + what + ", " + (started.size() >= 19 ? started.substr(11, 8) : started) + ")";
}
