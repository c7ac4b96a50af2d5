#ifndef PTYPEER_H_
#define PTYPEER_H_

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

// The far end of a pseudo-terminal for tests: collects what the program writes, and answers.
class PtyPeer {
  public:
    PtyPeer();
    ~PtyPeer();
    const std::string &slavePath() const { return path; }
    // Everything received so far.
    std::string received();
    // Waits up to timeoutMs until `count` bytes have been received.
    bool waitFor(size_t count, int timeoutMs);
    void send(const std::string &bytes);
    // The slave's settings, as the master reports them.
    unsigned baud() const;
    bool cts() const;
    // Closes the master: the program sees the line hang up.
    void hangUp();

  private:
    int master = -1;
    std::string path;
    std::string data;
    std::mutex lock;
    std::atomic<bool> stop{false};
    std::thread reader;
};

#endif
