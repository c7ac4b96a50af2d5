#include "unit/DetectionSweeps.h"

#include "base/Clock.h"
#include "base/Console.h"
#include "platform/PortList.h"
#include "unit/Probe.h"
#include "unit/RunBuffers.h"

#include <algorithm>
#include <set>
#include <system_error>
#include <thread>

struct Sweeps::Shared {
    std::mutex lock;
    std::condition_variable changed;
    std::atomic<bool> cancel{false}; // the pick is made, or a stop came: every probe ends
    std::vector<std::shared_ptr<Sweep>> queue; // the sweeps still to run, in order
    size_t next = 0;                           // under lock: the next one a thread takes
    bool decided = false;                      // under lock: the run took `taken`'s port, or none
    const Sweep *taken = nullptr;
    DCB dcb{};
    COMMTIMEOUTS cto{};
};

namespace {

// The threads of every detection of this process and the ports their sweeps are under way on.
// Never destroyed: a thread the driver holds past the program's end may still end its sweep.
struct Registry {
    std::mutex lock;
    std::vector<std::pair<std::thread, std::shared_ptr<std::atomic<bool>>>> threads; // with `ended`
    std::set<int> ports;
};

Registry &registry() {
    static Registry *registry = new Registry;
    return *registry;
}

bool portUnderWay(int com) {
    std::lock_guard<std::mutex> guard(registry().lock);
    return registry().ports.count(com) != 0;
}

void setUnderWay(int com, bool underWay) {
    std::lock_guard<std::mutex> guard(registry().lock);
    if (underWay) registry().ports.insert(com);
    else registry().ports.erase(com);
}

// The existence test, then each rate in order with a fresh open (it empties both queues) and
// two probes. A port where a unit answered stays open until the run has decided: the run takes
// it, or this thread gives it back (awaitVerdict false: the run's own thread decides itself).
void sweepPort(Sweeps::Shared &shared, Sweep &sweep, bool awaitVerdict) {
    setUnderWay(sweep.com, true);
    consoleHoldOnThisThread(&sweep.console);
    recordHoldOnThisThread(&sweep.record);
    const MonotonicClock::time_point start = MonotonicClock::now();
    sweep.openError = PortList_openError(sweep.com);
    sweep.busy = sweep.openError != 0 && PortList_problem(sweep.openError) == PORT_BUSY;
    std::vector<char> buffer(sweep.openError == 0 ? DATA_BUFFER_SIZE : 0);
    DCB dcb = shared.dcb;
    if (sweep.openError == 0)
        sweep.rate = firstRateAnswering(0, [&](int rate) {
            if (shared.cancel) return false;
            ComPort port;
            port.cancel = &shared.cancel;
            dcb.BaudRate = (DWORD)rate;
            if (!ComPort_open(port, sweep.com, dcb, shared.cto)) {
                if (PortList_problem(port.openError) == PORT_BUSY) sweep.busy = true;
                return false;
            }
            ++sweep.ratesOpened;
            sweep.lastRate = rate;
            sweep.probing = true;
            bool heard = false;
            const bool answered = probeAnswers(port, buffer.data(), &heard);
            if (heard) sweep.heard = true;
            if (answered) sweep.answeredAt = rate;
            sweep.probing = false;
            if (answered) sweep.unit = port;
            else ComPort_close(port);
            return answered;
        });
    sweep.seconds = secondsSince(start);
    // From here on the sweep is the run's thread's to read: nothing more of this one is recorded.
    RecordHeld unrecorded;
    std::string unshown;
    consoleHoldOnThisThread(&unshown);
    recordHoldOnThisThread(&unrecorded);
    std::unique_lock<std::mutex> guard(shared.lock);
    sweep.finished = true;
    shared.changed.notify_all();
    if (sweep.rate != 0 && awaitVerdict) {
        shared.changed.wait(guard, [&] { return shared.decided; });
        const bool taken = shared.taken == &sweep;
        guard.unlock();
        if (!taken) ComPort_close(sweep.unit);
    }
    consoleHoldOnThisThread(nullptr);
    recordHoldOnThisThread(nullptr);
    setUnderWay(sweep.com, false);
}

void markSkipped(Sweeps::Shared &shared, Sweep &sweep) {
    std::lock_guard<std::mutex> guard(shared.lock);
    sweep.skipped = sweep.finished = true;
    shared.changed.notify_all();
}

// A thread's work: the next sweep in order until none is left; once the pick is made, the rest
// is not needed.
void work(std::shared_ptr<Sweeps::Shared> shared, std::shared_ptr<std::atomic<bool>> ended) {
    for (;;) {
        std::shared_ptr<Sweep> sweep;
        {
            std::lock_guard<std::mutex> guard(shared->lock);
            if (shared->next == shared->queue.size()) break;
            sweep = shared->queue[shared->next++];
        }
        if (shared->cancel) markSkipped(*shared, *sweep);
        else sweepPort(*shared, *sweep, true);
    }
    *ended = true;
}

// Joins the threads that have ended; true when none is left.
bool joinEnded() {
    std::lock_guard<std::mutex> guard(registry().lock);
    auto &threads = registry().threads;
    for (auto it = threads.begin(); it != threads.end();) {
        if (!*it->second) {
            ++it;
            continue;
        }
        it->first.join();
        it = threads.erase(it);
    }
    return threads.empty();
}

} // namespace

Sweeps::Sweeps(const std::vector<int> &coms, const DCB &dcb, const COMMTIMEOUTS &cto)
    : shared(std::make_shared<Shared>()) {
    shared->dcb = dcb;
    shared->cto = cto;
    joinEnded();
    for (int com : coms) {
        all.push_back(std::make_shared<Sweep>(com));
        // Never a second probe on a port whose open or close the driver still holds for an
        // earlier one: at most one such thread a port, however often detection runs.
        if (portUnderWay(com)) all.back()->skipped = all.back()->finished = all.back()->heldByEarlier = true;
        else shared->queue.push_back(all.back());
    }
    // A thread a candidate where threads can be had; fewer (down to none: the run's thread
    // sweeps one port after another) where they cannot.
    for (size_t i = 0; i < shared->queue.size(); ++i) {
        auto ended = std::make_shared<std::atomic<bool>>(false);
        try {
            std::thread thread(work, shared, ended);
            std::lock_guard<std::mutex> guard(registry().lock);
            registry().threads.emplace_back(std::move(thread), ended);
        } catch (const std::system_error &) {
            break;
        }
        threaded = true;
    }
}

Sweeps::~Sweeps() {
    cancel();
    std::lock_guard<std::mutex> guard(shared->lock);
    if (!shared->decided) {
        shared->decided = true;
        shared->changed.notify_all();
    }
}

bool Sweeps::await(size_t i, MonotonicClock::time_point bound, bool orStop) {
    Sweep &sweep = *all[i];
    if (!threaded && !sweep.finished) { // no thread: its turn, on the run's thread
        if (shared->cancel) markSkipped(*shared, sweep);
        else sweepPort(*shared, sweep, false);
    }
    std::unique_lock<std::mutex> guard(shared->lock);
    while (!sweep.finished && !(orStop && platformStopSignal() != 0) && MonotonicClock::now() < bound)
        shared->changed.wait_for(guard, std::chrono::milliseconds(50));
    return sweep.finished;
}

bool Sweeps::ended(size_t i) {
    std::lock_guard<std::mutex> guard(shared->lock);
    return all[i]->finished;
}

void Sweeps::cancel() {
    shared->cancel = true;
    std::lock_guard<std::mutex> guard(shared->lock);
    shared->changed.notify_all();
}

void Sweeps::awaitQuiet(size_t i, MonotonicClock::time_point bound) {
    const auto probing = [&] {
        for (size_t j = 0; j < all.size(); ++j)
            if (j != i && all[j]->probing) return true;
        return false;
    };
    while (probing() && MonotonicClock::now() < bound) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void Sweeps::decide(size_t taken) {
    std::lock_guard<std::mutex> guard(shared->lock);
    shared->decided = true;
    shared->taken = taken < all.size() ? all[taken].get() : nullptr;
    shared->changed.notify_all();
}

bool detectionThreadsEnded(std::chrono::milliseconds bound) {
    const MonotonicClock::time_point until = MonotonicClock::now() + bound;
    while (!joinEnded() && MonotonicClock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return joinEnded();
}
