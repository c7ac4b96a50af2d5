#include "run/Presence.h"

#include "base/Clock.h"
#include "platform/PortList.h"
#include "product/Product.h"
#include "product/Timing.h"
#include "record/Outcome.h"
#include "record/Record.h"
#include "run/Options.h"
#include "run/Run.h"
#include "unit/ComPortAPI.h"
#include "unit/Detection.h"
#include "unit/Exchange.h"
#include "unit/Probe.h"
#include "unit/RunBuffers.h"
#include "unit/Update.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

int presenceEnd(int status, const char *outcome) {
    ComPortAPI_CloseCOM();
    detectionEnded();
    recordPhase(PHASE_NONE);
    status = recordFinish(status, outcome);
    releaseRunBuffers();
    return status;
}

enum Presence { PRESENCE_NONE, PRESENCE_SAME, PRESENCE_OTHER };

// One version query: nothing came back (or the line is gone), the unit known, or another one:
// firmware other than the carried one, and versions other than the unit's own ("1.0.3 1.03").
// A unit whose versions were never read ("unknown") is taken for the one that answers: a unit
// is updated a second time only when it can be told apart.
Presence askPresence(const std::string &known) {
    ComPortAPI_SetReadingTimeoutInMs(TIMEOUT_QUERY_MS);
    if (!sendCommand("%fw -v", FALSE, FALSE, nullptr)) return PRESENCE_NONE;
    int n = 0;
    if (!ComPortAPI_ReadCOM(gDataBuffer, DATA_BUFFER_SIZE - 1, &n)) return PRESENCE_NONE;
    // A unit that answers the detection probe but not the version query is still there.
    if (n == 0)
        return sendCommand(DETECTION_PROBE_COMMAND, FALSE, TRUE, DETECTION_EXPECTED_RESPONSE) ? PRESENCE_SAME
                                                                                             : PRESENCE_NONE;
    gDataBuffer[n] = '\0';
    UnitVersions v;
    for (char *c = gDataBuffer; *c != '\0'; ++c)
        if (*c == '\r' || *c == '\n') *c = ' ';
    if (parseVersionReply(gDataBuffer, &v) != 7 || unitRunsCarriedFirmware(v)) return PRESENCE_SAME;
    char versions[64];
    std::snprintf(versions, sizeof versions, "%d.%d.%d %d.%02d", v.fw_ver, v.fw_rev, v.fw_sub, v.fpga_ver, v.fpga_rev);
    return known == versions || known == "unknown" ? PRESENCE_SAME : PRESENCE_OTHER;
}

} // namespace

int runWaitForUnit(const Options &) {
    recordPhase(PHASE_DETECTING);
    ComPortAPI_SetHardwareFlowControl(FALSE);
    for (;;) {
        if (detectComPortAndBaudrate()) {
            recordUnitFound(gComPortNumber, gBaudRate, "detected");
            return presenceEnd(EXIT_UPDATE_OK, "unit found");
        }
        if (!gDetectionUnopened.empty()) return presenceEnd(EXIT_UPDATE_FAILED, unopenedOutcome({gDetectionUnopened.front().second}));
        // A cycle is silent reads, unless no rate would open: never a busy loop, always stoppable.
        Sleep(STATION_DETECTION_PAUSE_MS);
        platformStopCheck();
    }
}

int runWaitUntilGone(const Options &options) {
    recordPhase(PHASE_DETECTING);
    ComPortAPI_SetHardwareFlowControl(FALSE);
    ComPortAPI_SetBaudRate(options.baud);
    if (!ComPortAPI_OpenCOM(gComPortNumber)) {
        const DWORD error = ComPortAPI_LastOpenError();
        return presenceEnd(PortList_problem(error) == PORT_ABSENT ? EXIT_UPDATE_OK : EXIT_UPDATE_FAILED,
                 PortList_problem(error) == PORT_ABSENT ? "gone" : unopenedOutcome({error}));
    }
    // A unit has gone when its adapter goes, or after a silence longer than a reboot: one that
    // stays attached may fall quiet for a while (stuck, or rebooting itself after a failure) and
    // must never be taken for a new one. A unit that answers in its place with other versions,
    // and not the carried firmware, is a new unit.
    MonotonicTime lastAnswer = std::chrono::steady_clock::now();
    for (int own = options.baud;;) { // the unit's rate: the one it was found at, or last answered at
        Presence presence = askPresence(options.waitUntilGone);
        // One silence may be chance; and a unit cut short after an announcement may listen at
        // the rate of images instead of its own, or come back from a reboot at its own rate,
        // which need not be the one it was found at: every other rate of the port once, in the
        // product's order, then back to the unit's own.
        if (presence == PRESENCE_NONE) {
            const int answered = firstRateAnswering(own, [&](int rate) {
                ComPortAPI_SetBaudRate(rate);
                return (presence = askPresence(options.waitUntilGone)) != PRESENCE_NONE;
            });
            own = answered != 0 ? answered : own;
            ComPortAPI_SetBaudRate(own);
        }
        if (presence != PRESENCE_NONE) lastAnswer = std::chrono::steady_clock::now();
        const bool lineGone = !PortList_present(PortList_pathOf(gComPortNumber));
        if (presence == PRESENCE_NONE && (lineGone || secondsSince(lastAnswer) * 1000 > STATION_SILENT_UNIT_MS))
            return presenceEnd(EXIT_UPDATE_OK, "gone");
        if (presence == PRESENCE_OTHER) return presenceEnd(EXIT_UPDATE_OK, "new unit");
        Sleep(STATION_PRESENCE_PROBE_MS);
        platformStopCheck();
    }
}
