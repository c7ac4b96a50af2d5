#ifndef PLANTFOLLOWER_H_
#define PLANTFOLLOWER_H_

// Follows a station folder's journal into the plant's database, one row a line, on a thread of
// its own: the journal stays the truth and the database follows it, whatever fails. On each
// connection it asks the database for the highest line it holds for this folder's station key
// and sends every line after it, in order, in transactions; a line that is already there (a
// unique key's refusal) is not sent twice. Nothing it does waits the caller on the database.

#include <nlohmann/json.hpp>

#include <memory>
#include <string>

// How far the database is behind the journal, as the view, the state file and the page show it.
struct PlantStatus {
    bool up = false;          // the database answered the last attempt and took what was sent
    size_t lines = 0;         // journal lines so far (damaged ones included)
    size_t sent = 0;          // lines up to this one are in the database (or skipped as damaged)
    size_t damaged = 0;       // damaged journal lines, skipped
    std::string behindSince;  // when it fell behind (a time stamp), "" while it is not
    std::string message;      // the driver's last message, or why it cannot go on; "" when none
    std::string key;          // this folder's station key ("" until it is known)
    size_t behind() const { return lines > sent ? lines - sent : 0; }
};

class PlantFollower {
  public:
    // The folder's journal into table through the ODBC connection string. ownStation: the
    // follower runs in the station that writes the folder (its host and carried firmware are
    // this program's), else they are read from the folder's state file.
    PlantFollower(std::string dir, std::string connection, std::string table, bool ownStation);
    ~PlantFollower();
    // Starts following and waits (at most 2 s) for the first connection's answer: "" when it
    // goes on (connected, or the server not answering yet), else what to install or fix (no
    // driver, or a connection string that the driver manager cannot read).
    std::string start();
    // Stops: the transaction under way gets at most 5 s; what is left is sent at the next start.
    void stop();
    PlantStatus status() const;
    // The status as the state file and the page have it.
    nlohmann::ordered_json statusJson() const;
    const std::string &dir() const;
    // The station's first lines: where its journal goes (the password hidden).
    std::string heading() const;
    // The view's note while the database is behind or not answering; "" while it follows.
    std::string note() const;

    struct Shared;

  private:
    std::shared_ptr<Shared> shared_;
};

struct Options;

// The follower of dir that --records-db asks for (null without it), started. A setup problem
// (no driver, a connection string the driver manager cannot read) is printed, with status set
// to the exit status of a wrong option, and null returned.
std::unique_ptr<PlantFollower> plantStart(const Options &options, const std::string &dir, bool ownStation, int &status);

#endif
