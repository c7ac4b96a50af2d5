#ifndef STATIONJOURNAL_H_
#define STATIONJOURNAL_H_

// The journal of a station's folder (journal.jsonl): one JSON object a line, each line on disk
// whole or not at all, whatever fails. A line that cannot be written is kept, in order, and
// written with the next one that can be.

#include "station/StationPort.h"

#include <cstdio>
#include <deque>
#include <functional>
#include <string>

class StationJournal {
  public:
    ~StationJournal();
    // Opens DIR/journal.jsonl to append (created if missing, its folder synced; a cut last line
    // ended as it is); "" or why not.
    std::string open(const std::string &dir);
    // Appends line (one JSON object, no line end) after any kept ones, each flushed and on
    // disk, each on a line of its own whatever the file's end holds. "" when all are written;
    // else why not, and the lines not written are kept.
    std::string appendLine(const std::string &line);
    // Why a unit could not be recorded now ("" when it can): the folder gone or not writable,
    // the journal removed, the disk full. probe: also try to create a file in the folder.
    std::string problem(bool probe) const;
    // Writes the kept lines, reopening a journal that was removed (a fresh one where its folder
    // is back, when mayReopen allows it); "" or why not.
    std::string retry();
    // Asked before a fresh journal is opened where the folder is back: false with why not.
    std::function<bool(std::string &why)> mayReopen;
    // The number of lines in the journal (the last line's 1-based index, as every reader of it
    // numbers them: counted again when the file is not as this station left it), and those kept.
    size_t lines() const { return count; }
    const std::deque<std::string> &kept() const { return pending; }
    // Closes it; "" or why the last lines may be missing.
    std::string close();

  private:
    std::string dir, path;
    FILE *file = nullptr;
    size_t count = 0;
    long long left = -1; // the file's size as this station left it: another size, another file
    std::deque<std::string> pending;

    std::string write(const std::string &line);
};

// The journal line of a unit handled on port: one JSON object, its files named relative to dir
// (the journal's folder), its versions as the unit's report has them (null when none were read).
std::string stationJournalLine(const StationPort &port, const std::string &dir);

#endif
