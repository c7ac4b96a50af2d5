#include "plant/PlantFollower.h"

#include "base/Clock.h"
#include "base/ConnectionString.h"
#include "base/Console.h"
#include "plant/PlantKey.h"
#include "plant/PlantSender.h"
#include "plant/PlantTable.h"
#include "record/Outcome.h"
#include "run/Options.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <thread>

using json = nlohmann::ordered_json;

namespace {

const auto kPoll = std::chrono::milliseconds(200); // the journal looked at: a line reaches the database within a second
const auto kFirstPause = std::chrono::seconds(1), kLongestPause = std::chrono::seconds(60);
// A line the station did not write itself is sent once it has stood this long: its writer's
// sync is done by then.
const auto kSettle = std::chrono::seconds(2);
const auto kStopGrace = std::chrono::seconds(5);  // the transaction under way at a stop
const auto kFirstAnswer = std::chrono::seconds(2);
// A call into the driver that has not come back after this is given up on (the statement's own
// time-out, 5 s, is the server's: a stopped server never applies it).
const long long kCallDeadlineMs = 15000;
const int kAbandonedMax = 3;   // senders left stuck at once: no new one past this until one comes back
const size_t kSetAsideShown = 5;

long long steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(PlantClock::now().time_since_epoch()).count();
}

std::string linesText(size_t n) { return std::to_string(n) + (n == 1 ? " line" : " lines"); }

std::string numbersText(const std::vector<size_t> &numbers, size_t count) {
    std::string text;
    for (size_t n : numbers) text += (text.empty() ? "" : ", ") + std::to_string(n);
    return count > numbers.size() ? text + ", ..." : text;
}

} // namespace

// The follower's own thread: it reads the journal, starts a sender and watches its calls, and
// computes the status. It never calls the driver, so it is never the one stuck.
struct PlantFollower::Supervisor {
    std::shared_ptr<PlantShared> s = std::make_shared<PlantShared>();
    std::thread thread;
    // Under s->mutex.
    PlantStatus status;
    bool ended = false;
    // The thread's own.
    JournalReader reader{""};
    size_t damaged = 0;
    std::shared_ptr<PlantTicket> ticket;
    std::thread sender;
    PlantClock::time_point nextTry;
    PlantClock::duration wait = kFirstPause;
    std::string keyProblem;
    bool answeredLast = false; // the last sender ended with the database answering (a clean stop stays up)

    void run();
    void makeKey();
    void readJournal();
    void readOn();
    void startOver();
    void watch();
    void startSender();
    void reap();
    void giveUp(const std::string &why);
    void publish();
    void settle();
    std::deque<std::pair<PlantClock::time_point, size_t>> seen; // the journal's line count as it grew
    size_t aged = 0; // lines that have stood in the journal kSettle at least
};

void PlantFollower::Supervisor::run() {
    std::string key;
    if (plantKeyRead(s->dir, key, keyProblem)) {
        std::lock_guard<std::mutex> lock(s->mutex);
        s->key = key;
    }
    if (!keyProblem.empty()) {
        std::lock_guard<std::mutex> lock(s->mutex);
        s->answered = true;
        s->message = keyProblem;
    }
    readJournal();
    makeKey();
    for (;;) {
        watch();
        publish();
        std::unique_lock<std::mutex> lock(s->mutex);
        if (s->stopping) break;
        s->wake.wait_for(lock, kPoll, [&] { return s->stopping; });
        lock.unlock();
        readJournal();
    }
    // The sender sends what the journal holds yet, within the stop's grace.
    readJournal();
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        s->readAtStop = true;
        s->wake.notify_all();
    }
    for (;;) {
        watch();
        std::unique_lock<std::mutex> lock(s->mutex);
        if (!ticket || PlantClock::now() >= s->stopBy) break;
        s->wake.wait_for(lock, kPoll);
    }
    if (ticket) giveUp("stopped: the transaction under way did not end within 5 s");
    readJournal(); // the last lines the station wrote, counted as behind
    publish();
    std::lock_guard<std::mutex> lock(s->mutex);
    ended = true;
    s->wake.notify_all();
}

// A station's folder without a key and without a unit's line yet: its key made at once (there is
// nothing to find it by), as the folder's first file beside the journal.
void PlantFollower::Supervisor::makeKey() {
    std::lock_guard<std::mutex> lock(s->mutex);
    if (!s->ownStation || !s->key.empty() || !keyProblem.empty()) return;
    for (size_t n = 1; n <= s->lines(); ++n)
        if (s->sendable(n)) return;
    std::string key = plantKeyMade();
    if (plantKeyKeep(s->dir, key, keyProblem)) s->key = key;
    else s->message = keyProblem;
}

// The journal's lines since the last look, each one's end kept; another journal in its place
// (rotated, replaced, edited) is read from its start, and the sender starts again on it.
void PlantFollower::Supervisor::readJournal() {
    readOn();
    if (!reader.replaced()) return;
    startOver();
    readOn();
}

void PlantFollower::Supervisor::readOn() {
    std::vector<unsigned long long> found;
    const auto keep = [&] {
        std::lock_guard<std::mutex> lock(s->mutex);
        s->ends.insert(s->ends.end(), found.begin(), found.end());
        found.clear();
        s->wake.notify_all();
    };
    reader.readOn([&](const JournalLine &line) {
        const bool unit = journalLineIsUnit(line);
        damaged += !unit;
        found.push_back(line.end | (unit ? 0 : PlantShared::kNotSent));
        if (found.size() >= 65536) keep();
        return true;
    });
    if (!found.empty()) keep();
    settle();
}

// The lines the sender may send. In the station's own journal: those it said are on disk, and a
// line another hand wrote once it has stood there kSettle (a power cut takes no row's line away).
void PlantFollower::Supervisor::settle() {
    const auto now = PlantClock::now();
    const size_t lines = reader.lines();
    if (seen.empty() || seen.back().second != lines) seen.push_back({now, lines});
    for (; !seen.empty() && now - seen.front().first >= kSettle; seen.pop_front()) aged = seen.front().second;
    std::lock_guard<std::mutex> lock(s->mutex);
    s->settled = s->ownStation ? std::max(s->synced.load(), aged) : SIZE_MAX;
    s->wake.notify_all();
}

// Another journal where this one was read: every line counted again from its start, and the
// sender's work on the old one void.
void PlantFollower::Supervisor::startOver() {
    reader.seek(0, 0);
    seen.clear();
    aged = 0;
    damaged = 0;
    std::lock_guard<std::mutex> lock(s->mutex);
    s->ends.assign(1, 0);
    ++s->generation;
    s->horizon = s->missing = s->missingFirst = s->checkedTo = s->auditedTo = 0;
    s->setAside.clear();
    s->wake.notify_all();
}

// The sender's calls held to their deadline; a sender that ended is followed by another, after
// a pause that doubles while the database fails.
void PlantFollower::Supervisor::watch() {
    const auto now = PlantClock::now();
    if (ticket) {
        bool over = false;
        {
            std::lock_guard<std::mutex> lock(s->mutex);
            over = ticket->ended;
            if (s->connected) wait = kFirstPause;
        }
        if (over) {
            reap();
        } else {
            const long long since = ticket->callSince.load();
            if (since != 0 && steadyMs() - since > kCallDeadlineMs)
                giveUp("no answer from the database for " + std::to_string(kCallDeadlineMs / 1000) +
                       " s (a server stopped, or a link dropped mid-call): tried again with a new connection");
        }
    }
    std::lock_guard<std::mutex> lock(s->mutex);
    if (ticket || s->stopping || !s->mismatch.empty() || now < nextTry || s->abandonedRunning >= kAbandonedMax) return;
    if (!keyProblem.empty()) { // a key file that cannot be read: looked at again now and then
        std::string key;
        if (!plantKeyRead(s->dir, key, keyProblem) && !keyProblem.empty()) {
            s->message = keyProblem;
            nextTry = now + kLongestPause;
            return;
        }
        if (keyProblem.empty() && !key.empty()) s->key = key;
    }
    ticket = std::make_shared<PlantTicket>();
    sender = std::thread([s = s, ticket = ticket, generation = s->generation] {
        {
            PlantSender sending(s, ticket, generation);
            sending.run();
        }
        std::lock_guard<std::mutex> lock(s->mutex);
        if (ticket->abandoned) --s->abandonedRunning;
    });
}

// The sender that ended joined: why it ended is the message, and the next one comes after the pause.
void PlantFollower::Supervisor::reap() {
    sender.join();
    std::string why;
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        why = ticket->why;
        answeredLast = ticket->answering;
        if (!why.empty()) s->message = why;
    }
    ticket.reset();
    nextTry = PlantClock::now() + (why.empty() ? kPoll : wait);
    if (!why.empty()) wait = std::min<PlantClock::duration>(wait * 2, kLongestPause);
}

// The sender given up on: its connection left to it (it rolls back and ends when its call comes
// back; a commit already under way may still complete, harmless: rows are proven by content),
// the database marked down, and a new one after the pause. One that ended meanwhile is joined.
void PlantFollower::Supervisor::giveUp(const std::string &why) {
    if (!plantTicketAbandon(*s, *ticket)) return reap();
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        answeredLast = false;
        s->message = why;
    }
    sender.detach();
    ticket.reset();
    nextTry = PlantClock::now() + wait;
    wait = std::min<PlantClock::duration>(wait * 2, kLongestPause);
}

void PlantFollower::Supervisor::publish() {
    std::lock_guard<std::mutex> lock(s->mutex);
    PlantStatus &t = status;
    t.lines = s->lines();
    t.damaged = damaged;
    t.up = ticket ? s->connected : answeredLast;
    t.sent = std::min(s->horizon, t.lines);
    t.missing = s->missing;
    t.firstUnsent = s->missing > 0 ? s->missingFirst : t.sent < t.lines ? t.sent + 1 : 0;
    t.checked = s->checkedTo >= t.lines && s->horizon >= t.lines && s->auditedTo >= t.lines;
    t.setAsideCount = s->setAside.size();
    t.setAside.assign(s->setAside.begin(), std::next(s->setAside.begin(), (long)std::min(kSetAsideShown, s->setAside.size())));
    t.setAsideWhy = s->setAsideWhy;
    t.mismatchLine = s->mismatchLine;
    t.mismatch = s->mismatch;
    t.message = s->message;
    t.key = s->key;
    t.keyUnreadable = !keyProblem.empty();
    if (t.behind() == 0) t.behindSince.clear();
    else if (t.behindSince.empty()) t.behindSince = timeStamp(std::chrono::system_clock::now());
}

PlantFollower::PlantFollower(std::string dir, std::string connection, std::string table, bool ownStation)
    : shared_(std::make_shared<Supervisor>()) {
    PlantShared &s = *shared_->s;
    s.dir = std::move(dir);
    s.path = s.dir + "/journal.jsonl";
    s.connection = std::move(connection);
    s.table = std::move(table);
    s.ownStation = ownStation;
    shared_->reader = JournalReader(s.path);
}

PlantFollower::~PlantFollower() { stop(); }

const std::string &PlantFollower::dir() const { return shared_->s->dir; }

std::string PlantFollower::start() {
    std::shared_ptr<Supervisor> shared = shared_;
    std::unique_lock<std::mutex> lock(shared->s->mutex);
    if (shared->thread.joinable() || shared->ended) return "";
    shared->thread = std::thread([shared] { shared->run(); });
    shared->s->wake.wait_for(lock, kFirstAnswer, [&] { return shared->s->answered; });
    return shared->s->setupProblem;
}

void PlantFollower::stop() {
    std::unique_lock<std::mutex> lock(shared_->s->mutex);
    if (!shared_->thread.joinable()) return;
    if (!shared_->s->stopping) {
        shared_->s->stopping = true;
        shared_->s->stopBy = PlantClock::now() + kStopGrace;
    }
    shared_->s->wake.notify_all();
    // The supervisor never waits on the driver: it ends within the grace and a poll.
    shared_->s->wake.wait(lock, [&] { return shared_->ended; });
    std::thread thread = std::move(shared_->thread);
    lock.unlock();
    thread.join();
}

void PlantFollower::journalSynced(size_t lines) { shared_->s->synced = lines; }

PlantStatus PlantFollower::status() const {
    std::lock_guard<std::mutex> lock(shared_->s->mutex);
    return shared_->status;
}

json PlantFollower::statusJson() const {
    const PlantStatus s = status();
    const auto orNull = [](const std::string &text) { return text.empty() ? json(nullptr) : json(text); };
    return json{{"connection", connectionMasked(shared_->s->connection)},
                {"table", shared_->s->table},
                {"station_key", orNull(s.key)},
                {"up", s.up},
                {"behind_lines", s.behind()},
                {"behind_since", orNull(s.behindSince)},
                {"behind_from", s.firstUnsent == 0 ? json(nullptr) : json(s.firstUnsent)},
                {"sent_lines", s.sent},
                {"damaged_lines", s.damaged},
                {"set_aside_lines", s.setAsideCount},
                {"set_aside", s.setAside},
                {"set_aside_why", orNull(s.setAsideWhy)},
                {"mismatch", s.mismatch.empty() ? json(nullptr)
                                                : json{{"line", s.mismatchLine}, {"message", s.mismatch}}},
                {"message", s.message}};
}

std::string PlantFollower::heading() const {
    return "Plant database: each journal line into " + shared_->s->table + " at " +
           consoleSafeName(connectionMasked(shared_->s->connection));
}

std::string PlantFollower::note() const {
    const PlantStatus s = status();
    std::vector<std::string> parts = closing();
    // Behind: the count, since when and why, as the closing line would not say it yet.
    if (s.behind() > 0) parts.pop_back();
    if (s.behind() > 0 || (!s.up && !s.message.empty())) {
        std::string behind = "Plant database: " + std::to_string(s.behind()) + (s.behind() == 1 ? " line" : " lines") +
                             " behind";
        if (!s.behindSince.empty()) behind += " since " + s.behindSince.substr(11, 8);
        if (!s.message.empty()) behind += " (" + s.message + ")";
        parts.push_back(behind + ".");
    }
    std::string text;
    for (const std::string &part : parts) text.append(text.empty() ? "" : " ").append(part);
    return text;
}

std::vector<std::string> PlantFollower::closing() const {
    const PlantStatus s = status();
    std::vector<std::string> lines;
    if (!s.mismatch.empty()) lines.push_back("Plant database: " + s.mismatch + ".");
    if (s.setAsideCount > 0)
        lines.push_back("Plant database: " + linesText(s.setAsideCount) + " set aside, refused by the database (" +
                        numbersText(s.setAside, s.setAsideCount) + ": " + s.setAsideWhy +
                        "): widen its column or give the database an encoding that holds them (UTF8); they are "
                        "tried again at each start.");
    if (s.behind() > 0)
        lines.push_back("Plant database: " + linesText(s.behind()) + " of the journal not sent, from line " +
                        std::to_string(s.firstUnsent) + (s.message.empty() ? "" : " (" + s.message + ")") +
                        (s.mismatch.empty() ? "; they are sent at the next start on this folder." : "."));
    return lines;
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
