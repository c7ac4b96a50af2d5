#ifndef STATIONSCANS_H_
#define STATIONSCANS_H_

// What the operator scans into the station's console: a barcode reader types the label's text,
// then Enter (or Tab). A serial number waits, in the order scanned, for the next unit a slot
// finds; a slot's label chooses that slot for the serial number scanned next (the fixture's
// barcode, then the unit's). A serial number is one unit's: never two at once; scanned again while
// it waits, it is moved.

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

struct Scan {
    std::string serial;
    std::string slot; // the label of the slot it is for, or "" for the next unit found
    // When it was given back (its unit went before its update), or none: it waits kGivenBackLasts.
    std::optional<std::chrono::steady_clock::time_point> givenBack = std::nullopt;
};

class StationScans {
  public:
    using Time = std::chrono::steady_clock::time_point;
    // The slot whose unit (attached now, or updating) holds a serial number; "" when none does.
    using Holder = std::function<std::string(const std::string &serial)>;
    // A slot's choice lasts this long without a serial number scanned.
    static constexpr std::chrono::seconds kChoiceLasts{60};
    // A scan given back waits this long for its unit, re-seated or moved: then it is dropped, so
    // that no unrelated unit found later takes it.
    static constexpr std::chrono::seconds kGivenBackLasts{60};
    // A unit found while a scan is typed waits this long after its last key for the scan's end.
    static constexpr std::chrono::milliseconds kTypingPause{500};

    // labels: the slots' labels (--ports A1=PORT); pattern: --serial-pattern, or null.
    StationScans(std::vector<std::string> labels, const std::regex *pattern);
    // Keys typed at `now`: each line (ended by Enter, Tab, CR, LF or CRLF) is a scan. Returns, per
    // scan, the console's line of it and whether it was refused.
    struct Said {
        std::string line;
        bool refused;
    };
    std::vector<Said> typed(const std::string &keys, Time now, const Holder &holder);
    // The line being typed, not yet ended (shown under the view as it comes).
    const std::string &typing() const { return partial; }
    // Whether a scan is being typed at `now`: begun, not ended, its last key within kTypingPause.
    bool beingTyped(Time now) const { return !partial.empty() && now - lastKey < kTypingPause; }
    // The slot chosen for the next serial number ("" none).
    const std::string &chosenSlot() const { return chosen; }
    // What ended at `now`, a line each: the choice, for want of a serial number within
    // kChoiceLasts; the scans given back that no unit took within kGivenBackLasts.
    std::vector<std::string> expire(Time now);
    // The serial number for a unit found on the slot labelled label: the one chosen for it, else
    // the first scanned for no slot; none when none waits for it.
    std::optional<Scan> take(const std::string &label);
    // The slots whose units wait for their scans, each with when it began to wait.
    struct Waiting {
        std::string label;
        Time since;
    };
    // The scans for them, the one that waited longest served first: per slot (in the order
    // given), its scan or none.
    std::vector<std::optional<Scan>> takeInTurn(const std::vector<Waiting> &waiting);
    // A scan bound to a unit that had gone before its update, with the slot its scan chose ("" none):
    // the next unit of that choice found takes it, before any other scan, until kGivenBackLasts.
    void giveBack(const std::string &serial, const std::string &slot, Time now) { queue.push_front({serial, slot, now}); }
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
    Time lastKey;
    std::string chosen; // a slot's label scanned last, for the next serial number
    Time chosenAt;
    std::deque<Scan> queue;
    std::map<std::string, std::string> updated; // serial number -> when it was last journaled
    bool scanned = false;

    Said scan(const std::string &text, const Holder &holder);
    std::string refusal(const std::string &text, const Holder &holder) const;
    // Takes the serial number's waiting scan out, if any: what the new scan's line adds to say so.
    std::string unqueue(const std::string &serial);
};

#endif
