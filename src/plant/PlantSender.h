#ifndef PLANTSENDER_H_
#define PLANTSENDER_H_

// The follower's two sides: the supervisor (the follower's own thread) reads the journal, counts
// its lines and keeps where each one ends; a sender (a thread of its own, one connection) sends
// them. The sender makes every call into the driver; the supervisor watches those calls and
// gives up on one that does not come back (a server stopped mid-call), so what the station shows
// is never computed by the thread that is stuck.

#include "plant/PlantOdbc.h"
#include "record/JournalLines.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

using PlantClock = std::chrono::steady_clock;

// One sender's ticket: the supervisor abandons it, and it tells when it ended.
struct PlantTicket {
    std::atomic<long long> callSince{0}; // a driver call under way since (steady ms), 0 when none
    bool abandoned = false;              // under PlantShared::mutex: it reports nothing more and begins no
                                         // commit (one under way may still complete: harmless, rows are proven by content)
    bool ended = false;                  // under the mutex
    std::string why;                     // under the mutex: why it ended ("" at a stop)
    bool answering = false;              // under the mutex: the database answered up to its end
};

// What the supervisor and the senders share: each field under `mutex`.
struct PlantShared {
    // Set before any thread starts.
    std::string dir, path, connection, table;
    bool ownStation = false;
    std::atomic<size_t> synced{0}; // the station's: its journal's lines on disk (only those are read)

    mutable std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    bool readAtStop = false;           // the journal read since the stop: its last lines counted
    PlantClock::time_point stopBy;

    // The supervisor's reading. ends[n]: the offset just past line n's end (ends[0] = 0), with
    // kNotSent set for a line that is no unit's (damaged): 8 bytes a line, any line found again.
    std::vector<unsigned long long> ends{0};
    unsigned long long generation = 0; // one more each time another journal stands in its place
    size_t settled = 0;                // the lines that may be sent (see the supervisor's settle)
    std::string key;                   // the station key, once known
    bool keyByContent = false;         // found by the journal's content (no key file, only read): the
                                       // journal may be a prefix of the key's rows (an earlier copy)

    // What the current sender found (written only while its ticket stands).
    bool connected = false;
    bool answered = false;       // a first connection was tried
    std::string setupProblem;    // ...and told of a driver or a connection string to install or fix
    size_t horizon = 0;          // every line up to this one is dealt with, but `missing`
    size_t missing = 0;          // lines below the horizon the table lacks (rows deleted), to send again
    size_t missingFirst = 0;     // the first of them
    std::set<size_t> setAside;   // lines the database refused for their data
    std::string setAsideWhy;     // its words for the last of them
    size_t checkedTo = 0;        // the table's rows were counted against the journal up to here
    size_t auditedTo = 0;        // ...and each of them compared with its line up to here, on this connection
    size_t mismatchLine = 0;     // the line where the table and the journal differ (0: none)
    std::string mismatch;        // what that means and what to do
    std::string message;         // the driver's last words, or why it cannot go on
    int abandonedRunning = 0;    // senders given up on whose call has not come back yet

    static constexpr unsigned long long kNotSent = 1ull << 63;
    size_t lines() const { return ends.size() - 1; }
    size_t sendable() const { return std::min(lines(), settled); }
    bool sendable(size_t n) const { return (ends[n] & kNotSent) == 0; }
    unsigned long long endOf(size_t n) const { return ends[n] & ~kNotSent; }
};

// Gives up on the ticket's sender, under the mutex: marked abandoned and counted as running,
// unless it ended meanwhile (its call came back after the deadline was read): false then, and
// it is to be joined as any sender that ended, or it would be counted stuck for ever.
bool plantTicketAbandon(PlantShared &shared, PlantTicket &ticket);

// One connection's work: the table checked, what it holds of this journal proven line for line
// where it counts, then every line sent on, until a stop, its abandonment, a mismatch or a
// failure (its words left in the ticket).
class PlantSender {
  public:
    PlantSender(std::shared_ptr<PlantShared> shared, std::shared_ptr<PlantTicket> ticket, unsigned long long generation);
    void run();

  private:
    struct Row {
        size_t number;
        std::string text; // the line as written
    };
    enum class Sent { ALL, FAILED, MISMATCH };

    std::shared_ptr<PlantShared> s_;
    std::shared_ptr<PlantTicket> me_;
    unsigned long long generation_;
    OdbcConnection db_;
    JournalReader reader_;
    std::string key_;
    size_t horizon_ = 0;
    std::set<size_t> missing_, setAside_; // missing_: the first kBatch lines missing, no more
    size_t missingMore_ = 0;    // lines missing past those, looked for again once those are sent
    std::string setAsideWhy_;
    size_t checkedTo_ = 0;
    size_t auditedTo_ = 0;      // the key's rows up to here compared with their lines, from 1 on each connection
    PlantClock::time_point checkedAt_;
    bool caughtUp_ = false;     // once since it connected: the table counted then

    bool connect(OdbcError &error);
    bool resolveKey(OdbcError &error);
    Sent verify(const std::string &key, bool report, bool prefix, OdbcError &error);
    Sent checkGaps(bool retrySetAside, OdbcError &error);
    Sent audit(OdbcError &error);
    bool nextBatch(std::vector<Row> &rows, size_t &last);
    Sent sendRows(const std::vector<Row> &rows, OdbcError &error);
    Sent sendOneByOne(const std::vector<Row> &rows, OdbcError &error);
    Sent rowThere(const Row &row, OdbcError &error);
    bool lineText(size_t number, std::string &text, bool &sendable, OdbcError &error);
    bool mayGoOn();
    bool stopping() const;
    bool report(bool connected);
    void mismatch(size_t line, const std::string &key, const std::string &detail);
    void end(const OdbcError &error);
};

#endif
