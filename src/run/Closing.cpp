#include "run/Closing.h"

#include "base/Console.h"
#include "platform/Platform.h"
#include "product/Product.h"
#include "product/Timing.h"
#include "record/Record.h"

static bool gNoPause = false;

void runNoPause(bool noPause) { gNoPause = noPause; }

void dipsplayLastMessageToUserBeforeExit(const char *lastMessage) {
    consolePrint(lastMessage);
    if (gNoPause) return; // no key is awaited: none is asked for (a script, a service's log)
    consolePrint("\r\nPress any key to exit");
    // Only a person at a console can press a key: scripts and CI never wait, nor does a run
    // whose console text goes to its log.
    if (!gNoPause && !recordEvents() && platformStdinIsInteractive()) platformGetch();
}

std::string buildNotesText() {
    std::string text;
    if (FWUPGRADE_SAMPLE_IMAGES) text += "\r\nNOTE: this build carries sample firmware images, not a release.";
    if (FWUPGRADE_TIME_DIVISOR != 1)
        text += "\r\nNOTE: this build divides every protocol time-out and wait by " +
                std::to_string(FWUPGRADE_TIME_DIVISOR) + " (test build).";
    return text;
}

void printBuildNotes() { consolePrint(buildNotesText().c_str()); }

void printBanner() {
    consolePrintf("\n\rYou are about to upload the firmware version %s", FIRMWARE_VERSION_TO_UPLOAD);
    printBuildNotes();
}

// Once the outcome is known, a stop only cuts the closing wait short: the run keeps its status.
static bool gOver = false;
static int gOverStatus = 0;

void runOutcomeKnown(int status) {
    gOver = true;
    gOverStatus = status;
}

bool runOutcomeIsKnown(int &status) {
    if (gOver) status = gOverStatus;
    return gOver;
}

int closeWithStatus(const char *lastMessage, int status) {
    runOutcomeKnown(status);
    dipsplayLastMessageToUserBeforeExit(lastMessage);
    return status;
}
