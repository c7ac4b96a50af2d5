#ifndef TIMING_H_
#define TIMING_H_

// Every protocol time-out and wait, in milliseconds, with the product's values.
// Test and demo builds divide them all by FWUPGRADE_TIME_DIVISOR and say so on every run;
// the release build has divisor 1 and no way to change it at run time.

// The build's divisor, in a header the build writes: only the files that include this one
// differ between a build and its accelerated twin, so the rest is compiled once for both.
#include "TimeDivisor.h"

#define SCALED_MS(ms) ((ms) / FWUPGRADE_TIME_DIVISOR)

#define TIMEOUT_INITIAL_READ_MS SCALED_MS(500)   // read time-out at start (detection)
#define TIMEOUT_QUERY_MS SCALED_MS(1000)         // version and identity queries
#define TIMEOUT_FPGA_READY_MS SCALED_MS(10000)   // "Ready" after the FPGA announcement
#define TIMEOUT_MCU_READY_MS SCALED_MS(5000)     // "Ready" after the MCU announcement
#define TIMEOUT_DATA_ACK_MS SCALED_MS(1000)      // "SUCCESS" after the last image byte
#define WAIT_REBOOT_STEP_MS SCALED_MS(3000)      // one of the 46 steps of the reboot wait
#define TIMEOUT_PROMPT_MS SCALED_MS(11000)       // the unit's prompt after the reboot
#define TIMEOUT_WRITE_STALL_MS SCALED_MS(30000)  // a write the port takes no byte of fails

// The station's watch: how often a finished unit is asked whether it is still there, how long
// it must stay silent to count as removed while its adapter stays, and how often the station
// reads the machine's ports again.
#define STATION_PRESENCE_PROBE_MS SCALED_MS(1500)
#define STATION_DETECTION_PAUSE_MS SCALED_MS(200)  // between two detection cycles of a port
#define STATION_SILENT_UNIT_MS (46 * WAIT_REBOOT_STEP_MS + 2 * TIMEOUT_PROMPT_MS) // longer than a reboot
#define STATION_PORTS_READ_MS SCALED_MS(2000)

#endif
