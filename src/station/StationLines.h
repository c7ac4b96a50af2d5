#ifndef STATIONLINES_H_
#define STATIONLINES_H_

// Two slots of a station that reach one line (a tap that only listens to it, the other end of a
// Y cable, one adapter seen twice): found before a unit is sent anything, so that its unit is
// updated once, through one slot, and the other slot is named as a wiring fault, never taken for
// a unit. Each unit's update asks it alone first while the other free slots listen (--beside);
// one check at a time, the runs on those slots stopped and nothing started on them until it ends.

#include "station/StationShift.h"

#include <string>
#include <vector>

class StationView;

// A unit answered on slot: its update starts at once where no other slot could reach its line,
// else once the slots that could are quiet (now, or after the check under way).
void updateOnce(Station &w, size_t slot, StationPort &port, StationView &view);
// The update of the slot whose line is to be checked starts once every slot lent to it is quiet.
void startChecked(Station &w, StationView &view);
// The check under way has told which slots hear the unit's line (heard: their paths; none when
// its run ended before it told): those stay quiet, the others go on, waiting units take their turn.
void endCheck(Station &w, const std::vector<std::string> &heard, StationView &view);
// Owner's unit has gone (or none was there: the slots that reach its line wait for a unit again),
// or only owner's port has (owner.awaitingRemoval: they watch that unit until it goes).
void freeLine(Station &w, size_t owner, StationView &view);

#endif
