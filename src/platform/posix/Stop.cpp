// Signals become a stop that every wait sees: the handler only notes the signal and wakes
// the waits through a pipe; the stop itself runs on the main thread, outside the handler.
#include "platform/Platform.h"
#include "platform/posix/Stop.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace {

// Read by the waits of every thread; lock-free, so the handler may write them.
std::atomic<int> gSignal{0};
std::atomic<int> gSignals{0};
std::atomic<long long> gFirstSignalMs{0}, gLastSignalMs{0}; // when the stop signals came
std::atomic<bool> gSecondEndsNow{false};
int gWake[2] = {-1, -1};
void (*gOnStop)(int) = nullptr;

// A stop: from a signal's handler, or from the thread that watches a station's stop pipe.
void noteStop(int signal) {
    gSignals.fetch_add(1);
    const long long now = posixNowMs(); // clock_gettime: safe in a handler
    long long none = 0;
    gFirstSignalMs.compare_exchange_strong(none, now);
    gLastSignalMs = now;
    if (gSignal != 0) {
        // A person's second Ctrl-C ends it now, through the signal's own action. Any other
        // repeat (a group signal and the same one sent to the process, a parent passing the
        // stop on) is part of the stop under way, which must finish.
        if (gSecondEndsNow && signal == SIGINT) {
            std::signal(signal, SIG_DFL);
            std::raise(signal);
        }
        return;
    }
    const int saved = errno;
    gSignal = signal;
    if (gWake[1] >= 0) (void)!write(gWake[1], "", 1);
    errno = saved;
}

void onSignal(int signal) { noteStop(signal); }

// A station's run: its stop comes as a byte on the pipe, the signal that stopped the station,
// or as the pipe's end when the station has gone, however it went (taken as SIGTERM).
void watchStation(int fd) {
    char byte = 0;
    ssize_t n;
    while ((n = read(fd, &byte, 1)) < 0 && errno == EINTR) {
    }
    noteStop(n == 1 && byte > 0 && byte < 32 ? byte : SIGTERM);
}

} // namespace

long long posixNowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void platformStopInit(void (*onStop)(int)) {
    gOnStop = onStop;
    if (gWake[0] < 0 && pipe(gWake) == 0) {
        for (int fd : gWake) {
            fcntl(fd, F_SETFD, FD_CLOEXEC);
            fcntl(fd, F_SETFL, O_NONBLOCK);
        }
    }
    const char *stopFd = std::getenv("FWUPGRADE_STOP_FD");
    struct sigaction action {};
    // While its station lives, a run takes its stops from the station alone: a signal sent to
    // every process at once (a service manager, a process group) is the station's to handle.
    action.sa_handler = stopFd != nullptr ? SIG_IGN : onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART; // console output goes on undisturbed; the waits poll the pipe
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t stops;
    sigemptyset(&stops);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, signal);
    sigprocmask(SIG_UNBLOCK, &stops, nullptr); // a station starts its runs with them blocked
    static bool watching = false;
    if (stopFd != nullptr && !watching) {
        watching = true;
        std::thread(watchStation, std::atoi(stopFd)).detach();
    }
}

bool posixStopPending() { return gSignal != 0; }

int platformStopSignal() { return gSignal; }

int platformStopCount() { return gSignals; }

int platformStopSpanMs() { return (int)(gLastSignalMs - gFirstSignalMs); }

bool platformStopEndsSoon() { return false; } // a closed terminal's SIGHUP leaves all the time needed

void platformStopSecondEndsNow(bool endsNow) { gSecondEndsNow = endsNow; }

// The waits here watch the stop themselves (posixPoll).
bool platformCancellableBegin() { return true; }
void platformCancellableEnd() {}

void platformStopCheck() {
    if (gSignal != 0 && gOnStop != nullptr) gOnStop(gSignal);
}

int posixPoll(int fd, short events, int timeoutMs, short &revents) {
    const long long deadline = timeoutMs < 0 ? 0 : posixNowMs() + timeoutMs;
    for (;;) {
        revents = 0;
        if (gSignal != 0) return 0;
        pollfd fds[2] = {{fd, events, 0}, {gWake[0], POLLIN, 0}};
        const int left = timeoutMs < 0 ? -1 : (int)std::max(0LL, deadline - posixNowMs());
        const int r = poll(fds, 2, left);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (fds[0].revents != 0) {
            revents = fds[0].revents;
            return 1;
        }
        if (r == 0 || fds[1].revents != 0) return 0;
    }
}
