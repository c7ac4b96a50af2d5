#include "serve/ServeFolder.h"

#include "base/Clock.h"
#include "base/StringOperations.h"
#include "record/Outcome.h"
#include "serve/ServeRequest.h"

#include "platform/FileRead.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <initializer_list>
#include <map>

static const size_t kStateMax = 8u << 20;    // a state file beyond this is not a station's
static const unsigned long long kUnitFileMax = 1ull << 30; // a log or report served, up to this

static std::string textOf(const StateJson &object, const char *key) {
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

static JournalUnit readJournalLine(const JournalLine &journalLine) {
    JournalUnit unit;
    const StateJson line = journalLineObject(journalLine);
    if (!line.is_object()) return unit;
    unit.valid = true;
    unit.outcome = textOf(line, "outcome");
    unit.label = textOf(line, "label");
    if (unit.label.empty()) unit.label = textOf(line, "port");
    unit.ended = textOf(line, "ended");
    auto serial = line.find("serial");
    if (serial != line.end() && serial->is_string()) unit.serial = serial->get<std::string>();
    long long started = 0, ended = 0;
    if (!timeStampMs(unit.ended, ended)) ended = -1;
    unit.endedMs = ended;
    if (ended >= 0 && timeStampMs(textOf(line, "started"), started) && ended >= started)
        unit.seconds = (double)(ended - started) / 1000.0;
    unit.text = journalLine.text;
    return unit;
}

ServeFolder::ServeFolder(std::string dir) : dir_(std::move(dir)), journal_(dir_ + "/journal.jsonl") {}

void ServeFolder::readState() {
    std::string text;
    unsigned long long size = 0;
    if (!fileReadPart(dir_ + "/station-state.json", 0, kStateMax, text, size) || size > kStateMax || text == stateText_)
        return;
    stateText_ = text;
    if (jsonNesting(text) > JSON_NESTING_MAX) return; // no state of a station's: never parsed nor printed
    StateJson state = StateJson::parse(text, nullptr, false);
    // A file that is not a state of this format (never one half-written: it is renamed into
    // place) leaves the last good one.
    if (state.is_discarded() || !state.is_object() || !state.contains("format") || state["format"] != 1) return;
    auto shared = std::make_shared<const StateJson>(std::move(state));
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = std::move(shared);
    ++version_;
}

// Reads on from where the last refresh stopped: nothing is read twice. Lines reach the readers
// a batch at a time, so that a journal of a year shows its lines while the rest is read.
void ServeFolder::readJournal() {
    const size_t batch = 4096;
    std::vector<JournalUnit> lines;
    const auto take = [&](const JournalLine &line) {
        lines.push_back(readJournalLine(line));
        if (lines.size() >= batch) takeJournalLines(lines);
        return true;
    };
    journal_.readOn(take);
    if (journal_.replaced()) { // another journal in its place: read from its start
        journal_.seek(0, 0);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            units_.clear();
            damaged_ = 0;
            ++version_;
        }
        journal_.readOn(take);
    }
    takeJournalLines(lines);
}

void ServeFolder::takeJournalLines(std::vector<JournalUnit> &lines) {
    if (lines.empty()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    for (JournalUnit &line : lines) {
        damaged_ += !line.valid;
        units_.push_back(std::move(line));
    }
    lines.clear();
    ++version_;
}

bool ServeFolder::refresh() {
    const unsigned long long before = [&] {
        std::lock_guard<std::mutex> lock(mutex_);
        return version_;
    }();
    readState();
    readJournal();
    std::lock_guard<std::mutex> lock(mutex_);
    if (version_ == before) return false;
    changed_.notify_all();
    return true;
}

unsigned long long ServeFolder::waitForChange(unsigned long long seen, int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return version_ != seen; });
    return version_;
}

void ServeFolder::wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++version_;
    changed_.notify_all();
}

std::shared_ptr<const StateJson> ServeFolder::state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

size_t ServeFolder::journalLines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return units_.size();
}

size_t ServeFolder::journalDamaged() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return damaged_;
}

StateJson ServeFolder::journalLine(size_t n) const {
    std::string text;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (n == 0 || n > units_.size() || !units_[n - 1].valid) return nullptr;
        text = units_[n - 1].text;
    }
    return StateJson::parse(text, nullptr, false);
}

StateJson ServeFolder::journalPage(size_t after, size_t limit) const {
    std::vector<std::pair<size_t, std::string>> texts;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t n = after + 1; n <= units_.size() && texts.size() < limit; ++n)
            if (units_[n - 1].valid) texts.emplace_back(n, units_[n - 1].text);
    }
    StateJson page = StateJson::array();
    for (auto &[n, text] : texts) page.push_back({{"line", n}, {"unit", StateJson::parse(text, nullptr, false)}});
    return page;
}

std::vector<SerialLine> ServeFolder::linesOfSerial(const std::string &serial, size_t limit) const {
    std::vector<SerialLine> lines;
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t n = units_.size(); n > 0 && lines.size() < limit; --n) {
        const JournalUnit &unit = units_[n - 1];
        if (unit.valid && unit.serial == serial) lines.push_back({n, unit.endedMs, unit.text});
    }
    return lines;
}

StateJson serveJournalOfSerial(const std::vector<ServeFolder *> &folders, const std::string &serial, size_t limit) {
    struct Found {
        size_t station;
        SerialLine line;
    };
    std::vector<Found> found;
    // One more than asked for from each: enough to tell that some were left out.
    for (size_t k = 0; k < folders.size(); ++k)
        for (SerialLine &line : folders[k]->linesOfSerial(serial, limit + 1)) found.push_back({k, std::move(line)});
    // Stable: lines that ended together stay in folder order, each folder's last written first.
    std::stable_sort(found.begin(), found.end(),
                     [](const Found &a, const Found &b) { return a.line.endedMs > b.line.endedMs; });
    const bool more = found.size() > limit;
    if (more) found.resize(limit);
    StateJson units = StateJson::array();
    for (const Found &f : found)
        units.push_back({{"station", f.station},
                         {"folder", folders[f.station]->dir()},
                         {"line", f.line.line},
                         {"unit", StateJson::parse(f.line.text, nullptr, false)}});
    return {{"serial", serial}, {"limit", limit}, {"more", more}, {"units", units}};
}

// Whether the unit ended since `since` ("": always).
static bool endedSince(const JournalUnit &unit, const std::string &since) {
    long long from = 0;
    return since.empty() || !timeStampMs(since, from) || unit.endedMs >= from;
}

std::vector<long long> ServeFolder::countOutcomes(const std::string &since) const {
    std::vector<long long> counts(5, 0);
    std::lock_guard<std::mutex> lock(mutex_);
    for (const JournalUnit &unit : units_)
        if (unit.valid && endedSince(unit, since)) ++counts[outcomeColumn(unit.outcome)];
    return counts;
}

std::vector<PortTally> ServeFolder::tallyPorts(const std::string &since) const {
    std::map<std::string, PortTally> tallies;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const JournalUnit &unit : units_) {
        if (!unit.valid || !endedSince(unit, since)) continue;
        PortTally &t = tallies[unit.label];
        t.label = unit.label;
        ++t.handled;
        const size_t group = outcomeColumn(unit.outcome);
        t.passed += group <= 1;
        t.failed += group == 2;
        t.stopped += group == 4;
    }
    std::vector<PortTally> list;
    for (auto &[label, tally] : tallies) list.push_back(tally);
    return list;
}

StateJson ServeFolder::unitsPerHour(const std::string &since) const {
    struct Hour {
        std::string local, offset;
        std::vector<long long> counts = std::vector<long long>(5, 0);
    };
    std::map<long long, Hour> hours; // by the hour's start, in UTC
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const JournalUnit &unit : units_) {
            if (!unit.valid || unit.endedMs < 0 || !endedSince(unit, since)) continue;
            const std::string &e = unit.ended;
            const std::string offset = e.back() == 'Z' ? "Z" : e.substr(e.size() - 6); // it parsed: it has one
            long long start = 0; // when its local hour began
            if (!timeStampMs(e.substr(0, 13) + ":00:00" + offset, start)) continue;
            Hour &hour = hours[start];
            hour.local = e.substr(0, 13);
            hour.offset = offset;
            ++hour.counts[outcomeColumn(unit.outcome)];
        }
    }
    StateJson list = StateJson::array();
    for (auto &[start, hour] : hours) {
        StateJson entry = {{"hour", hour.local}, {"utc_offset", hour.offset}};
        for (size_t i = 0; i < 5; ++i) entry[OUTCOME_COLUMNS[i]] = hour.counts[i];
        list.push_back(entry);
    }
    return list;
}

std::vector<double> ServeFolder::durations() const {
    std::vector<double> list;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const JournalUnit &unit : units_)
        if (unit.valid && unit.seconds >= 0) list.push_back(unit.seconds);
    return list;
}

FILE *ServeFolder::openUnitFile(size_t n, const char *field, unsigned long long &size) const {
    const StateJson line = journalLine(n);
    if (!line.is_object()) return nullptr;
    const std::string name = textOf(line, field);
    if (!serveIsPlainFileName(name)) return nullptr;
    FILE *f = fileOpenToRead(dir_ + "/" + name, size);
    if (f != nullptr && size > kUnitFileMax) {
        std::fclose(f);
        return nullptr;
    }
    return f;
}
