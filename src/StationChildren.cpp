#include "StationChildren.h"

#include "platform/Process.h"

StationChildren::~StationChildren() {
    for (auto &[slot, child] : children) {
        processKill(child->process); // only reached when the station itself fails
        if (child->reader.joinable()) child->reader.join();
        int status = 0;
        processWait(child->process, 5000, status);
        processRelease(child->process);
    }
}

bool StationChildren::start(size_t slot, const std::vector<std::string> &args, bool ownGroup, std::string &error) {
    ChildProcess *process = processStartSelf(args, ownGroup, error);
    if (process == nullptr) return false;
    auto child = std::make_unique<Child>();
    child->process = process;
    child->reader = std::thread(&StationChildren::read, this, slot, process);
    children[slot] = std::move(child);
    return true;
}

void StationChildren::read(size_t slot, ChildProcess *process) {
    std::string pending;
    char buffer[4096];
    int n;
    while ((n = processRead(process, buffer, sizeof buffer)) > 0) {
        pending.append(buffer, (size_t)n);
        if (pending.find('\n') == std::string::npos && pending.size() > 65536) pending += '\n'; // no endless line
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::lock_guard<std::mutex> guard(lock);
            queue.push_back({slot, pending.substr(0, end)});
            pending.erase(0, end + 1);
            arrived.notify_one();
        }
    }
    std::lock_guard<std::mutex> guard(lock);
    if (!pending.empty()) queue.push_back({slot, pending});
    outputEnded.push_back(slot);
    arrived.notify_one();
}

void StationChildren::poll(int ms, std::vector<Line> &lines, std::vector<Ended> &ended) {
    std::vector<size_t> finished;
    {
        std::unique_lock<std::mutex> guard(lock);
        arrived.wait_for(guard, std::chrono::milliseconds(ms), [&] { return !queue.empty() || !outputEnded.empty(); });
        lines.assign(queue.begin(), queue.end());
        queue.clear();
        finished.swap(outputEnded);
    }
    for (size_t slot : finished) {
        const auto at = children.find(slot);
        if (at == children.end()) continue;
        Child &child = *at->second;
        child.reader.join();
        int status = -1;
        if (!processWait(child.process, 10000, status)) { // its output ended: it is ending
            processKill(child.process);
            processWait(child.process, 5000, status);
        }
        processRelease(child.process);
        children.erase(at);
        ended.push_back({slot, status});
    }
}

void StationChildren::stop(size_t slot) {
    const auto at = children.find(slot);
    if (at != children.end()) processStop(at->second->process);
}

bool StationChildren::running(size_t slot) const { return children.count(slot) != 0; }
