#ifndef UPDATE_H_
#define UPDATE_H_

#include "platform/Platform.h"
#include "product/UnitReplies.h"

// What updateFirmware learnt of the unit after its reboot.
enum RebootOutcome {
    REBOOT_CONFIRMED,      // its prompt came (and with gVerifyAfterReboot it runs what was sent)
    REBOOT_NOT_CONFIRMED,  // no prompt, or no usable version reply
    REBOOT_OTHER_FIRMWARE, // it answers with another firmware version or device code
};
extern RebootOutcome gRebootOutcome;
extern bool gVerifyAfterReboot; // --verify: ask the versions again after the reboot
extern bool gUnitAnswered;      // the version query brought at least one byte
extern bool gSkipCurrent;       // --skip-current: a unit that runs the carried firmware gets no image
extern bool gUnitWasCurrent;    // so it was: updateFirmware sent nothing

// The whole dialogue with the unit on the open port.
BOOL updateFirmware();
// Asks the unit for its versions ("%fw -v", one read) and prints the two version lines when
// all seven fields convert; false when they do not.
bool queryUnitVersions(UnitVersions &versions);
// The checks an update begins with: versions, device code, TX or RX. The image table row of
// the unit's FPGA image (1 TX, 2 RX), or 0 with the failure printed.
int checkUnit(UnitVersions &versions);
// True when the unit's firmware version is the one this program carries.
bool unitRunsCarriedFirmware(const UnitVersions &versions);

#endif
