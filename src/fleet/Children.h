#ifndef CHILDREN_H_
#define CHILDREN_H_

// The child runs of --parallel or of the station, each in a slot (a port), and what they
// write, line by line, for the parent's main thread. Threads here only carry the children's output.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ChildProcess;

class Children {
  public:
    struct Line {
        size_t slot;
        std::string text;
    };
    struct Ended {
        size_t slot;
        int status; // the child's exit status (a signal's end as 128 + its number)
    };

    ~Children();
    // Starts this program with args in `slot` (which must be free). ownGroup: the child takes
    // no console Ctrl-C or terminal signal of its own; only stop() reaches it. False with error.
    bool start(size_t slot, const std::vector<std::string> &args, bool ownGroup, std::string &error);
    // Waits up to ms for output: the lines that came, and the children that ended since (their
    // slots free again). Never blocks longer: a child that does not end within a grace time
    // after its output ended or its stop was asked is killed, and reported ended (status -1
    // when even the kill did not end it).
    void poll(int ms, std::vector<Line> &lines, std::vector<Ended> &ended);
    // Asks the child in slot to stop: it restores its port and writes its record.
    void stop(size_t slot);
    bool running(size_t slot) const;
    size_t count() const { return children.size(); }

  private:
    using Time = std::chrono::steady_clock::time_point;
    struct Child {
        ChildProcess *process = nullptr;
        std::thread reader;
        Time outputEnded{}, stopAsked{}, killed{}; // when each happened; unset when not yet
    };
    std::mutex lock;
    std::condition_variable arrived;
    std::deque<Line> queue;
    std::vector<size_t> outputEnded; // slots whose output ended, not yet reaped
    std::map<size_t, std::unique_ptr<Child>> children;
    std::vector<std::unique_ptr<Child>> lingering; // killed, never reaped: held until the end

    void read(size_t slot, ChildProcess *process);
    // The child in slot is still this process (under lock).
    bool current(size_t slot, const ChildProcess *process) const;
    // The child ended, was killed or is given up: true when its slot is free again.
    bool settle(Child &child, Time now, int &status);
};

#endif
