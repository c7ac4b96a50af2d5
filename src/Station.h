#ifndef STATION_H_
#define STATION_H_

#include "Outcome.h"

#include <chrono>
#include <string>
#include <vector>

struct Options;

// Several units at once: one child run of this program per port (the single-unit run with
// --port P --as-com N --events --log --report --verify --no-pause), read through its events,
// shown live, its report gathered into one. Returns the exit status of the whole station.
int runStation(const Options &options);

// One port of a station run, as its child's events describe it.
struct StationPort {
    int com = 0;
    std::string path;     // the device path on POSIX; "COMn" on Windows
    std::string label;    // "COM3 /dev/ttyUSB2", or "COM3"
    std::string kind;     // TX, RX
    std::string before;   // "1.0.3 1.03": firmware and FPGA version before the update
    std::string after;    // the same after the reboot
    std::string firmwareBefore; // "1.0.3"
    std::string phase = "starting"; // a phase's name (detecting, FPGA image...), or done
    int percent = -1;     // of the phase, where it has one
    RunEnd end;           // what the events said so far: phase, image outcome, percent
    std::string outcome;  // the child's: updated and verified, failed, no unit, ...
    std::string summary;  // the outcome in words, with what the unit holds
    std::string message;  // a line the child wrote that was no event (an error)
    std::vector<std::string> unwritten; // the child's records that could not be written
    bool reported = false; // the child wrote its report
    int status = -1;      // the child's exit status, once it ended (as its last event said: -1 stays -1)
    std::string startedAt, endedAt; // the run's own start and end (ISO 8601), as its events said
    std::chrono::steady_clock::time_point started, ended;
};

// Applies one line of a child's output to its port: an event, or else a message.
void stationApply(StationPort &port, const std::string &line);
// The child ended: what its port ended as, when its events did not say (it was killed).
void stationChildEnded(StationPort &port, int status);
// The exit status of a station and its totals in words. named: the ports were named by the
// operator (a port there that cannot be used was meant to carry a unit).
int stationStatus(const std::vector<StationPort> &ports, bool named, bool stopped, std::string &totals);

// The live view: one row per port redrawn in place (an interactive console that takes
// cursor movement), sized to the console's width as it is at each draw; otherwise one line per
// phase change and per 10 % of each image. heading: what was printed above the view, printed
// again when a resize makes the view start over at the top of the screen.
class StationView {
  public:
    StationView(std::vector<StationPort> &ports, bool live, int columns, std::string heading = "");
    // Something changed on port i (after its event was applied).
    void changed(size_t i);
    // Redraws the rows when the view is live and a quarter second has passed (or `now`).
    void draw(bool now = false);
    // The table at the end, then the closing lines.
    void summary(const std::vector<std::string> &lines);

  private:
    std::vector<StationPort> &ports;
    bool live;
    int columns; // of the console; 0 when unknown
    int labelWidth;
    std::string heading;
    int drawnLines = 0; // the lines the last draw left on the screen
    std::chrono::steady_clock::time_point lastDraw;
    std::vector<std::string> lineState; // per port: what its last line said (phase, tenths, unit)

    void layout(); // the label's width for the console's
};

#endif
