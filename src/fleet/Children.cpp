#include "fleet/Children.h"

#include "platform/Process.h"

namespace {

// A child restores its port and writes its record within moments of its stop or of its
// output's end; a USB serial driver can hold a closing process a while longer. Past these it
// is killed, and past the last the parent goes on without it (still held, never waited for).
const auto kEndGrace = std::chrono::seconds(10);
const auto kReapGrace = std::chrono::seconds(5);

bool passed(std::chrono::steady_clock::time_point since, std::chrono::steady_clock::time_point now,
            std::chrono::seconds grace) {
    return since != std::chrono::steady_clock::time_point() && now - since > grace;
}

} // namespace

Children::~Children() {
    for (auto &[slot, child] : children) {
        processKill(child->process); // only reached when the parent itself fails
        int status = 0;
        if (processWait(child->process, 5000, status)) {
            if (child->reader.joinable()) child->reader.join();
            processRelease(child->process);
        } else if (child->reader.joinable()) {
            child->reader.detach(); // a process that even a kill does not end: the exit follows
        }
    }
    for (auto &child : lingering)
        if (child->reader.joinable()) child->reader.detach();
}

bool Children::start(size_t slot, const std::vector<std::string> &args, bool ownGroup, std::string &error) {
    ChildProcess *process = processStartSelf(args, ownGroup, error);
    if (process == nullptr) return false;
    auto child = std::make_unique<Child>();
    child->process = process;
    std::lock_guard<std::mutex> guard(lock); // the readers look the slot up (current)
    child->reader = std::thread(&Children::read, this, slot, process);
    children[slot] = std::move(child);
    return true;
}

void Children::read(size_t slot, ChildProcess *process) {
    std::string pending;
    char buffer[4096];
    int n;
    while ((n = processRead(process, buffer, sizeof buffer)) > 0) {
        pending.append(buffer, (size_t)n);
        if (pending.find('\n') == std::string::npos && pending.size() > 65536) pending += '\n'; // no endless line
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::lock_guard<std::mutex> guard(lock);
            if (current(slot, process)) queue.push_back({slot, pending.substr(0, end)});
            pending.erase(0, end + 1);
            arrived.notify_one();
        }
    }
    std::lock_guard<std::mutex> guard(lock);
    if (!current(slot, process)) return; // a child given up on: its slot is another's now
    if (!pending.empty()) queue.push_back({slot, pending});
    outputEnded.push_back(slot);
    arrived.notify_one();
}

bool Children::current(size_t slot, const ChildProcess *process) const {
    const auto at = children.find(slot);
    return at != children.end() && at->second->process == process;
}

bool Children::settle(Child &child, Time now, int &status) {
    if (child.outputEnded != Time() && processWait(child.process, 0, status)) {
        processRelease(child.process);
        return true;
    }
    if (child.killed == Time() && (passed(child.outputEnded, now, kEndGrace) || passed(child.stopAsked, now, kEndGrace))) {
        processKill(child.process);
        child.killed = now;
    }
    if (!passed(child.killed, now, kReapGrace)) return false;
    status = -1;
    return true;
}

void Children::poll(int ms, std::vector<Line> &lines, std::vector<Ended> &ended) {
    std::vector<size_t> finished;
    {
        std::unique_lock<std::mutex> guard(lock);
        arrived.wait_for(guard, std::chrono::milliseconds(ms), [&] { return !queue.empty() || !outputEnded.empty(); });
        lines.assign(queue.begin(), queue.end());
        queue.clear();
        finished.swap(outputEnded);
    }
    const Time now = std::chrono::steady_clock::now();
    for (size_t slot : finished) {
        const auto at = children.find(slot);
        if (at == children.end()) continue;
        at->second->reader.join();
        at->second->outputEnded = now;
    }
    for (auto at = children.begin(); at != children.end();) {
        int status = -1;
        if (!settle(*at->second, now, status)) {
            ++at;
            continue;
        }
        if (status < 0 && at->second->outputEnded == Time()) lingering.push_back(std::move(at->second));
        else if (status < 0) processRelease(at->second->process); // no longer waited for; its zombie stays
        ended.push_back({at->first, status});
        std::lock_guard<std::mutex> guard(lock);
        at = children.erase(at);
    }
}

void Children::stop(size_t slot) {
    const auto at = children.find(slot);
    if (at == children.end()) return;
    processStop(at->second->process);
    if (at->second->stopAsked == Time()) at->second->stopAsked = std::chrono::steady_clock::now();
}

bool Children::running(size_t slot) const { return children.count(slot) != 0; }
