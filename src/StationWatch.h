#ifndef STATIONWATCH_H_
#define STATIONWATCH_H_

// The station's watch (--station): it runs until stopped, watches ports, updates each unit
// plugged into one of them once, and waits until that unit has gone before it takes the next.
// It keeps one small state per port, decides, draws and records; its children (presence runs
// and update runs of this program) are the ones that talk to the ports.

#include "Station.h"

#include <chrono>
#include <map>
#include <string>
#include <vector>

struct Options;

// Returns the exit status: 0 when no unit failed, 1 when one did (or a record could not be
// written), 3 when none failed but one was not confirmed, 130 when a second stop cut units.
int runWatch(const Options &options);

enum WatchState {
    WATCH_NO_PORT,  // the port is not there (the adapter is out)
    WATCH_WAITING,  // probed again and again until a unit answers
    WATCH_BUSY,     // another program holds the port: tried again a little later
    WATCH_WORKING,  // a unit answered: its update runs
    WATCH_REMOVE,   // the unit is done: waiting until it stops answering
    WATCH_IDLE,     // the station is stopping: nothing more on this port
};

// One watched port.
struct WatchedPort {
    std::string name;  // as named in --ports, or the machine's path
    bool named = true; // named: kept while absent; else dropped when it goes
    std::string path;  // device path (POSIX) or COMn (Windows), as the children open it
    int com = 0;       // the COM number its runs go by
    std::string label; // the operator's label ("A1"), else "COM3 /dev/ttyUSB0"
    std::string given; // the operator's label, or ""
    std::string problem; // why no unit is taken here now ("not recording: the disk is full")
    WatchState state = WATCH_NO_PORT;
    std::chrono::steady_clock::time_point since, retryAt;
    int baud = 0;      // the unit's rate, as its detection found it
    std::string known; // the finished unit's versions ("1.0.3 1.03"): another one is a new unit
    StationPort unit;  // the unit being updated (or the last one), as its run's events describe it
    StationPort probe; // the presence run now on the port
    bool awaitingRemoval = false; // a unit was handled here: nothing more until it has gone
    std::string unitStarted, log, report; // the unit's start (ISO 8601) and its record's files
    std::string last;  // how the last unit on this port ended
    std::string sameAs; // the label of the port watched for this one (the same device named twice)
    bool dropped = false;
};

// What the watch shows: a header with the totals, one row per port redrawn in place on a
// console that takes cursor moves, within the console's width as it is at each draw;
// otherwise one line per change of state. heading: what was printed above the view, printed
// again when a resize makes the view start over at the top of the screen.
class WatchView {
  public:
    // Live when it starts at 72 columns or more: narrower, the rows would keep little of a port.
    WatchView(bool live, int columns, std::string heading = "");
    // A port's state changed.
    void changed(const WatchedPort &port);
    // Redraws (a quarter second apart, or `now`): the totals line, the rows, the stop note.
    void draw(const std::vector<const WatchedPort *> &ports, const std::string &totals, const std::string &note,
              bool now = false);
    bool isLive() const { return live; }

  private:
    bool live;
    int columns;
    int drawnLines = 0;
    std::string heading;
    std::map<std::string, std::string> lastLines; // the line view: per port, what it said last
    std::map<std::string, bool> retrying;         // the line view: per port, its last line was a retry
    std::string lastNote;
    std::chrono::steady_clock::time_point lastDraw;
};

// The state of a watched port in words ("waiting for a unit", "FPGA image 45 %").
std::string watchStateText(const WatchedPort &port);

#endif
