#include "station/StationFolder.h"

#include "platform/FileRead.h"
#include "platform/Platform.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <vector>

namespace fs = std::filesystem;

namespace {

const size_t kAttemptsKept = 100; // each its log and its report

// The attempt a file of attempts/ belongs to: its name without ".log" or ".report.json".
std::string attemptOf(const std::string &name) {
    for (const std::string end : {".report.json", ".log"})
        if (name.size() > end.size() && name.compare(name.size() - end.size(), end.size(), end) == 0)
            return name.substr(0, name.size() - end.size());
    return name;
}

// The newest attempts stay, each with its log and its report; the older ones go.
void pruneAttempts(const fs::path &attempts) {
    std::map<std::string, fs::file_time_type> newest; // by attempt: the time of its newest file
    fileListFolder(attempts.string(), [&](const std::string &name) {
        std::error_code code;
        fs::file_time_type &time = newest.try_emplace(attemptOf(name), fs::file_time_type::min()).first->second;
        time = std::max(time, fs::last_write_time(attempts / name, code));
    });
    std::vector<std::pair<fs::file_time_type, std::string>> byTime;
    for (const auto &[attempt, time] : newest) byTime.emplace_back(time, attempt);
    std::sort(byTime.begin(), byTime.end());
    for (size_t i = 0; i + kAttemptsKept < byTime.size(); ++i)
        for (const char *end : {".log", ".report.json"}) {
            std::error_code code;
            fs::remove(attempts / (byTime[i].second + end), code);
        }
}

} // namespace

std::string stationLockOf(const std::string &dir) { return dir + "/station.lock"; }

bool stationHoldFolder(const std::string &dir, const std::string &me, std::string &why) {
    if (platformStillHolding(stationLockOf(dir))) return true;
    std::error_code code;
    if (!fs::is_directory(dir, code)) {
        why = "the folder " + dir + " is gone";
        return false;
    }
    std::string holder;
    switch (platformHoldFile(stationLockOf(dir), me + "\n", holder)) {
    case HOLD_TAKEN: return true;
    case HOLD_BY_ANOTHER: why = "the folder " + dir + " was made again and is another station's now (" + holder + ")"; break;
    default: why = "the folder " + dir + " was made again and its lock cannot be held: " + holder;
    }
    return false;
}

void stationKeepAttempt(const std::string &dir, const StationPort &port) {
    const fs::path attempts = fs::path(dir) / "attempts";
    std::error_code code;
    fs::create_directory(attempts, code);
    // A name of its own: an attempt in the same second as an earlier one on the port replaces none.
    const std::string base = attemptOf(fs::path(port.log).filename().string());
    std::string name = base;
    for (int n = 2; fs::exists(attempts / (name + ".log"), code) || fs::exists(attempts / (name + ".report.json"), code); ++n)
        name = base + "-" + std::to_string(n);
    for (const auto &[file, end] : {std::pair{&port.log, ".log"}, {&port.report, ".report.json"}}) {
        std::error_code moved;
        fs::rename(*file, attempts / (name + end), moved);
        if (moved) std::remove(file->c_str());
    }
    pruneAttempts(attempts);
}
