#ifndef PORTSTATE_H_
#define PORTSTATE_H_

// The states of a port the station watches, named once: the station's live state writes these
// names, and its page and its metrics read them.

#include <cstddef>

enum PortState {
    STATE_NO_PORT,  // the port is not there (the adapter is out)
    STATE_WAITING,  // probed again and again until a unit answers
    STATE_BUSY,     // another program holds the port: tried again a little later
    STATE_WORKING,  // a unit answered: its update runs
    STATE_REMOVE,   // the unit is done: waiting until it stops answering
    STATE_IDLE,     // the station is stopping: nothing more on this port
    STATE_SCAN,     // a unit answered (--require-serial): its update waits for its label's scan
    STATE_WIRING,   // it reaches the line of another port's unit (a tap, a Y cable): quiet until that unit goes
};

inline constexpr const char *PORT_STATE_NAMES[] = {"no port",         "waiting for a unit", "busy", "working",
                                                   "remove the unit", "idle",
                                                   "scan the label",  "check the wiring"};
inline constexpr size_t PORT_STATE_COUNT = sizeof PORT_STATE_NAMES / sizeof PORT_STATE_NAMES[0];

#endif
