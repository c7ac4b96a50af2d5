// Finds the port and baud rate where a unit answers the help probe: every candidate at once,
// each on a thread of its own through the rates in the product's order, and the pick that the
// sweep one port after another would make. What each candidate prints and records is held and
// given out in the candidates' order, as that sweep would have: nothing of a port after the one
// picked reaches the console.
#include "unit/Detection.h"

#include "base/Clock.h"
#include "base/Console.h"
#include "platform/PortList.h"
#include "product/Product.h"
#include "record/Record.h"
#include "unit/ComPortAPI.h"
#include "unit/Probe.h"
#include "unit/RunBuffers.h"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

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
// Once the pick is made or the bound passed, the sweeps still under way end within a slice of a
// read; one that an open or a close holds longer is left to end by itself (it closes its port).
const auto kCancelGrace = std::chrono::seconds(2);

// One candidate's sweep. Its thread writes it until `finished`; the run's thread reads it after.
struct Sweep {
    explicit Sweep(int com) : com(com) {}
    int com;
    bool finished = false;   // under Shared::lock
    DWORD openError = 0;     // the existence test's error; 0: the port is there and free
    std::atomic<int> ratesOpened{0}; // the rates the port opened at (read before it ends too)
    int lastRate = 0;        // the last of them
    ComPort unit;            // open at `rate` when a unit answered
    int rate = 0;
    double seconds = 0;
    std::string console;     // what it printed, held
    RecordHeld record;       // what it recorded, held
    std::thread thread;
};

struct Shared {
    std::mutex lock;
    std::condition_variable changed;
    std::atomic<bool> cancel{false}; // the pick is made, or a stop came: every probe ends
};

// The existence test, then each rate in order with a fresh open (it empties both queues) and
// two probes; the port stays open at the rate a unit answered.
void sweepPort(std::shared_ptr<Shared> shared, std::shared_ptr<Sweep> sweep, DCB dcb, COMMTIMEOUTS cto) {
    consoleHoldOnThisThread(&sweep->console);
    recordHoldOnThisThread(&sweep->record);
    const MonotonicTime start = std::chrono::steady_clock::now();
    sweep->openError = PortList_openError(sweep->com);
    std::vector<char> buffer(sweep->openError == 0 ? DATA_BUFFER_SIZE : 0);
    if (sweep->openError == 0)
        sweep->rate = firstRateAnswering(0, [&](int rate) {
            if (shared->cancel) return false;
            ComPort port;
            port.cancel = &shared->cancel;
            dcb.BaudRate = (DWORD)rate;
            if (!ComPort_open(port, sweep->com, dcb, cto)) return false;
            ++sweep->ratesOpened;
            sweep->lastRate = rate;
            if (probeAnswers(port, buffer.data())) {
                sweep->unit = port;
                return true;
            }
            ComPort_close(port);
            return false;
        });
    sweep->seconds = secondsSince(start);
    consoleHoldOnThisThread(nullptr);
    recordHoldOnThisThread(nullptr);
    std::lock_guard<std::mutex> guard(shared->lock);
    sweep->finished = true;
    shared->changed.notify_all();
}

// Waits until the sweep has ended or the bound passed (or, with orStop, a stop came): true when
// it ended.
bool awaitSweep(Shared &shared, const Sweep &sweep, MonotonicTime bound, bool orStop) {
    std::unique_lock<std::mutex> guard(shared.lock);
    while (!sweep.finished && !(orStop && platformStopSignal() != 0) && std::chrono::steady_clock::now() < bound)
        shared.changed.wait_for(guard, std::chrono::milliseconds(50));
    return sweep.finished;
}

const char *outcomeOf(const Sweep &sweep, bool inTime, bool taken, bool picked) {
    if (!inTime) return "no answer in time";
    if (sweep.openError != 0) {
        switch (PortList_problem(sweep.openError)) {
        case PORT_ABSENT: return "no such port";
        case PORT_BUSY: return "in use";
        case PORT_DENIED: return "no permission";
        default: return "cannot be opened";
        }
    }
    if (sweep.rate != 0) return picked ? "unit found" : "unit found, not picked";
    if (!taken) return platformStopSignal() != 0 ? "stopped" : "not needed";
    return sweep.ratesOpened == 0 ? "cannot be opened" : "no answer";
}

// The candidate's turn, in order: what the sweep one port after another would have printed,
// recorded and left in the globals once it reached this port.
void takeInOrder(Sweep &sweep) {
    consoleWrite(sweep.console.data(), sweep.console.size());
    recordWriteHeld(sweep.record);
    sweep.record.lines.clear();
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

} // namespace

BOOL detectComPortAndBaudrate() {
    gDetectionProbed.clear();
    gDetectionUnopened.clear();
    auto shared = std::make_shared<Shared>();
    std::vector<std::shared_ptr<Sweep>> sweeps;
    for (int com : gDetectionPorts) {
        sweeps.push_back(std::make_shared<Sweep>(com));
        sweeps.back()->thread = std::thread(sweepPort, shared, sweeps.back(), g_dcb, g_cto);
    }
    const MonotonicTime started = std::chrono::steady_clock::now(), bound = started + kSweepBound;
    std::vector<bool> ended(sweeps.size(), false), inTime(sweeps.size(), false);
    size_t taken = 0, picked = sweeps.size();
    for (; taken < sweeps.size() && picked == sweeps.size(); ++taken) {
        inTime[taken] = ended[taken] = awaitSweep(*shared, *sweeps[taken], bound, true);
        if (platformStopSignal() != 0) break;
        if (ended[taken]) takeInOrder(*sweeps[taken]);
        if (ended[taken] && sweeps[taken]->rate != 0) picked = taken;
    }
    shared->cancel = true;
    // Every other sweep ends, after the pick, the bound or a stop alike: its port closed and given back.
    const MonotonicTime grace = std::chrono::steady_clock::now() + kCancelGrace;
    std::vector<PortProbed> probed;
    for (size_t i = 0; i < sweeps.size(); ++i) {
        Sweep &sweep = *sweeps[i];
        ended[i] = ended[i] || awaitSweep(*shared, sweep, grace, false);
        if (ended[i]) sweep.thread.join();
        else sweep.thread.detach();
        if (ended[i] && i != picked) {
            recordHoldOnThisThread(&sweep.record); // its close belongs with its own lines
            ComPort_close(sweep.unit);
            recordHoldOnThisThread(nullptr);
        }
        if (ended[i]) recordWriteHeld(sweep.record); // those taken in order gave theirs out already
        const bool cut = i < taken ? !inTime[i] : !ended[i];
        if (cut && i < taken && platformStopSignal() == 0) countCut(sweep);
        // A sweep still under way is its thread's: nothing of it is read but what it counts atomically.
        probed.push_back({sweep.com, PortList_pathOf(sweep.com), outcomeOf(sweep, !cut, i < taken, i == picked),
                          ended[i] ? sweep.rate : 0, ended[i] ? sweep.seconds : secondsSince(started)});
    }
    recordDetection(probed);
    platformStopCheck();
    if (picked == sweeps.size()) {
        if (!gDetectionProbed.empty()) ComPortAPI_SetBaudRate(std::end(DETECTION_BAUD_RATES)[-1]); // as the sweep leaves it
        return FALSE;
    }
    gComPortNumber = sweeps[picked]->com;
    gBaudRate = sweeps[picked]->rate;
    ComPortAPI_TakePort(sweeps[picked]->unit, gBaudRate);
    return TRUE;
}
