#ifndef STATION_H_
#define STATION_H_

#include <chrono>
#include <string>
#include <vector>

struct Options;

// Several units at once: one child run of this program per port (the single-unit run with
// --port P --events --log --report --verify --no-pause), read through its events, shown live,
// its report gathered into one. Returns the exit status of the whole station.
int runStation(const Options &options);

// One port of a station run, as its child's events describe it.
struct StationPort {
    int com = 0;
    std::string path;     // the device path on POSIX; "COMn" on Windows
    std::string label;    // "COM3 /dev/ttyUSB2", or "COM3"
    std::string kind;     // TX, RX
    std::string before;   // "1.0.3 1.03": firmware and FPGA version before the update
    std::string after;    // the same after the reboot
    std::string phase = "starting"; // detecting, checking, FPGA, MCU, rebooting, verifying, done
    int percent = -1;     // of the phase, where it has one
    std::string outcome;  // the child's: updated and verified, failed, no unit, ...
    std::string message;  // a line the child wrote that was no event (an error)
    int status = -1;      // the child's exit status, once it ended
    std::chrono::steady_clock::time_point started, ended;
};

// The live view: one row per port redrawn in place (an interactive console that takes
// cursor movement); otherwise one line per phase change and per 10 % of each image.
class StationView {
  public:
    StationView(std::vector<StationPort> &ports, bool live);
    // Something changed on port i (after its event was applied).
    void changed(size_t i);
    // Redraws the rows when the view is live and a quarter second has passed (or `now`).
    void draw(bool now = false);
    // The table at the end, and the totals.
    void summary(const std::string &totals);

  private:
    std::vector<StationPort> &ports;
    bool live;
    bool drawn = false;
    std::chrono::steady_clock::time_point lastDraw;
    std::vector<std::string> lineState; // per port: what its last line said (phase, tenths, unit)
};

#endif
