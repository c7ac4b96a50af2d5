#include "plant/PlantSender.h"

#include "base/ConnectionString.h"
#include "base/StringOperations.h"
#include "plant/PlantKey.h"
#include "plant/PlantTable.h"
#include "platform/FileRead.h"

#include <algorithm>
#include <thread>

namespace {

const size_t kBatch = 500;            // lines a transaction, rows compared at once, missing lines kept
const size_t kRowsAStatement = 100;   // rows of one INSERT: 1,800 parameters, within SQL Server's 2,100
const int kLoginSeconds = 5, kQuerySeconds = 5;
const auto kPoll = std::chrono::milliseconds(200); // a line reaches the database within a second
// A caught-up sender counts its key's rows when it first catches up, then this often.
const auto kCheckEvery = std::chrono::seconds(60);
const auto kJournalBehind = std::chrono::seconds(2); // the supervisor's reading, waited for when the table is ahead
const size_t kCandidatesMax = 8;      // keys whose row holds this journal's first line, tried

std::string linesText(size_t n) { return std::to_string(n) + (n == 1 ? " line" : " lines"); }

std::string errorText(const OdbcError &error) {
    return (error.state.empty() ? "" : error.state + ": ") + error.message;
}

} // namespace

bool plantTicketAbandon(PlantShared &shared, PlantTicket &ticket) {
    std::lock_guard<std::mutex> lock(shared.mutex);
    if (ticket.ended) return false;
    ticket.abandoned = true;
    ++shared.abandonedRunning;
    shared.connected = false;
    shared.wake.notify_all();
    return true;
}

PlantSender::PlantSender(std::shared_ptr<PlantShared> shared, std::shared_ptr<PlantTicket> ticket,
                         unsigned long long generation)
    : s_(std::move(shared)), me_(std::move(ticket)), generation_(generation), reader_(s_->path) {}

void PlantSender::run() {
    db_.watchCalls(&me_->callSince);
    OdbcError error;
    const bool connected = connect(error);
    bool prefix = false;
    {
        std::lock_guard<std::mutex> lock(s_->mutex);
        if (!me_->abandoned) {
            if (!s_->answered && !connected && odbcSetupProblem(error))
                s_->setupProblem = connectionPasswordsHidden(error.message, s_->connection);
            s_->answered = true;
            s_->auditedTo = 0;
            key_ = s_->key;
            prefix = s_->keyByContent;
            setAside_ = s_->setAside;
            setAsideWhy_ = s_->setAsideWhy;
        }
        s_->wake.notify_all();
    }
    if (!connected) return end(error);
    if (key_.empty() ? !resolveKey(error) : verify(key_, true, prefix, error) != Sent::ALL) return end(error);
    report(true);
    for (;;) {
        if (!mayGoOn()) return end(error);
        if (missing_.empty() && missingMore_ > 0) { // the next of the missing lines looked for
            if (checkGaps(false, error) != Sent::ALL || !report(true)) return end(error);
            continue;
        }
        std::vector<Row> rows;
        size_t last = horizon_;
        bool fromGaps = !missing_.empty();
        if (fromGaps) {
            for (auto it = missing_.begin(); it != missing_.end() && rows.size() < kBatch; ++it) {
                std::string text;
                bool sendable = false;
                if (!lineText(*it, text, sendable, error)) return end(error);
                if (sendable) rows.push_back({*it, std::move(text)});
            }
        } else if (!nextBatch(rows, last)) {
            return end(mayGoOn() ? OdbcError{"", "the journal " + s_->path + " cannot be read", ""} : OdbcError{});
        }
        if (!fromGaps && last == horizon_) { // caught up: the table counted now and then, else a wait for lines
            if (stopping()) return end(error);
            const bool first = !caughtUp_ && checkedTo_ != horizon_;
            caughtUp_ = true;
            if (first || PlantClock::now() - checkedAt_ >= kCheckEvery) {
                const Sent checked = checkGaps(false, error);
                if (checked != Sent::ALL) return end(error);
                report(true);
                continue;
            }
            if (auditedTo_ < horizon_) { // nothing else to do: the next rows compared with their lines
                if (audit(error) != Sent::ALL || !report(true)) return end(error);
                continue;
            }
            std::unique_lock<std::mutex> lock(s_->mutex);
            s_->wake.wait_for(lock, kPoll, [&] { return (s_->stopping && s_->readAtStop) || s_->sendable() > horizon_; });
            continue;
        }
        if (key_.empty() && !rows.empty()) { // the first unit's line: the key found by it, or made
            if (!resolveKey(error)) return end(error);
            continue;
        }
        if (sendRows(rows, error) != Sent::ALL) return end(error);
        if (fromGaps)
            for (const Row &row : rows) missing_.erase(row.number);
        else
            horizon_ = last;
        if (!report(true)) return end(error);
    }
}

// Connects, makes the table when it is missing (one of another shape is left as it is), and
// prepares the INSERTs.
bool PlantSender::connect(OdbcError &error) {
    db_.setQueryTimeout(kQuerySeconds);
    if (!db_.connect(s_->connection, kLoginSeconds, error)) return false;
    const std::string &table = s_->table;
    std::vector<OdbcColumn> columns;
    if (!db_.describe("SELECT * FROM " + table + " WHERE 1 = 0", columns, error)) {
        db_.rollback();
        if (!odbcNoSuchTable(error)) return false;
        error = {};
        if (!db_.execute(plantCreateTable(table), {}, error) || !db_.commit(error)) {
            db_.rollback();
            error = {}; // another station may have made it meanwhile: it is looked at again
        }
        if (!db_.describe("SELECT * FROM " + table + " WHERE 1 = 0", columns, error)) return false;
    }
    db_.rollback();
    for (const PlantColumn &c : PLANT_COLUMNS) {
        const auto at = std::find_if(columns.begin(), columns.end(), [&](const OdbcColumn &o) { return lowerCase(o.name) == c.name; });
        const bool fits = at != columns.end() && (c.width == 0 ? at->number : at->text);
        if (!fits) {
            error = {"", "the table " + table + " has another shape (its column " + c.name +
                             (at == columns.end() ? " is missing" : " is of another type") +
                             "): it is left as it is; give --records-table another name, or make it as the README says", ""};
            return false;
        }
    }
    if (db_.uniqueOn(table, {"station_key", "line_no"}) == std::optional<bool>(false)) {
        error = {"", "the table " + table + " has another shape (no unique key on station_key, line_no): it is left as "
                     "it is; give --records-table another name, or make it as the README says", ""};
        return false;
    }
    // One row a statement, and many: a round trip to the server for each row would cost most of the time.
    std::string row = "(?";
    for (size_t i = 1; i < std::size(PLANT_COLUMNS); ++i) row += ", ?";
    row += ")";
    std::string rows = row;
    for (size_t i = 1; i < kRowsAStatement; ++i) rows += ", " + row;
    const std::string insert = "INSERT INTO " + table + " (" + plantColumnList() + ") VALUES ";
    return db_.prepare(0, insert + row, error) && db_.prepare(1, insert + rows, error);
}

// A folder without its key file. Another key whose row holds this journal's first unit's line,
// and whose last row is this journal's line too, is this journal's (sent before, its key file
// lost or never written): taken. A folder only read takes it too when its journal is a prefix of
// the key's rows (an earlier copy: the rows of its last line hold it; the audit compares the
// rest). Else a new one: the station's own, kept in its folder; a folder only read gets one made
// from that line, so that sending it twice never doubles it.
bool PlantSender::resolveKey(OdbcError &error) {
    size_t first = 0;
    {
        std::lock_guard<std::mutex> lock(s_->mutex);
        for (size_t n = 1; n <= s_->lines() && first == 0; ++n)
            if (s_->sendable(n)) first = n;
    }
    std::string key;
    if (first != 0) {
        std::string text;
        bool sendable = false;
        if (!lineText(first, text, sendable, error)) return false;
        const std::string stored = plantStoredLine(text);
        std::optional<std::u16string> candidate = u"";
        for (size_t tried = 0; key.empty() && tried < kCandidatesMax; ++tried) {
            const std::string after = odbcUtf8(*candidate);
            if (!db_.queryText("SELECT MIN(station_key) FROM " + s_->table +
                                   " WHERE line_no = ? AND journal_line = ? AND station_key > ?",
                               {OdbcValue::ofNumber((int64_t)first), OdbcValue::ofText(stored, PLANT_LINE_MAX),
                                OdbcValue::ofText(after, 64)},
                               candidate, error))
                return false;
            db_.rollback();
            if (!candidate) break;
            const Sent found = verify(odbcUtf8(*candidate), false, !s_->ownStation, error);
            if (found == Sent::FAILED) return false;
            if (found == Sent::ALL) key = odbcUtf8(*candidate);
        }
        if (key.empty() && !s_->ownStation) key = plantKeyOfContent(first, stored);
    } else if (!s_->ownStation) {
        return true; // no unit's line yet: nothing to send, nothing to name
    }
    if (key.empty()) key = plantKeyMade();
    std::string why;
    if (s_->ownStation && (!mayGoOn() || !plantKeyKeep(s_->dir, key, why))) {
        error = {"", why.empty() ? "stopped" : why, ""};
        return false;
    }
    key_ = key;
    {
        std::lock_guard<std::mutex> lock(s_->mutex);
        if (!me_->abandoned) {
            s_->key = key_;
            s_->keyByContent = !s_->ownStation;
        }
    }
    return verify(key_, true, !s_->ownStation, error) == Sent::ALL;
}

// What the table holds for key, proven by content: its last row must hold this journal's line
// of that number, or (prefix: a journal only read, its key found by content) the row of the
// journal's last line when the key holds more (report: then the horizon is there, and the rows
// below it are counted; the audit compares each of them later).
PlantSender::Sent PlantSender::verify(const std::string &key, bool report, bool prefix, OdbcError &error) {
    std::optional<int64_t> max;
    if (!db_.queryNumber("SELECT MAX(line_no) FROM " + s_->table + " WHERE station_key = ?",
                         {OdbcValue::ofText(key, 64)}, max, error))
        return Sent::FAILED;
    db_.rollback();
    const size_t top = max && *max > 0 ? (size_t)*max : 0;
    if (top == 0) {
        if (report) horizon_ = 0;
        return Sent::ALL;
    }
    size_t lines = 0;
    {
        // Another follower of this folder may have sent lines the supervisor has not read yet.
        std::unique_lock<std::mutex> lock(s_->mutex);
        if (!prefix) s_->wake.wait_for(lock, kJournalBehind, [&] { return s_->lines() >= top || s_->stopping; });
        lines = s_->lines();
    }
    if (lines < top && !(prefix && lines > 0)) {
        if (report)
            mismatch(top, key, "the database holds line " + std::to_string(top) + " of it, this journal " + linesText(lines));
        return Sent::MISMATCH;
    }
    const size_t at = std::min(top, lines);
    std::optional<std::u16string> stored;
    if (!db_.queryText("SELECT journal_line FROM " + s_->table + " WHERE station_key = ? AND line_no = ?",
                       {OdbcValue::ofText(key, 64), OdbcValue::ofNumber((int64_t)at)}, stored, error))
        return Sent::FAILED;
    db_.rollback();
    std::string ours;
    bool sendable = false;
    if (!lineText(at, ours, sendable, error)) return Sent::FAILED;
    if (!sendable || !stored || *stored != odbcUtf16(plantStoredLine(ours), PLANT_LINE_MAX)) {
        if (report) mismatch(at, key, "line " + std::to_string(at) + " differs");
        return Sent::MISMATCH;
    }
    if (!report) return Sent::ALL;
    horizon_ = at;
    return checkGaps(true, error);
}

// The key's rows up to the horizon counted against the journal's unit lines; when they differ,
// the lines missing (rows deleted) are found and sent again. retrySetAside: the lines set aside
// are tried once more (the database may take them now).
PlantSender::Sent PlantSender::checkGaps(bool retrySetAside, OdbcError &error) {
    size_t expected = 0;
    {
        std::lock_guard<std::mutex> lock(s_->mutex);
        for (size_t n = 1; n <= horizon_; ++n) expected += s_->sendable(n) && (retrySetAside || !setAside_.count(n));
    }
    const std::vector<OdbcValue> params = {OdbcValue::ofText(key_, 64), OdbcValue::ofNumber((int64_t)horizon_)};
    std::optional<int64_t> count;
    if (!db_.queryNumber("SELECT COUNT(*) FROM " + s_->table + " WHERE station_key = ? AND line_no BETWEEN 1 AND ?",
                         params, count, error))
        return Sent::FAILED;
    db_.rollback();
    checkedAt_ = PlantClock::now();
    checkedTo_ = horizon_;
    missing_.clear();
    missingMore_ = 0;
    if (count && (size_t)*count == expected) {
        if (retrySetAside) setAside_.erase(setAside_.begin(), setAside_.upper_bound(horizon_));
        return Sent::ALL;
    }
    std::vector<int64_t> present;
    if (!db_.queryNumbers("SELECT line_no FROM " + s_->table + " WHERE station_key = ? AND line_no BETWEEN 1 AND ?",
                          params, present, error))
        return Sent::FAILED;
    db_.rollback();
    std::vector<bool> there(horizon_ + 1, false);
    for (int64_t n : present)
        if (n >= 1 && (size_t)n <= horizon_) there[(size_t)n] = true;
    std::lock_guard<std::mutex> lock(s_->mutex);
    for (size_t n = 1; n <= horizon_; ++n) {
        if (there[n] && !s_->sendable(n)) {
            s_->mutex.unlock();
            mismatch(n, key_, "the database holds line " + std::to_string(n) + ", damaged in this journal");
            s_->mutex.lock();
            return Sent::MISMATCH;
        }
        if (there[n]) setAside_.erase(n);
        else if (s_->sendable(n) && (retrySetAside || !setAside_.count(n))) {
            if (missing_.size() < kBatch) missing_.insert(n);
            else ++missingMore_;
        }
    }
    return Sent::ALL;
}

// The key's rows after auditedTo_, up to kBatch of them, each compared with its line (as stored,
// cut where long): a line edited after it was sent is found here, whatever its number.
PlantSender::Sent PlantSender::audit(OdbcError &error) {
    const size_t from = auditedTo_, to = std::min(horizon_, auditedTo_ + kBatch);
    std::vector<std::pair<int64_t, std::optional<std::u16string>>> rows;
    if (!db_.queryNumberedTexts("SELECT line_no, journal_line FROM " + s_->table +
                                    " WHERE station_key = ? AND line_no > ? AND line_no <= ? ORDER BY line_no",
                                {OdbcValue::ofText(key_, 64), OdbcValue::ofNumber((int64_t)from),
                                 OdbcValue::ofNumber((int64_t)to)},
                                rows, error))
        return Sent::FAILED;
    db_.rollback();
    unsigned long long start = 0;
    std::vector<bool> sendable;
    {
        std::lock_guard<std::mutex> lock(s_->mutex);
        if (s_->generation != generation_ || to > s_->lines()) return Sent::FAILED; // read again by the next sender
        start = s_->endOf(from);
        for (size_t n = from + 1; n <= to; ++n) sendable.push_back(s_->sendable(n));
    }
    size_t next = 0, last = from, differs = 0;
    unsigned long long end = start;
    reader_.seek(from, start);
    const bool read = reader_.readOn([&](const JournalLine &line) {
        last = line.number;
        end = line.end;
        for (; next < rows.size() && (size_t)rows[next].first < line.number; ++next) {}
        if (next < rows.size() && (size_t)rows[next].first == line.number) {
            const bool same = sendable[line.number - from - 1] && rows[next].second &&
                              *rows[next].second == odbcUtf16(plantStoredLine(std::string(line.text)), PLANT_LINE_MAX);
            if (!same) differs = line.number;
        }
        return differs == 0 && line.number < to;
    });
    {
        // Where the supervisor found the line's end: else the journal changed under the reading.
        std::lock_guard<std::mutex> lock(s_->mutex);
        if (!read || s_->generation != generation_ || (last != to && differs == 0) || s_->endOf(last) != end)
            return Sent::FAILED;
    }
    if (differs != 0) {
        mismatch(differs, key_, sendable[differs - from - 1] ? "line " + std::to_string(differs) + " differs"
                                                             : "the database holds line " + std::to_string(differs) +
                                                                   ", damaged in this journal");
        return Sent::MISMATCH;
    }
    auditedTo_ = to;
    return Sent::ALL;
}

// The journal's lines after the horizon, up to kBatch of them, as far as the supervisor has
// counted them: the units' lines in rows, last the number of the last line read.
bool PlantSender::nextBatch(std::vector<Row> &rows, size_t &last) {
    size_t lines = 0;
    unsigned long long from = 0;
    {
        std::lock_guard<std::mutex> lock(s_->mutex);
        if (s_->generation != generation_ || horizon_ > s_->lines()) return false;
        lines = s_->sendable();
        from = s_->endOf(horizon_);
    }
    last = horizon_;
    if (lines == horizon_) return true;
    reader_.seek(horizon_, from);
    unsigned long long end = 0;
    const bool read = reader_.readOn([&](const JournalLine &line) {
        if (line.number > lines) return false;
        last = line.number;
        end = line.end;
        if (journalLineIsUnit(line)) rows.push_back({line.number, std::string(line.text)});
        return line.number < lines && line.number - horizon_ < kBatch;
    });
    std::lock_guard<std::mutex> lock(s_->mutex);
    // Where the supervisor found the line's end: else the journal changed under the reading.
    return read && s_->generation == generation_ && (last == horizon_ || s_->endOf(last) == end);
}

// rows in one transaction. A refusal: some are there already (sent before a crash let us know
// it was, or by another follower of this folder), or one holds what the database cannot take:
// they go again one at a time.
PlantSender::Sent PlantSender::sendRows(const std::vector<Row> &rows, OdbcError &error) {
    size_t i = 0;
    while (i < rows.size()) {
        if (!mayGoOn()) break;
        const bool many = rows.size() - i >= kRowsAStatement;
        std::vector<OdbcValue> params;
        for (size_t end = i + (many ? kRowsAStatement : 1); i < end; ++i) {
            std::vector<OdbcValue> row = plantRow(key_, rows[i].number, rows[i].text);
            params.insert(params.end(), std::make_move_iterator(row.begin()), std::make_move_iterator(row.end()));
        }
        if (!db_.executePrepared(many ? 1 : 0, params, error)) break;
    }
    if (i == rows.size() && !error.any() && mayGoOn() && db_.commit(error)) return Sent::ALL;
    db_.rollback();
    if (!error.any()) return Sent::FAILED; // stopped, or abandoned
    if (odbcRefusedAsDuplicate(error) || odbcRefusedForData(error)) {
        error = {};
        return sendOneByOne(rows, error);
    }
    return Sent::FAILED;
}

// Each row in a transaction of its own: one refused for its data is set aside (counted and
// named), one whose key holds a row already is compared with it.
PlantSender::Sent PlantSender::sendOneByOne(const std::vector<Row> &rows, OdbcError &error) {
    for (const Row &row : rows) {
        if (!mayGoOn()) return Sent::FAILED;
        OdbcError refused;
        if (db_.executePrepared(0, plantRow(key_, row.number, row.text), refused) && mayGoOn() &&
            db_.commit(refused)) {
            setAside_.erase(row.number);
            continue;
        }
        db_.rollback();
        if (!refused.any()) return Sent::FAILED;
        if (odbcRefusedAsDuplicate(refused)) {
            const Sent there = rowThere(row, error);
            if (there == Sent::ALL) continue;
            if (there == Sent::MISMATCH) return there;
            if (error.any()) return Sent::FAILED;
        } else if (!odbcRefusedForData(refused)) {
            error = refused;
            return Sent::FAILED;
        }
        setAside_.insert(row.number);
        setAsideWhy_ = connectionPasswordsHidden(errorText(refused), s_->connection);
    }
    return Sent::ALL;
}

// A row refused as a duplicate: ALL when the row there is this line, MISMATCH when it holds
// another, FAILED with error empty when there is none (the refusal was for its data).
PlantSender::Sent PlantSender::rowThere(const Row &row, OdbcError &error) {
    std::optional<std::u16string> stored;
    if (!db_.queryText("SELECT journal_line FROM " + s_->table + " WHERE station_key = ? AND line_no = ?",
                       {OdbcValue::ofText(key_, 64), OdbcValue::ofNumber((int64_t)row.number)}, stored, error))
        return Sent::FAILED;
    db_.rollback();
    if (!stored) return Sent::FAILED;
    if (*stored == odbcUtf16(plantStoredLine(row.text), PLANT_LINE_MAX)) return Sent::ALL;
    mismatch(row.number, key_, "line " + std::to_string(row.number) + " differs");
    return Sent::MISMATCH;
}

// Line `number` of the journal as the supervisor found it; false when the journal changed.
bool PlantSender::lineText(size_t number, std::string &text, bool &sendable, OdbcError &error) {
    unsigned long long start = 0, end = 0;
    // Another journal in its place: no fault of the database, the next sender reads it.
    const OdbcError unread = {"", "the journal " + s_->path + " cannot be read again at line " + std::to_string(number), ""};
    {
        std::lock_guard<std::mutex> lock(s_->mutex);
        if (s_->generation != generation_) return false;
        if (number == 0 || number > s_->lines()) return error = unread, false;
        sendable = s_->sendable(number);
        start = s_->endOf(number - 1);
        end = s_->endOf(number);
    }
    text.clear();
    if (!sendable) return true;
    unsigned long long size = 0;
    if (!fileReadPart(s_->path, start, (size_t)(end - start), text, size) || text.size() != end - start ||
        text.back() != '\n')
        return error = unread, false;
    text.pop_back();
    return true;
}

// Whether it may go on: not abandoned, the same journal, and no stop past its grace.
bool PlantSender::mayGoOn() {
    std::lock_guard<std::mutex> lock(s_->mutex);
    if (me_->abandoned || s_->generation != generation_) return false;
    // At a stop, what the journal holds yet is sent within the grace (the station's last units).
    return !s_->stopping || PlantClock::now() < s_->stopBy;
}

bool PlantSender::stopping() const {
    std::lock_guard<std::mutex> lock(s_->mutex);
    return s_->stopping && s_->readAtStop;
}

// Tells the supervisor where it stands; false when it has been abandoned meanwhile.
bool PlantSender::report(bool connected) {
    std::lock_guard<std::mutex> lock(s_->mutex);
    if (me_->abandoned || s_->generation != generation_) return false;
    s_->connected = connected;
    s_->horizon = horizon_;
    s_->missing = missing_.size() + missingMore_;
    s_->missingFirst = missing_.empty() ? 0 : *missing_.begin();
    if (s_->setAside != setAside_) s_->setAside = setAside_;
    s_->setAsideWhy = setAsideWhy_;
    s_->checkedTo = checkedTo_;
    s_->auditedTo = auditedTo_;
    if (connected) s_->message.clear();
    s_->wake.notify_all();
    return true;
}

void PlantSender::mismatch(size_t line, const std::string &key, const std::string &detail) {
    std::lock_guard<std::mutex> lock(s_->mutex);
    if (me_->abandoned) return;
    s_->mismatchLine = line;
    s_->mismatch = "this folder's journal is not the one the database holds for key " + key + " (" + detail +
                   "): a folder copied to another PC, or a journal replaced or edited? Nothing more is sent from "
                   "it; give the folder a key of its own (remove " + PLANT_KEY_FILE + ", or write a new one into it "
                   "where none is), or put the original journal back, then start again";
    s_->wake.notify_all();
}

// Rolls back and lets go of the connection, then tells the supervisor why (unless abandoned).
void PlantSender::end(const OdbcError &error) {
    db_.rollback();
    db_.disconnect();
    std::lock_guard<std::mutex> lock(s_->mutex);
    if (!me_->abandoned) {
        me_->why = error.any() ? connectionPasswordsHidden(errorText(error), s_->connection) : "";
        me_->answering = s_->connected && !error.any();
        s_->connected = false;
    }
    me_->ended = true;
    s_->wake.notify_all();
}
