#ifndef STATIONSCANS_H_
#define STATIONSCANS_H_

// What the operator scans into the station's console: a barcode reader types the label's text,
// then Enter. A serial number waits, in the order scanned, for the next unit a slot finds; a
// slot's label chooses that slot for the serial number scanned next (the fixture's barcode,
// then the unit's).

#include <deque>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

struct Scan {
    std::string serial;
    std::string slot; // the label of the slot it was chosen for, or "" for the next unit found
};

class StationScans {
  public:
    // labels: the slots' labels (--ports A1=PORT); pattern: --serial-pattern, or null.
    StationScans(std::vector<std::string> labels, const std::regex *pattern);
    // Keys typed: each whole line is a scan. Returns, per scan, the console's line of it and
    // whether it was refused.
    struct Said {
        std::string line;
        bool refused;
    };
    std::vector<Said> typed(const std::string &keys);
    // The line being typed, not yet ended (shown under the view as it comes).
    const std::string &typing() const { return partial; }
    // The serial number for a unit found on the slot labelled label: the one chosen for it, else
    // the first scanned for no slot; none when none waits for it.
    std::optional<Scan> take(const std::string &label);
    // A scan bound to a unit that had gone before its update: first for the next one.
    void giveBack(Scan scan) { queue.push_front(std::move(scan)); }
    // A unit's line journaled with its serial number, ended then: rework is told when it is scanned.
    void journaled(const std::string &serial, const std::string &ended);
    // When the serial number was last journaled here ("" never).
    std::string lastUpdated(const std::string &serial) const;
    const std::deque<Scan> &waiting() const { return queue; }
    // Whether any scan was taken: the view shows serial numbers from then on.
    bool any() const { return scanned; }

  private:
    std::vector<std::string> labels;
    const std::regex *pattern;
    std::string partial;
    std::string chosen;    // a slot's label scanned last, for the next serial number
    std::deque<Scan> queue;
    std::map<std::string, std::string> updated; // serial number -> when it was last journaled
    bool scanned = false;

    Said scan(const std::string &text);
};

#endif
