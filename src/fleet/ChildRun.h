#ifndef CHILDRUN_H_
#define CHILDRUN_H_

// A child run of this program (an update, an identification or a presence run), as its events
// describe it: what --parallel shows per port and the station per unit.

#include "record/Outcome.h"

#include <chrono>
#include <string>
#include <vector>

struct ChildRun {
    int com = 0;
    std::string path;     // the device path on POSIX; "COMn" on Windows
    std::string label;    // "COM3 /dev/ttyUSB2", or "COM3"
    std::string kind;     // TX, RX
    std::string before;   // "1.0.3 1.03": firmware and FPGA version before the update
    std::string after;    // the same after the reboot
    std::string firmwareBefore; // "1.0.3"
    // The versions as the unit's reply gave them, as in its report ({"firmware": "1.0.3", "model":
    // ..., "fpga": "1.03", "device": ...}): JSON text, "" when not read or unreadable.
    std::string beforeFields, afterFields;
    int baud = 0;         // the rate a presence run found the unit at
    bool lineChecked = false; // its update's unit answered it alone while the ports beside it listened (--beside)
    std::vector<std::string> lineHeard; // the paths of those that heard it: they reach the unit's line
    std::string phase = "starting"; // a phase's name (detecting, FPGA image...), or done
    int percent = -1;     // of the phase, where it has one
    RunEnd end;           // what the events said so far: phase, image outcome, percent, outcome
    bool finished = false; // its finished event came: end.outcome is the run's own
    std::string summary;  // the outcome in words, with what the unit holds
    std::string message;  // a line the child wrote that was no event (an error)
    std::vector<std::string> unwritten; // the child's records that could not be written
    bool reported = false; // the child wrote its report
    int status = -1;      // the child's exit status, once it ended (as its last event said: -1 stays -1)
    std::string startedAt, endedAt; // the run's own start and end (ISO 8601), as its events said
    std::chrono::steady_clock::time_point started, ended;

    const std::string &outcome() const { return end.outcome; }
};

// Applies one line of a child's output: an event, or else a message.
void childRunApply(ChildRun &run, const std::string &line);
// The child ended: what it ended as, when its events did not say (it was killed).
void childRunEnded(ChildRun &run, int status);
// "FPGA image 45 %": its phase, and how far it is through it.
std::string childRunPhaseText(const ChildRun &run);
// Sets how a run ended that its events did not tell (it could not start, or the parent knows why).
void childRunSet(ChildRun &run, const std::string &outcome, const std::string &summary);

#endif
