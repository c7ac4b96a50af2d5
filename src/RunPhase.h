#ifndef RUNPHASE_H_
#define RUNPHASE_H_

// Where a run is, so that a run cut short can say what it cut short.
enum RunPhase {
    PHASE_NONE,      // no unit involved (files, lists) or the run is over
    PHASE_FINDING,   // detection, or the operator naming the port
    PHASE_CHECKING,  // versions and identity: nothing sent to the unit's flash yet
    PHASE_FPGA,      // from the FPGA image's announcement to its acknowledgement
    PHASE_MCU,       // the same for the MCU image
    PHASE_REBOOTING, // both images accepted, the unit rebooting
};

void setRunPhase(RunPhase phase);
RunPhase runPhase();

#endif
