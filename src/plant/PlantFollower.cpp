#include "plant/PlantFollower.h"

#include "base/Clock.h"
#include "base/ConnectionString.h"
#include "base/Console.h"
#include "base/StringOperations.h"
#include "plant/PlantOdbc.h"
#include "plant/PlantTable.h"
#include "platform/FileRead.h"
#include "platform/Platform.h"
#include "platform/SafeFile.h"
#include "product/Product.h"
#include "record/Outcome.h"
#include "run/Options.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <random>
#include <thread>

using json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

namespace {

const size_t kLineMax = 1u << 20;     // a journal line beyond this counts as damaged (as the page counts)
const size_t kBatch = 500;            // lines a transaction
const size_t kRowsAStatement = 100;   // rows of one INSERT: 1,800 parameters, within SQL Server's 2,100
// Read ahead of the database at most: a journal of a few weeks is queued whole (read again from
// its start each time the queue had no more room), whatever its lines' length.
const size_t kQueued = 100000, kQueuedBytes = 64u << 20;
const int kLoginSeconds = 5, kQuerySeconds = 5;
const auto kPoll = std::chrono::milliseconds(200); // the journal looked at: a line reaches the database within a second
const auto kFirstPause = std::chrono::seconds(1), kLongestPause = std::chrono::seconds(60);
const auto kStopGrace = std::chrono::seconds(5);  // the transaction under way at a stop
const auto kFirstAnswer = std::chrono::seconds(2);
const char *const kKeyFile = "records-db-key";

// The folder's station key: made once, kept in the folder, the same across restarts. Written
// whole under a name of its own, then linked into place: two followers starting at once on one
// folder both take the one that got there first.
bool stationKey(const std::string &dir, std::string &key, std::string &why) {
    const std::string path = dir + "/" + kKeyFile;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::string text;
        if (fileReadWhole(path, 256, text)) {
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
            if (!text.empty() && text.size() <= 64 && text.find_first_of("\r\n") == std::string::npos) {
                key = text;
                return true;
            }
            why = path + " does not hold a station key";
            return false;
        }
        std::error_code code;
        if (std::filesystem::exists(path, code)) {
            why = path + " cannot be read";
            return false;
        }
        std::string host = platformHostName().substr(0, 40);
        std::mt19937_64 random(std::random_device{}() ^ (uint64_t)Clock::now().time_since_epoch().count());
        char tail[20];
        std::snprintf(tail, sizeof tail, "%016llx", (unsigned long long)random());
        const std::string made = (host.empty() ? std::string("station") : host) + "-" + tail;
        const std::string temporary = path + "." + std::to_string(platformProcessId()) + ".new";
        std::string reason;
        if (!safeFileWrite(temporary.c_str(), made + "\n", reason)) {
            why = "cannot keep the station key in " + dir + ": " + reason;
            return false;
        }
        std::filesystem::create_hard_link(temporary, path, code); // fails when another got there first
        std::filesystem::remove(temporary, code);
    }
    why = "cannot keep the station key in " + dir;
    return false;
}

} // namespace

// What the station's thread and the follower's share; the follower's thread keeps it alive
// should it outlast its stop.
struct PlantFollower::Shared {
    std::string dir, connection, table;
    bool ownStation = false;

    mutable std::mutex mutex;
    std::condition_variable wake;
    PlantStatus status;
    bool answered = false;       // the first connection has been tried
    std::string setupProblem;    // what to install or fix (the first connection told)
    bool stopping = false, ended = false;
    Clock::time_point stopBy;
    std::thread thread;

    // The thread's own.
    OdbcConnection db;
    std::string key, host, carried;
    unsigned long long offset = 0; // where the journal's reading stopped
    size_t lines = 0, damaged = 0; // lines read so far, and those damaged
    std::string unfinished;
    bool rescan = false;           // read ahead to the limit: read again from the start next time
    size_t sent = 0;
    struct Line {
        size_t number;
        bool valid;
        std::string text;
    };
    std::deque<Line> queued;
    size_t queuedBytes = 0; // of the lines' text queued

    void run();
    bool connect(OdbcError &error);
    void readJournal(bool queue = true);
    bool sendBatch(OdbcError &error);
    bool sendOneByOne(size_t count, OdbcError &error);
    std::vector<OdbcValue> rowOf(const Line &line) const { return plantRow(key, line.number, line.text, host, carried); }
    void publish(bool up, const std::string &message);
    bool pause(Clock::duration how);
    bool stopNow() const;
    std::string masked(const std::string &text) const { return connectionPasswordsHidden(text, connection); }
};

void PlantFollower::Shared::publish(bool up, const std::string &message) {
    std::lock_guard<std::mutex> lock(mutex);
    status.up = up;
    if (!message.empty() || up) status.message = masked(message);
    status.lines = lines;
    status.sent = std::max(sent, status.sent);
    status.damaged = damaged;
    status.key = key;
    if (status.behind() == 0) status.behindSince.clear();
    else if (status.behindSince.empty()) status.behindSince = timeStamp(std::chrono::system_clock::now());
}

bool PlantFollower::Shared::stopNow() const {
    std::lock_guard<std::mutex> lock(mutex);
    return stopping && Clock::now() >= stopBy;
}

// Waits how long before the next attempt (or until a stop; then false), the journal's lines
// counted meanwhile: how far the database is behind is told while it does not answer.
bool PlantFollower::Shared::pause(Clock::duration how) {
    const Clock::time_point until = Clock::now() + how;
    for (;;) {
        readJournal(false);
        publish(false, "");
        std::unique_lock<std::mutex> lock(mutex);
        if (wake.wait_until(lock, std::min(until, Clock::now() + kPoll), [&] { return stopping; })) return false;
        if (Clock::now() >= until) return true;
    }
}

// Reads the journal's complete lines after the last read, queued from the first the database
// does not hold yet, numbered as the page numbers them (a damaged line keeps its number).
void PlantFollower::Shared::readJournal(bool queue) {
    const std::string path = dir + "/journal.jsonl";
    std::string none;
    unsigned long long size = 0;
    if (rescan || (fileReadPart(path, 0, 0, none, size) && size < offset)) { // read ahead, or another journal there
        offset = 0;
        lines = damaged = 0;
        unfinished.clear();
        rescan = false;
    }
    size_t from = queued.empty() ? sent : queued.back().number;
    fileReadPieces(path, offset, [&](std::string_view piece, unsigned long long zerosBefore) {
        offset += zerosBefore + piece.size();
        const auto keep = [&](std::string_view text) { unfinished.append(text.substr(0, kLineMax + 1 - unfinished.size())); };
        if (zerosBefore > 0) unfinished.resize(kLineMax + 1);
        for (size_t end; (end = piece.find('\n')) != std::string_view::npos; piece.remove_prefix(end + 1)) {
            keep(piece.substr(0, end));
            ++lines;
            bool valid = unfinished.size() <= kLineMax && jsonNesting(unfinished) <= JSON_NESTING_MAX;
            if (valid) {
                const json parsed = json::parse(unfinished, nullptr, false);
                valid = !parsed.is_discarded() && parsed.is_object();
            }
            damaged += !valid;
            if (queue && lines > from) {
                if (queued.size() < kQueued && queuedBytes < kQueuedBytes) {
                    queued.push_back({lines, valid, valid ? unfinished : std::string()});
                    queuedBytes += queued.back().text.size();
                }
                else rescan = true;
            }
            unfinished.clear();
        }
        keep(piece);
        return true;
    });
}

// Connects, makes the table when it is missing (one of another shape is left as it is), and
// learns where the database stands for this station.
bool PlantFollower::Shared::connect(OdbcError &error) {
    db.setQueryTimeout(kQuerySeconds);
    if (!db.connect(connection, kLoginSeconds, error)) return false;
    std::vector<OdbcColumn> columns;
    if (!db.describe("SELECT * FROM " + table + " WHERE 1 = 0", columns, error)) {
        db.rollback();
        if (!odbcNoSuchTable(error)) return false;
        if (!db.execute(plantCreateTable(table), {}, error) || !db.commit(error)) {
            db.rollback();
            // Another station may have made it meanwhile: it is looked at again.
            if (!db.describe("SELECT * FROM " + table + " WHERE 1 = 0", columns, error)) return false;
        } else if (!db.describe("SELECT * FROM " + table + " WHERE 1 = 0", columns, error)) return false;
    }
    db.rollback();
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
    if (db.uniqueOn(table, {"station_key", "line_no"}) == std::optional<bool>(false)) {
        error = {"", "the table " + table + " has another shape (no unique key on station_key, line_no): it is left as "
                     "it is; give --records-table another name, or make it as the README says", ""};
        return false;
    }
    std::optional<int64_t> max;
    if (!db.queryNumber("SELECT MAX(line_no) FROM " + table + " WHERE station_key = ?", {OdbcValue::ofText(key, 64)}, max,
                        error))
        return false;
    db.rollback();
    // One row a statement, and many: a round trip to the server for each row would cost most of the time.
    std::string row = "(?";
    for (size_t i = 1; i < std::size(PLANT_COLUMNS); ++i) row += ", ?";
    row += ")";
    std::string rows = row;
    for (size_t i = 1; i < kRowsAStatement; ++i) rows += ", " + row;
    const std::string insert = "INSERT INTO " + table + " (" + plantColumnList() + ") VALUES ";
    if (!db.prepare(0, insert + row, error) || !db.prepare(1, insert + rows, error)) return false;
    sent = max && *max > 0 ? (size_t)*max : 0;
    queued.clear();
    queuedBytes = 0;
    rescan = true; // the journal read again from its start, from where the database stands
    {
        std::lock_guard<std::mutex> lock(mutex);
        status.sent = sent;
    }
    return true;
}

// The next lines queued, in one transaction. A unique key's refusal: some are there already
// (sent before a crash let us know it was), so they go again one at a time.
bool PlantFollower::Shared::sendBatch(OdbcError &error) {
    const size_t count = std::min(kBatch, queued.size());
    std::vector<const Line *> lines;
    for (size_t i = 0; i < count; ++i)
        if (queued[i].valid && queued[i].text.size() <= PLANT_LINE_MAX) // damaged, or too long to store: counted, not sent
            lines.push_back(&queued[i]);
    size_t i = 0;
    while (i < lines.size() && !stopNow()) {
        const bool many = lines.size() - i >= kRowsAStatement;
        std::vector<OdbcValue> params;
        for (size_t end = i + (many ? kRowsAStatement : 1); i < end; ++i) {
            std::vector<OdbcValue> row = rowOf(*lines[i]);
            params.insert(params.end(), std::make_move_iterator(row.begin()), std::make_move_iterator(row.end()));
        }
        if (!db.executePrepared(many ? 1 : 0, params, error)) break;
    }
    if (i == lines.size() && !error.any() && db.commit(error)) {
        sent = queued[count - 1].number;
        for (size_t i = 0; i < count; ++i) queuedBytes -= queued[i].text.size();
        queued.erase(queued.begin(), queued.begin() + (long)count);
        return true;
    }
    db.rollback();
    if (!stopNow() && odbcRefusedAsDuplicate(error)) return sendOneByOne(count, error);
    if (!error.any()) error = {"", "stopped: the transaction under way did not end within 5 s", ""};
    return false;
}

bool PlantFollower::Shared::sendOneByOne(size_t count, OdbcError &error) {
    for (size_t i = 0; i < count; ++i) {
        const Line line = queued.front();
        if (line.valid && line.text.size() <= PLANT_LINE_MAX) {
            if (stopNow()) return false;
            if (!db.executePrepared(0, rowOf(line), error) || !db.commit(error)) {
                db.rollback();
                if (!odbcRefusedAsDuplicate(error)) return false;
                std::optional<int64_t> there;
                OdbcError asked;
                if (!db.queryNumber("SELECT COUNT(*) FROM " + table + " WHERE station_key = ? AND line_no = ?",
                                    {OdbcValue::ofText(key, 64), OdbcValue::ofNumber((int64_t)line.number)}, there, asked))
                    return error = asked, false;
                db.rollback();
                if (!there || *there == 0) return false; // refused for another reason: not skipped
            }
        }
        sent = line.number;
        queuedBytes -= queued.front().text.size();
        queued.pop_front();
    }
    return true;
}

void PlantFollower::Shared::run() {
    Clock::duration wait = kFirstPause;
    bool first = true;
    std::string why;
    if (!stationKey(dir, key, why)) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            answered = true;
        }
        wake.notify_all();
    }
    for (;;) {
        if (key.empty() && !stationKey(dir, key, why)) {
            readJournal(false);
            publish(false, why);
            if (!pause(wait)) break;
            wait = std::min<Clock::duration>(wait * 2, kLongestPause);
            continue;
        }
        if (!db.connected()) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (stopping) break;
            }
            OdbcError error;
            if (!ownStation || host.empty()) {
                std::string text;
                if (fileReadWhole(dir + "/station-state.json", 8u << 20, text)) {
                    const json state = json::parse(text, nullptr, false);
                    if (state.is_object() && state.contains("station") && state["station"].is_object()) {
                        host = plantTextAt(state["station"], "host").value_or(host);
                        if (state["station"].contains("firmware") && state["station"]["firmware"].is_object())
                            carried = plantTextAt(state["station"]["firmware"], "version").value_or(carried);
                    }
                }
            }
            const bool connected = connect(error);
            if (first) {
                first = false;
                std::lock_guard<std::mutex> lock(mutex);
                answered = true;
                if (!connected && odbcSetupProblem(error)) setupProblem = masked(error.message);
                wake.notify_all();
            }
            if (!connected) {
                db.disconnect();
                readJournal(false);
                publish(false, (error.state.empty() ? "" : error.state + ": ") + error.message);
                if (!pause(wait)) break;
                wait = std::min<Clock::duration>(wait * 2, kLongestPause);
                continue;
            }
            wait = kFirstPause;
        }
        readJournal();
        if (lines < sent) { // the rows came from a longer journal: this one's lines would be taken for them
            db.disconnect();
            publish(false, "the journal holds " + std::to_string(lines) + (lines == 1 ? " line" : " lines") + " and the database " +
                               std::to_string(sent) + " of this station (" + key + "): a journal moved away without its "
                               "folder? Move the whole folder away, or remove " + kKeyFile + " to start a new key");
            if (!pause(wait)) break;
            wait = std::min<Clock::duration>(wait * 2, kLongestPause);
            continue;
        }
        publish(true, "");
        if (queued.empty()) {
            std::unique_lock<std::mutex> lock(mutex);
            if (stopping) break;
            wake.wait_for(lock, kPoll, [&] { return stopping; });
            continue;
        }
        OdbcError error;
        if (!sendBatch(error)) {
            db.disconnect();
            publish(false, (error.state.empty() ? "" : error.state + ": ") + error.message);
            if (stopNow() || !pause(wait)) break;
            wait = std::min<Clock::duration>(wait * 2, kLongestPause);
            continue;
        }
        publish(true, "");
        if (stopNow()) break;
    }
    db.disconnect();
    readJournal(false); // the last lines the station wrote, counted as behind
    bool up = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        up = status.up;
    }
    publish(up, "");
    std::lock_guard<std::mutex> lock(mutex);
    ended = true;
    wake.notify_all();
}

PlantFollower::PlantFollower(std::string dir, std::string connection, std::string table, bool ownStation)
    : shared_(std::make_shared<Shared>()) {
    shared_->dir = std::move(dir);
    shared_->connection = std::move(connection);
    shared_->table = std::move(table);
    shared_->ownStation = ownStation;
    if (ownStation) {
        shared_->host = platformHostName();
        shared_->carried = FIRMWARE_VERSION_TO_UPLOAD;
    }
}

PlantFollower::~PlantFollower() { stop(); }

const std::string &PlantFollower::dir() const { return shared_->dir; }

std::string PlantFollower::start() {
    std::shared_ptr<Shared> shared = shared_;
    std::unique_lock<std::mutex> lock(shared->mutex);
    if (shared->thread.joinable() || shared->ended) return "";
    shared->thread = std::thread([shared] { shared->run(); });
    shared->wake.wait_for(lock, kFirstAnswer, [&] { return shared->answered; });
    return shared->setupProblem;
}

void PlantFollower::stop() {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    if (!shared_->thread.joinable()) return;
    if (!shared_->stopping) {
        shared_->stopping = true;
        shared_->stopBy = Clock::now() + kStopGrace;
    }
    shared_->wake.notify_all();
    // A statement the driver does not end by its time-out is left to the end of the process.
    const bool ended = shared_->wake.wait_until(lock, shared_->stopBy + std::chrono::seconds(1), [&] { return shared_->ended; });
    std::thread thread = std::move(shared_->thread);
    lock.unlock();
    if (ended) thread.join();
    else thread.detach();
}

PlantStatus PlantFollower::status() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->status;
}

json PlantFollower::statusJson() const {
    const PlantStatus s = status();
    return json{{"connection", connectionMasked(shared_->connection)},
                {"table", shared_->table},
                {"station_key", s.key.empty() ? json(nullptr) : json(s.key)},
                {"up", s.up},
                {"behind_lines", s.behind()},
                {"behind_since", s.behindSince.empty() ? json(nullptr) : json(s.behindSince)},
                {"sent_lines", s.sent},
                {"damaged_lines", s.damaged},
                {"message", s.message}};
}

std::string PlantFollower::heading() const {
    return "Plant database: each journal line into " + shared_->table + " at " +
           consoleSafeName(connectionMasked(shared_->connection)) + "\r\n";
}

std::string PlantFollower::note() const {
    const PlantStatus s = status();
    if (s.behind() == 0 && (s.up || s.message.empty())) return "";
    std::string text = "Plant database: " + std::to_string(s.behind()) + (s.behind() == 1 ? " line" : " lines") + " behind";
    if (!s.behindSince.empty()) text += " since " + s.behindSince.substr(11, 8);
    if (!s.message.empty()) text += " (" + s.message + ")";
    return text + ".";
}

std::unique_ptr<PlantFollower> plantStart(const Options &options, const std::string &dir, bool ownStation, int &status) {
    if (options.recordsDb.empty()) return nullptr;
    auto follower = std::make_unique<PlantFollower>(dir, options.recordsDb, options.recordsTable, ownStation);
    const std::string problem = follower->start();
    if (problem.empty()) return follower;
    follower->stop();
    consolePrintf("ERROR: the plant's database cannot be reached through ODBC as --records-db says (%s): install "
                  "the database's ODBC driver (on Debian: odbc-postgresql for PostgreSQL), or fix the connection "
                  "string (Driver={PostgreSQL Unicode};Server=...;Port=...;Database=...;Uid=...;Pwd=..., or DSN=...).\r\n",
                  consoleSafeName(problem).c_str());
    status = EXIT_USAGE;
    return nullptr;
}
