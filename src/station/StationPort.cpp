// A watched port and its unit in words.
#include "station/StationPort.h"

#include "record/Outcome.h"

namespace {

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
    return "port-" + tag;
}

std::string unitName(const StationPort &port) {
    std::string what = port.unit.kind.empty() ? "unit" : port.unit.kind;
    if (!port.unit.before.empty() && port.unit.before != "unreadable") what += " " + port.unit.before;
    const std::string &started = port.unitStarted; // "2026-12-08T17:58:32...": its time of day
    return port.label + " (" + what + ", " + (started.size() >= 19 ? started.substr(11, 8) : started) + ")";
}
