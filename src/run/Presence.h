#ifndef PRESENCE_H_
#define PRESENCE_H_

// The presence runs a station starts on a port, each ending with one outcome in its events:
// until a unit answers (--wait-for-unit: "unit found" with its rate, "no such port", "busy"),
// and until the unit it handled stops answering (--wait-until-gone: "gone", or "new unit"
// when another unit answers in its place). They send the unit nothing but the detection probe
// and the version query.

struct Options;

int runWaitForUnit(const Options &options);
int runWaitUntilGone(const Options &options);

#endif
