#ifndef OUTCOME_H_
#define OUTCOME_H_

// How a run ends, in one vocabulary for the console, the log, the events, the reports and the
// station: where it was (its phase), what it came to (its outcome), and what that leaves in
// the unit.

#include <map>
#include <string>
#include <vector>

// Exit status of a run.
#define EXIT_UPDATE_OK 0
#define EXIT_UPDATE_FAILED 1  // update failed, or a file or record could not be written
#define EXIT_USAGE 2          // bad option or operator input, end of input
#define EXIT_NOT_CONFIRMED 3  // both images accepted, the unit did not confirm it runs them
#define EXIT_STOPPED 130      // a signal stopped the run; the port was restored first
#define EXIT_PORT_FAILED (-1) // the port given cannot be opened or its rate set

// The exit status once a record (a log, a report, report.json, the journal) could not be written:
// a run that reached its end with the unit (0, 3) fails; a stop, a usage error and a port that
// did not open keep theirs, which say more.
int statusWithUnwrittenRecord(int status);

// Where a run is.
enum RunPhase {
    PHASE_NONE,      // no unit involved (files, lists)
    PHASE_DETECTING, // detection, or the operator naming the port
    PHASE_CHECKING,  // versions and identity: nothing sent to the unit's flash yet
    PHASE_FPGA,      // from the FPGA image's announcement to its acknowledgement
    PHASE_MCU,       // the same for the MCU image
    PHASE_REBOOTING, // both images accepted, the unit rebooting
    PHASE_VERIFYING, // the versions asked again after the reboot
};

// "detecting", "checking", "FPGA image", "MCU image", "rebooting", "verifying"; "none".
const char *phaseName(RunPhase phase);
// The phase of such a name; PHASE_NONE for any other text.
RunPhase phaseNamed(const std::string &name);
// What the run was doing, for the operator's stop line: "sending the Programmable Logic data".
const char *phaseDoing(RunPhase phase);

// The end of a run, as far as it is known.
struct RunEnd {
    std::string outcome;         // updated and verified, failed, stopped, no unit, ...
    RunPhase phase = PHASE_NONE; // where the run was when it ended (a failure: what failed)
    int percent = -1;            // of the image being sent when it ended; -1 when none was
    std::string imageOutcome;    // of the image that ended it: refused, not ready, write failed
    bool fpgaAccepted = false;
    std::string why;             // of a failed check: what the unit answered, or did not
};

// The one rule that sorts what a run came to, for every count and exit status.
enum Verdict {
    VERDICT_NO_UNIT,     // no unit was involved: none answered, or the port could not be used
    VERDICT_GOOD,        // updated (and verified), already current, identified
    VERDICT_UNCONFIRMED, // both images accepted, the unit did not confirm it runs them
    VERDICT_STOPPED,     // a stop cut it
    VERDICT_FAILED,      // anything else: failed, ended without a report, other firmware...
};
Verdict verdictOf(const std::string &outcome);
// The outcome a describeEnd() text begins with ("failed" of "failed: MCU image refused ..."); "" for none.
std::string outcomeDescribed(const std::string &summary);
// The columns that count a station's units, by verdict: "updated and verified" (every good
// outcome but "already current"), "already current", "failed" (failed, or no unit), "not
// confirmed", "stopped"; in this order for the counts, the chart and the metrics.
extern const char *const OUTCOME_COLUMNS[5];
// The index in OUTCOME_COLUMNS of an outcome.
size_t outcomeColumn(const std::string &outcome);

// What the unit holds after such an end: "updated", "unchanged", "update again" or
// "check before use".
const char *unitLeft(const RunEnd &end);
// The same for the operator: "the unit must be updated again".
const char *unitLeftSentence(const RunEnd &end);
// What the operator can do about an outcome that no retry mends ("no permission": the port
// list's remedy, "add the user to the dialout group"); "" for the others.
const char *outcomeRemedy(const std::string &outcome);
// The end in words, with what the unit holds where that is in doubt:
// "stopped in the FPGA image at 45 %: update again", "no unit", "no permission: add the user to the
// dialout group".
std::string describeEnd(const RunEnd &end);

// The closing lines naming the units that need a hand: "Update again: A, B." and "Check before
// use: C.", each only when a unit was left so. left: the units' names by unitLeft().
std::vector<std::string> unitsToHandLines(const std::map<std::string, std::vector<std::string>> &left);

#endif
