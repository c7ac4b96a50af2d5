#ifndef PARALLELVIEW_H_
#define PARALLELVIEW_H_

#include "fleet/ChildRun.h"
#include "fleet/ViewText.h"

#include <string>
#include <vector>

// The live view: one row per port redrawn in place (an interactive console that takes
// cursor movement), sized to the console's width as it is at each draw; otherwise one line per
// phase change and per 10 % of each image. heading: what was printed above the view, printed
// again when a resize makes the view start over at the top of the screen.
class ParallelView {
  public:
    ParallelView(std::vector<ChildRun> &ports, bool live, int columns, std::string heading = "");
    // Something changed on port i (after its event was applied).
    void changed(size_t i);
    // Redraws the rows when the view is live and a quarter second has passed (or `now`).
    void draw(bool now = false);
    // The table at the end, then the closing lines.
    void summary(const std::vector<std::string> &lines);

  private:
    std::vector<ChildRun> &ports;
    bool live;
    LiveScreen screen;
    int labelWidth;
    std::vector<std::string> lineState; // per port: what its last line said (phase, tenths, unit)

    void layout(); // the label's width for the console's
};

#endif
