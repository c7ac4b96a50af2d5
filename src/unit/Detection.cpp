// Finds the port and baud rate where a unit answers the help probe: every candidate at once,
// each through the rates in the product's order (DetectionSweeps), and the pick that the sweep
// one port after another would make. What each candidate prints and records is held and given
// out in the candidates' order, as that sweep would have: nothing of a port after the one picked
// reaches any output. Where one line is reached through two ports (a tap, a Y cable, an adapter
// shown twice), a reply heard on one port may be another's: the ports concerned are asked again,
// each alone, in order.
#include "unit/Detection.h"

#include "base/Clock.h"
#include "base/Console.h"
#include "platform/PortList.h"
#include "product/Product.h"
#include "record/Record.h"
#include "unit/ComPortAPI.h"
#include "unit/DetectionSweeps.h"
#include "unit/Probe.h"
#include "unit/RunBuffers.h"

#include <algorithm>
#include <iterator>

int gComPortNumber = 0;
int gBaudRate = 0;
std::vector<int> gDetectionPorts = [] {
    std::vector<int> ports;
    for (int i = 1; i <= 32; ++i) ports.push_back(i);
    return ports;
}();
std::vector<int> gDetectionProbed;
std::vector<std::pair<int, DWORD>> gDetectionUnopened;

namespace {

// A candidate whose sweep has not ended by then (an open or a close the driver holds, replies
// that trickle) counts as no answer, and the pick goes on without it. A driver's time, not the
// protocol's: the test build does not shorten it.
const auto kSweepBound = std::chrono::seconds(60);
// After the pick the other probes end their exchange within a slice of a read: what they heard
// is known by then.
const auto kQuietBound = std::chrono::milliseconds(500);
// At the run's end, how long the probes' threads get to close their ports; one that an open or a
// close still holds is left to end by itself (it closes its port).
const auto kCancelGrace = std::chrono::seconds(2);

// What became of each candidate, as the run's thread sees it once the pick is made.
struct Turn {
    bool taken = false;  // its turn came, in order, and it had ended (or the bound passed)
    bool inTime = false; // it had ended by then
    bool alone = false;  // asked again with no other probe on any line
};

// Asks port com again with no other probe on any line, at rate (0: each rate in order): the
// rate a unit answered at, port left open there; 0 when none did. A stop ends it at once.
int askAlone(int com, int rate, ComPort &port) {
    static const std::atomic<bool> never{false}; // its reads end on a stop, which the caller handles
    if (PortList_openError(com) != 0) return 0;
    DCB dcb = g_dcb;
    return firstRateAnswering(0, [&](int r) {
        if ((rate != 0 && r != rate) || platformStopSignal() != 0) return false;
        port = ComPort();
        port.cancel = &never;
        dcb.BaudRate = (DWORD)r;
        if (!ComPort_open(port, com, dcb, g_cto)) return false;
        if (probeAnswers(port, gDataBuffer)) return true;
        ComPort_close(port);
        return false;
    });
}

bool sameDevice(int a, int b) { return PortList_sameDevice(PortList_pathOf(a), PortList_pathOf(b)); }

// The pick one port after another makes where a reply may have been heard on another port than
// the one whose probe it answered: a port before the pick heard bytes (the other end of a Y
// cable, whose probes met the pick's on the line), or another port found a unit at the pick's
// rate (the pick may be a tap that heard the reply to that port's probe). With no pick, probes
// sent at one instant on two ports of one line meet there and the unit answers neither, which
// nothing on either port tells: then every port that opened is asked again. The ports concerned
// are asked again, each alone, in the candidates' order; the run's port (the pick, taken
// already) is given up for the first that answers. A port before the pick found busy for being
// the picked device under another name is the pick.
// Returns the pick's index (n: none), with the run's port open at `rate`.
size_t secondLook(Sweeps &sweeps, std::vector<Turn> &turns, size_t picked, int &rate) {
    const size_t n = sweeps.size();
    for (size_t i = 0; i < picked && picked < n; ++i)
        if (sweeps[i].busy && sameDevice(sweeps[i].com, sweeps[picked].com)) return i;
    bool pickSure = true;
    for (size_t j = 0; j < n && picked < n; ++j)
        if (j != picked && sweeps[j].answeredAt == rate) pickSure = false;
    for (size_t i = 0; i < n && platformStopSignal() == 0; ++i) {
        if (i == picked && pickSure) return picked;
        const bool heard = sweeps[i].heard && !sweeps[i].heldByEarlier;
        const bool opened = picked == n && sweeps[i].ratesOpened != 0 && !sweeps[i].heldByEarlier;
        if (!(i == picked || heard || opened || (i > picked && sweeps[i].answeredAt != 0))) continue;
        if (i == picked) ComPortAPI_CloseCOM(); // the pick is asked again alone, as the others
        // Its own probe gives its port back first (within a slice of a read, after the cancel).
        if (!sweeps.await(i, MonotonicClock::now() + kCancelGrace, false)) continue;
        turns[i].alone = true;
        ComPort port;
        const int found = askAlone(sweeps[i].com, sweeps[i].answeredAt != 0 ? (int)sweeps[i].answeredAt : rate, port);
        if (found == 0) continue;
        ComPortAPI_TakePort(port, rate = found);
        return i;
    }
    ComPortAPI_CloseCOM();
    return n;
}

// Whether the pick may have taken another port's reply for its own, or no pick found a unit that
// is there (see secondLook).
bool pickInDoubt(Sweeps &sweeps, size_t picked) {
    const size_t n = sweeps.size();
    if (n < 2) return false; // one line, one port: nothing else was on it
    size_t opened = 0;
    for (size_t j = 0; j < n; ++j) opened += sweeps[j].ratesOpened != 0 && !sweeps[j].heldByEarlier;
    if (picked == n && opened >= 2) return true;
    for (size_t j = 0; j < n; ++j) {
        const Sweep &other = sweeps[j];
        if (j == picked || other.heldByEarlier) continue;
        if (picked == n ? other.heard.load() : j < picked ? other.heard || other.busy : other.answeredAt == sweeps[picked].rate)
            return true;
    }
    return false;
}

// ended: the sweep had ended when the outcome was given (its fields may be read).
const char *outcomeOf(const Sweep &sweep, const Turn &turn, bool ended, bool picked, bool stopped) {
    if (sweep.heldByEarlier || (turn.taken && !turn.inTime)) return "no answer in time";
    if (picked) return "unit found";
    if (!turn.taken) return stopped ? "stopped" : ended && sweep.rate != 0 && !turn.alone ? "unit found, not picked" : "not needed";
    if (sweep.openError != 0) return probeUnopened(sweep.openError);
    return sweep.ratesOpened == 0 ? "cannot be opened" : "no answer";
}

// A candidate's turn, in order: what the sweep one port after another would have left in the
// globals once it reached this port.
void countInOrder(const Sweep &sweep) {
    if (sweep.openError != 0) {
        gDetectionUnopened.emplace_back(sweep.com, sweep.openError);
        gComPortNumber = gBaudRate = 0;
        return;
    }
    gDetectionProbed.push_back(sweep.com);
    gComPortNumber = sweep.com;
    if (sweep.lastRate != 0) gBaudRate = sweep.lastRate;
}

// A sweep the bound cut on a port that had opened is a port where no unit answered in time, not
// one that could not be opened: among those probed, in the candidates' order.
void countCut(const Sweep &sweep) {
    if (sweep.ratesOpened == 0) return;
    const auto order = [](int com) { return std::find(gDetectionPorts.begin(), gDetectionPorts.end(), com); };
    gDetectionProbed.insert(std::find_if(gDetectionProbed.begin(), gDetectionProbed.end(),
                                         [&](int com) { return order(com) > order(sweep.com); }),
                            sweep.com);
}

// Gives out what the candidates up to the pick printed and recorded, as one port after another
// would have (and the record of every port asked again alone, which happened too), then the
// detection record. Nothing of a port after the pick.
void giveOut(Sweeps &sweeps, const std::vector<Turn> &turns, size_t picked, int pickRate, const RecordHeld &second,
             double seconds, bool stopped) {
    std::vector<const RecordHeld *> held;
    std::vector<PortProbed> probed;
    for (size_t i = 0; i < sweeps.size(); ++i) {
        Sweep &sweep = sweeps[i];
        const Turn &turn = turns[i];
        const bool ended = sweeps.ended(i);
        const bool shown = turn.taken && turn.inTime && i <= picked;
        if (shown) consoleShowHeld(sweep.console);
        if ((shown || turn.alone) && ended) held.push_back(&sweep.record);
        if (i < picked && turn.taken && turn.inTime) countInOrder(sweep);
        if (i < picked && turn.taken && !turn.inTime && !stopped) countCut(sweep);
        const int rate = i == picked ? pickRate : ended && !turn.alone ? sweep.rate : 0;
        probed.push_back({sweep.com, PortList_pathOf(sweep.com), outcomeOf(sweep, turn, ended, i == picked, stopped),
                          rate, ended ? sweep.seconds : seconds});
    }
    held.push_back(&second);
    recordWriteHeld(held);
    recordDetection(probed);
}

} // namespace

BOOL detectComPortAndBaudrate() {
    gDetectionProbed.clear();
    gDetectionUnopened.clear();
    Sweeps sweeps(gDetectionPorts, g_dcb, g_cto);
    const size_t n = sweeps.size();
    const MonotonicClock::time_point started = MonotonicClock::now(), bound = started + kSweepBound;
    std::vector<Turn> turns(n);
    size_t picked = n;
    int rate = 0;
    for (size_t i = 0; i < n && picked == n; ++i) {
        turns[i].inTime = sweeps.await(i, bound, true);
        if (platformStopSignal() != 0) break;
        turns[i].taken = true;
        if (turns[i].inTime && sweeps[i].rate != 0) picked = i;
    }
    sweeps.cancel();
    // The run's from here on: a stop closes it and gives its settings back.
    if (picked < n) ComPortAPI_TakePort(sweeps[picked].unit, rate = sweeps[picked].rate);
    sweeps.decide(picked);
    sweeps.awaitQuiet(picked, MonotonicClock::now() + kQuietBound);
    RecordHeld second; // what asking again alone records, given out with the rest in time order
    std::string unshown;
    if (platformStopSignal() == 0 && pickInDoubt(sweeps, picked)) {
        consoleHoldOnThisThread(&unshown);
        recordHoldOnThisThread(&second);
        const size_t before = picked;
        picked = secondLook(sweeps, turns, picked, rate);
        consoleHoldOnThisThread(nullptr);
        recordHoldOnThisThread(nullptr);
        for (size_t i = before; i < picked && i < n; ++i) turns[i].taken = turns[i].inTime = sweeps.ended(i);
        if (picked < n) turns[picked].taken = turns[picked].inTime = true;
    }
    const bool stopped = platformStopSignal() != 0;
    giveOut(sweeps, turns, picked, rate, second, secondsSince(started), stopped);
    platformStopCheck();
    if (picked == n) {
        if (!gDetectionProbed.empty()) ComPortAPI_SetBaudRate(std::end(DETECTION_BAUD_RATES)[-1]); // as the sweep leaves it
        return FALSE;
    }
    gComPortNumber = sweeps[picked].com;
    gBaudRate = rate;
    return TRUE;
}

bool detectionEnded() { return detectionThreadsEnded(std::chrono::duration_cast<std::chrono::milliseconds>(kCancelGrace)); }
