#ifndef DETECTIONSWEEPS_H_
#define DETECTIONSWEEPS_H_

// Every candidate's sweep through the rates, each on a thread of its own where threads can be
// had: what each came to, held for the run's thread to give out in the candidates' order.

#include "record/Record.h"
#include "unit/ComPortAPI.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using MonotonicClock = std::chrono::steady_clock;

// One candidate's sweep. Its thread writes it until `finished`; the run's thread reads it after
// (but the atomic fields, which it may read before).
struct Sweep {
    explicit Sweep(int com) : com(com) {}
    const int com;
    bool finished = false;        // under Sweeps::lock
    bool skipped = false;         // never probed: not needed, or an earlier probe still holds it
    bool heldByEarlier = false;   // an earlier detection's probe is still under way on it
    DWORD openError = 0;          // the existence test's error; 0: the port is there and free
    // Read before the sweep ends too:
    std::atomic<bool> busy{false};    // an open found it held (by another program, or by another name of it here)
    std::atomic<bool> heard{false};   // bytes came that were no answer
    std::atomic<int> answeredAt{0};   // the rate a unit answered at
    std::atomic<int> ratesOpened{0};  // the rates the port opened at
    std::atomic<bool> probing{false}; // a probe's command or reply is on its line
    int lastRate = 0;             // the last rate it opened at
    ComPort unit;                 // open at `rate` when a unit answered
    int rate = 0;
    double seconds = 0;
    std::string console;          // what it printed, held
    RecordHeld record;            // what it recorded, held
};

// The sweeps of one detection, in the candidates' order, and the threads that run them.
class Sweeps {
  public:
    // Starts a sweep for each COM number: on as many threads as can be had (none: the run's
    // thread sweeps each when its turn comes). A port an earlier detection's probe still holds
    // (its open or close kept by the driver) is not probed again.
    Sweeps(const std::vector<int> &coms, const DCB &dcb, const COMMTIMEOUTS &cto);
    // Cancels what is still under way; a port found and not taken is given back.
    ~Sweeps();
    size_t size() const { return all.size(); }
    Sweep &operator[](size_t i) { return *all[i]; }
    // Waits until sweep i has ended, the bound passed or (orStop) a stop came: true when it ended.
    bool await(size_t i, MonotonicClock::time_point bound, bool orStop);
    // Whether sweep i has ended (its fields are the run's thread's to read).
    bool ended(size_t i);
    // Every probe ends: nothing more is probed, and each port is closed and given back.
    void cancel();
    // Waits (up to bound) until no probe other than sweep i's is on its line.
    void awaitQuiet(size_t i, MonotonicClock::time_point bound);
    // The run took sweep `taken`'s port (its thread leaves it; none: size()); the thread of every
    // other sweep that found a unit closes its port.
    void decide(size_t taken);

    struct Shared; // what the sweeps' threads share with the run's

  private:
    std::shared_ptr<Shared> shared;
    std::vector<std::shared_ptr<Sweep>> all;
    bool threaded = false;
};

// Every thread detection started, joined (those still held by the driver after the bound are
// left to end by themselves: they touch nothing of the run's). True when none is left.
bool detectionThreadsEnded(std::chrono::milliseconds bound);

#endif
