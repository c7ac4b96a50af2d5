#ifndef SERVEFOLDER_H_
#define SERVEFOLDER_H_

// A station's folder as --serve reads it: the live state (station-state.json, replaced whole by
// the station on each change) and the journal (journal.jsonl, appended). Only ever read: the
// folder may belong to a running station, or to yesterday's. Thread-safe: one thread refreshes,
// any number read.

#include "record/JournalLines.h"

#include <nlohmann/json.hpp>

#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using StateJson = nlohmann::ordered_json;

// One line of the journal, kept short: the page of lines is parsed again when asked for.
struct JournalUnit {
    bool valid = false;        // a JSON object (a damaged line keeps its number only)
    std::string text;          // the line as written
    std::string outcome;       // "updated and verified", ...
    std::string label;         // the port's label ("label", else "port")
    std::string ended;         // as written, local time with its offset
    long long endedMs = -1;    // the same in milliseconds since 1970, or -1 when unreadable
    double seconds = -1;       // ended - started, or -1 when either is unreadable
    std::optional<std::string> serial; // the label's serial number; none when null, or a line from before them
};

// A journal line of one serial number, as ServeFolder::linesOfSerial finds it.
struct SerialLine {
    size_t line = 0;        // its number, 1-based
    long long endedMs = -1; // as JournalUnit's
    std::string text;
};

// Per port, from the journal: what the page's table and the metrics show.
struct PortTally {
    std::string label;
    long long handled = 0, passed = 0, failed = 0, stopped = 0;
};

class ServeFolder {
public:
    explicit ServeFolder(std::string dir);
    const std::string &dir() const { return dir_; }
    // Reads what changed since the last call: a new state file, new complete journal lines.
    // True when anything changed (then waiters wake).
    bool refresh();
    // Waits (at most ms) until a refresh after version `seen` changed something; the version now.
    unsigned long long waitForChange(unsigned long long seen, int ms);
    void wake(); // ends every wait now (the server stops)
    // The last good state file read, or null when there never was one.
    std::shared_ptr<const StateJson> state() const;
    // Journal lines so far (damaged ones included), and those that are damaged.
    size_t journalLines() const;
    size_t journalDamaged() const;
    // Line n (1-based) as a JSON object, or null when out of range or damaged.
    StateJson journalLine(size_t n) const;
    // Valid lines after `after` (1-based numbering), at most limit of them, as {"line", "unit"}.
    StateJson journalPage(size_t after, size_t limit) const;
    // Valid lines whose serial number is exactly serial, the last written first, at most limit.
    std::vector<SerialLine> linesOfSerial(const std::string &serial, size_t limit) const;
    // Units by outcome column (OUTCOME_COLUMNS), all journal lines or those ended since `since`
    // (a time as the journal writes them; "": every line), compared as instants, not as text.
    std::vector<long long> countOutcomes(const std::string &since) const;
    std::vector<PortTally> tallyPorts(const std::string &since) const;
    // Units per hour by outcome column, since `since`: each hour as the journal's local times
    // have it ("YYYY-MM-DDTHH") with its offset from UTC, so that a clock put back an hour
    // keeps both of its hours apart, in the order they passed.
    StateJson unitsPerHour(const std::string &since) const;
    // Durations (s) of every unit whose start and end are readable.
    std::vector<double> durations() const;
    // The log or report (`field`) named by journal line n, open to read with its size, when it is
    // a regular file directly inside the folder; null when there is none such.
    FILE *openUnitFile(size_t n, const char *field, unsigned long long &size) const;

private:
    void readState();
    void readJournal();
    void takeJournalLines(std::vector<JournalUnit> &lines);
    std::string dir_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    unsigned long long version_ = 0;
    std::string stateText_;
    std::shared_ptr<const StateJson> state_;
    std::vector<JournalUnit> units_;
    size_t damaged_ = 0;
    JournalReader journal_; // the refreshing thread's alone: reads on from where it stopped
};


// The journal lines of serial in every folder, newest first (by their end; a line whose end is
// unreadable after the others), at most limit: {"serial", "limit", "more" (lines were left out),
// "units": [{"station" (the folder's number), "folder", "line", "unit"}]}.
StateJson serveJournalOfSerial(const std::vector<ServeFolder *> &folders, const std::string &serial, size_t limit);

#endif
