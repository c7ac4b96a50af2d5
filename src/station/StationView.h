#ifndef STATIONVIEW_H_
#define STATIONVIEW_H_

#include "fleet/ViewText.h"
#include "station/StationPort.h"

#include <map>
#include <string>
#include <vector>

// What the watch shows: a header with the totals, one row per port redrawn in place on a
// console that takes cursor moves, within the console's width as it is at each draw;
// otherwise one line per change of state. heading: what was printed above the view, printed
// again when a resize makes the view start over at the top of the screen.
class StationView {
  public:
    // Live when it starts at 72 columns or more: narrower, the rows would keep little of a port.
    StationView(bool live, int columns, std::string heading = "");
    // A port's state changed.
    void changed(const StationPort &port);
    // Redraws (a quarter second apart, or `now`): the totals line, the rows, the stop note.
    void draw(const std::vector<const StationPort *> &ports, const std::string &totals, const std::string &note,
              bool now = false);
    bool isLive() const { return live; }
    // From now on the rows show each unit's serial number (labels are scanned at this station).
    void showSerials() { serials = true; }

  private:
    bool live;
    LiveScreen screen;
    std::map<std::string, std::string> lastLines; // the line view: per port, what it said last
    std::map<std::string, bool> retrying;         // the line view: per port, its last line was a retry
    std::string lastNote;
    bool serials = false;
};

#endif
