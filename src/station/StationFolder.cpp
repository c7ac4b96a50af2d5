#include "station/StationFolder.h"

#include "platform/Platform.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <vector>

namespace fs = std::filesystem;

namespace {

const size_t kAttemptFilesKept = 100;

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
    for (const std::string *file : {&port.log, &port.report}) {
        std::error_code moved;
        fs::rename(*file, attempts / fs::path(*file).filename(), moved);
        if (moved) std::remove(file->c_str());
    }
    std::vector<std::pair<fs::file_time_type, fs::path>> kept;
    for (const auto &entry : fs::directory_iterator(attempts, code)) kept.emplace_back(entry.last_write_time(code), entry.path());
    if (kept.size() <= kAttemptFilesKept) return;
    std::sort(kept.begin(), kept.end());
    for (size_t i = 0; i + kAttemptFilesKept < kept.size(); ++i) fs::remove(kept[i].second, code);
}
