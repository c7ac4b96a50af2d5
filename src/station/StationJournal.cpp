#include "station/StationJournal.h"

#include "base/Clock.h"
#include "platform/FileRead.h"
#include "platform/Platform.h"
#include "product/Product.h"
#include "record/JournalLines.h"

#include <nlohmann/json.hpp>

#include <filesystem>

using json = nlohmann::ordered_json;

namespace {

// Below this the next unit's log, report and journal line may not fit: no new unit is taken.
const std::uintmax_t kLeastFreeBytes = 1u << 20;

// Whether the file's byte before `end` ends a line (or there is none): a journal cut or edited by
// hand, or a write not undone, may have left any byte there.
bool endsALine(const std::string &path, long long end) {
    std::string last;
    unsigned long long size = 0;
    return end <= 0 || (fileReadPart(path, (unsigned long long)end - 1, 1, last, size) && last == "\n");
}

} // namespace

StationJournal::~StationJournal() {
    if (file != nullptr) std::fclose(file);
}

std::string StationJournal::open(const std::string &folder) {
    dir = folder;
    path = dir + "/journal.jsonl";
    std::error_code code;
    const bool existed = std::filesystem::exists(path, code);
    std::string reason;
    if ((file = platformOpenToAppend(path.c_str(), reason)) == nullptr) return "cannot use " + path + ": " + reason;
    setvbuf(file, nullptr, _IONBF, 0); // what a failed write left is on the file, to be undone
    // Counted, and a cut last line (a power cut) ended as it is, so that the runs it names are
    // not taken again; should that fail, the next line still begins on a line of its own.
    left = -1;
    write("");
    return existed ? "" : platformSyncFolder(dir);
}

std::string StationJournal::write(const std::string &line) {
    std::fseek(file, 0, SEEK_END);
    const long long before = std::ftell(file);
    // Whatever the file's end holds now (cut or edited by hand, a write not undone), the line
    // begins on a line of its own, and the lines are counted again when the file is not as this
    // station left it: the count is the line number the page and the plant give the unit.
    const bool cut = !endsALine(path, before);
    if (before != left || cut) count = journalLineCount(path);
    const std::string text = (cut ? "\n" : "") + line + (line.empty() ? "" : "\n"); // "": a cut line ended alone
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    std::string reason = written ? platformSyncFile(file) : std::string("cannot write it");
    if (reason.empty()) {
        count += !line.empty();
        left = before + (long long)text.size();
        return "";
    }
    std::clearerr(file);
    // Undone, so the journal stays one whole object a line; if even that fails, the next write
    // finds the piece and counts it as a damaged line of its own.
    if (before >= 0 && platformTruncateFile(file, before).empty()) left = before;
    else left = -1;
    return reason;
}

std::string StationJournal::appendLine(const std::string &line) {
    pending.push_back(line);
    return retry();
}

std::string StationJournal::retry() {
    if (file != nullptr && !platformStillNamed(file, path)) { // removed with its folder, or alone
        std::fclose(file);
        file = nullptr;
    }
    std::string reason;
    std::error_code code;
    if (file == nullptr && std::filesystem::is_directory(dir, code)) { // a fresh journal, once the folder is ours again
        if (mayReopen && !mayReopen(reason)) return reason;
        reason = open(dir);
    }
    if (file == nullptr) return pending.empty() ? "" : reason.empty() ? "the folder " + dir + " is gone" : reason;
    while (!pending.empty()) {
        if (!(reason = write(pending.front())).empty()) return reason;
        pending.pop_front();
    }
    return "";
}

std::string StationJournal::problem(bool probe) const {
    std::error_code code;
    if (!std::filesystem::is_directory(dir, code)) return "the folder " + dir + " is gone";
    const std::filesystem::space_info space = std::filesystem::space(dir, code);
    if (!code && space.available < kLeastFreeBytes)
        return "the disk of " + dir + " is full (" + std::to_string(space.available / 1024) + " KiB free)";
    if (!probe) return "";
    const std::string test = dir + "/.station-probe";
    bool exists = false;
    std::string reason;
    FILE *f = platformCreateNewFile(test.c_str(), exists, reason);
    if (f == nullptr && !exists) return "nothing can be written in " + dir + ": " + reason;
    if (f != nullptr) std::fclose(f);
    std::remove(test.c_str());
    return "";
}

std::string StationJournal::close() {
    if (file == nullptr) return pending.empty() ? "" : path + " lost lines";
    const bool closed = std::fclose(file) == 0;
    file = nullptr;
    return closed ? "" : path + " may be incomplete";
}

std::string stationJournalLine(const StationPort &port, const std::string &dir) {
    // A file named only while it is there: a folder removed and made again lost it.
    const auto relative = [&](const std::string &file) {
        std::error_code code;
        return std::filesystem::is_regular_file(file, code) ? json(file.substr(dir.size() + 1)) : json(nullptr);
    };
    const ChildRun &u = port.unit;
    // The versions as the unit's report has them; null when none were read.
    const auto versions = [](const std::string &fields) { return fields.empty() ? json(nullptr) : json::parse(fields); };
    json line = {{"port", port.name}};
    if (!port.given.empty()) line["label"] = port.given;
    line["serial"] = port.serial.empty() ? json(nullptr) : json(port.serial);
    line.update(json{{"com", port.com < 1000 ? json(port.com) : json(nullptr)},
                     {"path", port.path},
                     {"started", port.unitStarted},
                     {"ended", u.endedAt.empty() ? timeStamp(std::chrono::system_clock::now()) : u.endedAt},
                     {"kind", u.kind.empty() ? json(nullptr) : json(u.kind)},
                     {"before", versions(u.beforeFields)},
                     {"after", versions(u.afterFields)},
                     {"outcome", u.outcome()},
                     {"unit_left", unitLeft(u.end)},
                     {"summary", u.summary},
                     {"exit_status", u.status},
                     {"log", relative(port.log)},
                     {"report", u.reported ? relative(port.report) : json(nullptr)},
                     {"records_unwritten", u.unwritten}});
    // The release and host of the station that ran the unit, so that an old line keeps its own.
    const auto before = [](const std::string &value) { return value.empty() ? json(nullptr) : json(value); };
    line["carried"] = port.foundAfterRestart ? before(port.carriedBefore) : json(FIRMWARE_VERSION_TO_UPLOAD);
    line["host"] = port.foundAfterRestart ? before(port.hostBefore) : json(platformHostName());
    if (port.foundAfterRestart) line["found_after_restart"] = true;
    return line.dump(-1, ' ', false, json::error_handler_t::replace);
}
