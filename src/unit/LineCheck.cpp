// The line check: one port asks, the ports beside it listen.
#include "unit/LineCheck.h"

#include "base/Clock.h"
#include "platform/PortList.h"
#include "product/Product.h"
#include "record/Record.h"
#include "unit/ComPortAPI.h"
#include "unit/Probe.h"
#include "unit/RunBuffers.h"

#include <atomic>
#include <string>

namespace {

// The reply that reached the asking port reached every port on its line by then: a listener only
// takes what is there, in reads this long. A driver's time, not the protocol's.
const DWORD kHeardReadMs = 50;
const size_t kHeardMost = 4096; // a line that chatters is read no further

// Reads on these ports end on a stop without ending the run: every port is closed first.
const std::atomic<bool> kNever{false};

// Whether what the listening port took in holds the probe's reply.
bool heardReply(ComPort &port) {
    std::string taken;
    char buffer[256];
    int n = 0;
    while (taken.size() < kHeardMost && ComPort_read(port, buffer, sizeof buffer, &n) && n > 0)
        taken.append(buffer, (size_t)n);
    return taken.find(DETECTION_EXPECTED_RESPONSE) != std::string::npos;
}

} // namespace

bool lineAnswers(int com, int baud, const std::vector<int> &beside) {
    const MonotonicTime started = std::chrono::steady_clock::now();
    DCB dcb = g_dcb;
    dcb.BaudRate = (DWORD)baud;
    dcb.fOutxCtsFlow = 0; // the probe goes as detection sends it
    COMMTIMEOUTS quick = g_cto;
    quick.ReadIntervalTimeout = quick.ReadTotalTimeoutConstant = kHeardReadMs;
    ComPort own;
    own.cancel = &kNever;
    if (PortList_openError(com) != 0 || !ComPort_open(own, com, dcb, g_cto)) return true;
    std::vector<ComPort> ears(beside.size());
    std::vector<PortProbed> found(1 + beside.size());
    for (size_t i = 0; i < beside.size(); ++i) {
        const DWORD error = PortList_openError(beside[i]);
        found[i + 1] = {beside[i], PortList_pathOf(beside[i]), error != 0 ? probeUnopened(error) : "cannot be opened", 0, 0};
        ears[i].cancel = &kNever;
        if (error == 0) ComPort_open(ears[i], beside[i], dcb, quick);
    }
    const bool answered = probeAnswers(own, gDataBuffer);
    found[0] = {com, PortList_pathOf(com), answered ? "unit found" : "no answer", answered ? baud : 0, secondsSince(started)};
    for (size_t i = 0; i < beside.size(); ++i) {
        if (ears[i].handle != nullptr) found[i + 1].outcome = heardReply(ears[i]) ? LINE_HEARD : LINE_NOT_HEARD;
        found[i + 1].seconds = secondsSince(started);
        ComPort_close(ears[i]);
    }
    ComPort_close(own);
    platformStopCheck(); // a check cut short tells nothing
    recordDetection(found);
    return answered;
}
