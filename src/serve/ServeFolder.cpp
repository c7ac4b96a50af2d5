#include "serve/ServeFolder.h"

#include "base/Clock.h"
#include "record/Outcome.h"
#include "serve/ServeRequest.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>

#ifdef _WIN32
#include <filesystem>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

static const size_t kStateMax = 8u << 20;    // a state file beyond this is not a station's
static const size_t kLineMax = 1u << 20;     // a journal line beyond this counts as damaged
static const size_t kReadStep = 64u << 20;   // journal bytes read per refresh
static const size_t kUnitFileMax = 64u << 20; // a log or report served whole, up to this

static std::string textOf(const StateJson &object, const char *key) {
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool serveParseTime(const std::string &text, long long &ms) {
    int y, mo, d, h, mi, s, used = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &used) != 6 || used != 19)
        return false;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return false;
    size_t i = 19;
    long long fraction = 0, scale = 1000;
    if (i < text.size() && text[i] == '.')
        for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
            if (scale > 1) fraction += (text[i] - '0') * (scale /= 10);
    long long offsetMin = 0;
    const std::string zone = text.substr(std::min(i, text.size()));
    int oh = 0, om = 0;
    if (zone == "Z") offsetMin = 0;
    else if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && std::sscanf(zone.c_str() + 1, "%2d:%2d", &oh, &om) == 2)
        offsetMin = (zone[0] == '-' ? -1 : 1) * (oh * 60 + om);
    else return false;
    const long long days = daysFromCivil(y, (unsigned)mo, (unsigned)d);
    ms = ((days * 24 + h) * 60 + mi - offsetMin) * 60000 + s * 1000LL + fraction;
    return true;
}

static JournalUnit readJournalLine(std::string text) {
    JournalUnit unit;
    if (text.size() > kLineMax) return unit;
    StateJson line = StateJson::parse(text, nullptr, false);
    if (line.is_discarded() || !line.is_object()) return unit;
    unit.valid = true;
    unit.outcome = textOf(line, "outcome");
    unit.label = textOf(line, "label");
    if (unit.label.empty()) unit.label = textOf(line, "port");
    unit.ended = textOf(line, "ended");
    long long started = 0, ended = 0;
    if (serveParseTime(textOf(line, "started"), started) && serveParseTime(unit.ended, ended) && ended >= started)
        unit.seconds = (double)(ended - started) / 1000.0;
    unit.text = std::move(text);
    return unit;
}

ServeFolder::ServeFolder(std::string dir) : dir_(std::move(dir)) {}

static bool readWhole(const std::string &path, size_t max, std::string &text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    text.assign(max + 1, '\0');
    in.read(text.data(), (std::streamsize)text.size());
    text.resize((size_t)in.gcount());
    return text.size() <= max;
}

void ServeFolder::readState() {
    std::string text;
    if (!readWhole(dir_ + "/station-state.json", kStateMax, text) || text == stateText_) return;
    stateText_ = text;
    StateJson state = StateJson::parse(text, nullptr, false);
    // A file that is not a state of this format (never one half-written: it is renamed into
    // place) leaves the last good one.
    if (state.is_discarded() || !state.is_object() || !state.contains("format") || state["format"] != 1) return;
    auto shared = std::make_shared<const StateJson>(std::move(state));
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = std::move(shared);
    ++version_;
}

bool ServeFolder::readJournal() {
    std::ifstream in(dir_ + "/journal.jsonl", std::ios::binary | std::ios::ate);
    if (!in) return false;
    const unsigned long long size = (unsigned long long)in.tellg();
    std::lock_guard<std::mutex> lock(mutex_);
    if (size < journalOffset_) { // another journal in its place: read it from its start
        units_.clear();
        journalOffset_ = 0;
        damaged_ = 0;
    }
    if (size == journalOffset_) return false;
    std::string chunk((size_t)std::min<unsigned long long>(size - journalOffset_, kReadStep), '\0');
    in.seekg((std::streamoff)journalOffset_);
    in.read(chunk.data(), (std::streamsize)chunk.size());
    chunk.resize((size_t)in.gcount());
    size_t start = 0;
    for (size_t end; (end = chunk.find('\n', start)) != std::string::npos; start = end + 1) {
        units_.push_back(readJournalLine(chunk.substr(start, end - start)));
        damaged_ += !units_.back().valid;
    }
    // An unfinished line waits for its end, unless it is already too long to be a unit's.
    if (start == 0 && chunk.size() > kLineMax) {
        units_.push_back(JournalUnit());
        ++damaged_;
        start = chunk.size();
    }
    journalOffset_ += start;
    if (start > 0) ++version_;
    return start > 0;
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

std::vector<long long> ServeFolder::countOutcomes(const std::string &since) const {
    std::vector<long long> counts(5, 0);
    std::lock_guard<std::mutex> lock(mutex_);
    for (const JournalUnit &unit : units_)
        if (unit.valid && unit.ended >= since) ++counts[outcomeColumn(unit.outcome)];
    return counts;
}

std::vector<PortTally> ServeFolder::tallyPorts(const std::string &since) const {
    std::map<std::string, PortTally> tallies;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const JournalUnit &unit : units_) {
        if (!unit.valid || unit.ended < since) continue;
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
    std::map<std::string, std::vector<long long>> hours;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const JournalUnit &unit : units_) {
            if (!unit.valid || unit.ended < since || unit.ended.size() < 13) continue;
            std::vector<long long> &row = hours[unit.ended.substr(0, 13)];
            row.resize(5, 0);
            ++row[outcomeColumn(unit.outcome)];
        }
    }
    StateJson list = StateJson::array();
    for (auto &[hour, row] : hours) {
        StateJson entry = {{"hour", hour}};
        for (size_t i = 0; i < 5; ++i) entry[OUTCOME_COLUMNS[i]] = row[i];
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

// Opens name inside dir only when it is a regular file there now, never through a link.
static bool readRegularFile(const std::string &dir, const std::string &name, std::string &body) {
    const std::string path = dir + "/" + name;
#ifdef _WIN32
    // No O_NOFOLLOW here: the entry itself must be a plain file, not a link or junction.
    std::error_code error;
    const auto status = std::filesystem::symlink_status(path, error);
    if (error || status.type() != std::filesystem::file_type::regular) return false;
    return readWhole(path, kUnitFileMax, body);
#else
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && (size_t)info.st_size <= kUnitFileMax;
    body.clear();
    char buffer[65536];
    for (ssize_t n; ok && (n = read(fd, buffer, sizeof buffer)) != 0;) {
        ok = n > 0 && body.size() + (size_t)n <= kUnitFileMax;
        if (ok) body.append(buffer, (size_t)n);
    }
    close(fd);
    return ok;
#endif
}

bool ServeFolder::readUnitFile(size_t n, const char *field, std::string &body) const {
    const StateJson line = journalLine(n);
    if (!line.is_object()) return false;
    const std::string name = textOf(line, field);
    return serveIsPlainFileName(name) && readRegularFile(dir_, name, body);
}
