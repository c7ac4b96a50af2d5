#ifndef PLANTFOLLOWER_H_
#define PLANTFOLLOWER_H_

// Follows a station folder's journal into the plant's database, one row a line: the journal
// stays the truth and the database follows it, whatever fails. A row stands for a line only if
// it holds that line: on each connection the last row of this folder's key is compared with the
// journal's line of its number, a row already there is compared before it is taken as sent, the
// key's rows are counted against the journal to find those deleted, and every row is compared
// with its line (the audit: a batch at a time while there is nothing to send, from line 1 again
// on each connection; "every line there" waits for it). A difference (a folder
// copied with its key, a journal replaced or edited) stops the sending and says so. One row the
// database refuses for its data is set aside, named, and the rest go on. Every call into the
// driver has a deadline that the follower's own thread (never the one stuck) holds it to.
// Nothing it does waits the caller on the database.

#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <vector>

// How far the database is behind the journal, as the view, the state file and the page show it.
struct PlantStatus {
    bool up = false;          // a sender is connected, its calls come back within their deadline
    size_t lines = 0;         // journal lines so far (damaged ones included)
    size_t sent = 0;          // lines up to this one are in the database, damaged, or set aside, but `missing`
    size_t missing = 0;       // of those, rows found missing in the table (deleted), to be sent again
    size_t firstUnsent = 0;   // the first line the database lacks (0: none)
    size_t damaged = 0;       // damaged journal lines, skipped
    bool checked = false;     // the key's rows were counted against every line so far, and each compared with its line
    std::vector<size_t> setAside; // lines the database refused for their data (the first few)
    size_t setAsideCount = 0;
    std::string setAsideWhy;  // the database's words for the last of them
    size_t mismatchLine = 0;  // the line where the table and this journal differ (0: none)
    std::string mismatch;     // what that means and what to do ("" when none)
    std::string behindSince;  // when it fell behind (a time stamp), "" while it is not
    std::string message;      // the driver's last message, or why it cannot go on; "" when none
    std::string key;          // this folder's station key ("" until it is known)
    bool keyUnreadable = false; // its key file is there but holds no key: nothing is sent until it is mended
    size_t behind() const { return (lines > sent ? lines - sent : 0) + missing; }
    // Every line of the journal so far is in the database (damaged ones skipped), as counted there.
    bool allThere() const { return up && behind() == 0 && checked && setAsideCount == 0 && mismatch.empty(); }
};

class PlantFollower {
  public:
    // The folder's journal into table through the ODBC connection string. ownStation: the
    // follower runs in the station that writes the folder, and keeps the folder's key in it;
    // else it writes nothing into the folder.
    PlantFollower(std::string dir, std::string connection, std::string table, bool ownStation);
    ~PlantFollower();
    // Starts following and waits (at most 2 s) for the first connection's answer: "" when it
    // goes on (connected, or the server not answering yet), else what to install or fix (no
    // driver, or a connection string that the driver manager cannot read).
    std::string start();
    // Stops: the transaction under way gets at most 5 s; what is left is sent at the next start.
    // Returns within 7 s whatever the server does.
    void stop();
    // The station that writes the journal: its first `lines` are on disk. Only those are sent,
    // so no row stands for a line a power cut may still take from the journal.
    void journalSynced(size_t lines);
    PlantStatus status() const;
    // The status as the state file and the page have it.
    nlohmann::ordered_json statusJson() const;
    const std::string &dir() const;
    // The station's first lines: where its journal goes (the password hidden), without a line end.
    std::string heading() const;
    // The view's note while the database is behind or not answering, lines set aside, or the
    // journal not the one the database holds; "" while it follows.
    std::string note() const;
    // The closing lines (without line ends): what was not sent (how many lines, from which), set
    // aside, or why nothing more is sent; none when every line is there.
    std::vector<std::string> closing() const;

    struct Supervisor;

  private:
    std::shared_ptr<Supervisor> shared_;
};

struct Options;

// The follower of dir that --records-db asks for (null without it), started. A setup problem
// (no driver, a connection string the driver manager cannot read) is printed, with status set
// to the exit status of a wrong option, and null returned.
std::unique_ptr<PlantFollower> plantStart(const Options &options, const std::string &dir, bool ownStation, int &status);

#endif
