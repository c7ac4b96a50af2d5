#include "station/StationState.h"

#include "base/Clock.h"
#include "image/CarriedImages.h"
#include "platform/Platform.h"
#include "product/Product.h"
#include "product/Timing.h"
#include "station/StationPort.h"

#include <cstdio>

namespace {

using json = nlohmann::ordered_json;

const size_t kEventsKept = 256; // a reader that reconnects within them misses nothing

// The versions the port's unit is told by, for a station that starts after this one: those it
// ended with once handled, those it began with while its update runs.
std::string knownVersions(const StationPort &port) {
    const std::string &before = port.unit.before;
    if (port.awaitingRemoval) return port.known;
    return before.empty() || before == "unreadable" ? "unknown" : before;
}

} // namespace

StationState::StationState(const std::string &folder, json facts)
    : dir(folder), path(folder + "/station-state.json"), station(std::move(facts)) {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    run = std::to_string(platformProcessId()) + "-" +
          std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
    // Ids begin above any an earlier station on this folder gave (it gave far fewer than a
    // thousand a second): a reader still holding one of those is told to read everything again.
    nextId = std::chrono::duration_cast<std::chrono::seconds>(since).count() * 1000;
}

StationState::json StationState::stationFacts(const std::string &id, const std::string &started) {
    json carried = json::array();
    for (const CarriedImage &image : carriedImages())
        carried.push_back({{"kind", image.kind}, {"file", image.file}, {"sha256", image.sha256}, {"length", image.length},
                           {"checksum", image.checksum}});
    return {{"id", id},
            {"pid", platformProcessId()},
            {"host", platformHostName()},
            {"program", {{"name", "FwUpgrade"}, {"version", FWUPGRADE_PROGRAM_VERSION}}},
            {"firmware", {{"version", FIRMWARE_VERSION_TO_UPLOAD}, {"images", FWUPGRADE_SAMPLE_IMAGES ? "sample" : "release"},
                          {"time_divisor", FWUPGRADE_TIME_DIVISOR}, {"carried", carried}}},
            {"started", started}};
}

// What its console row shows, and the unit it shows.
StationState::json StationState::portJson(size_t slot, const StationPort &port) {
    const bool working = port.state == STATE_WORKING;
    const bool unitShown = portHasUnit(port);
    const ChildRun &u = port.unit;
    return {{"slot", slot},
            {"label", port.label},
            {"name", port.name},
            {"path", port.path},
            {"com", port.com > 0 && port.com < 1000 ? json(port.com) : json(nullptr)},
            {"state", PORT_STATE_NAMES[port.state]},
            // The unit's on the port: none once it has gone (the port keeps its last until the next unit).
            {"serial", port.serial.empty() || !unitShown ? json(nullptr) : json(port.serial)},
            {"text", portStateText(port)},
            {"phase", working && u.phase != "starting" && u.phase != "done" ? json(u.phase) : json(nullptr)},
            {"percent", working && u.percent >= 0 ? json(u.percent) : json(nullptr)},
            {"unit", unitShown ? json{{"kind", u.kind.empty() ? json(nullptr) : json(u.kind)},
                                      {"before", u.before.empty() ? json(nullptr) : json(u.before)},
                                      {"known", knownVersions(port)},
                                      {"baud", port.baud}}
                               : json(nullptr)},
            {"since", timeStamp(std::chrono::system_clock::now() -
                                std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::steady_clock::now() - port.since))},
            {"last", port.last},
            {"message", port.problem}};
}

void StationState::portChanged(const json &port) {
    events.push_back({{"id", nextId++}, {"type", "port"}, {"port", port}});
    if (events.size() > kEventsKept) events.pop_front();
    changed = true;
}

void StationState::unitJournaled(size_t line) {
    events.push_back({{"id", nextId++}, {"type", "unit"}, {"line", line}});
    if (events.size() > kEventsKept) events.pop_front();
    changed = true;
}

bool StationState::write(const json &counts, const json &ports, const std::string &stage, const std::string &note,
                         size_t journalLines, bool now) {
    const auto at = std::chrono::steady_clock::now();
    // A port's percent changes the file without an event; nothing at all changes nothing.
    const std::string key =
        json{counts, ports, stage, note, journalLines, unjournaled, scans, records}.dump(-1, ' ', false, json::error_handler_t::replace);
    if (!now && !changed && (key == lastKey || at - lastWrite < std::chrono::milliseconds(250))) return true;
    json facts = station;
    facts["updated"] = timeStamp(std::chrono::system_clock::now());
    facts["stage"] = stage;
    facts["note"] = note;
    json state = {{"format", 1},          {"run", run},
                  {"station", facts},     {"counts", counts},
                  {"ports", ports},       {"journal", {{"lines", journalLines}}},
                  {"runs_unjournaled", unjournaled},
                  {"scans", scans},
                  {"events", json(events)}};
    if (!records.is_null()) state["records_db"] = records;
    const std::string text = state.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    // The runs not journaled are what a station starting after a power cut takes over from this
    // one: a file that names others than the last on disk is put on disk, and its rename with
    // its folder. Any other change is of this moment only, and not worth a wait for the disk.
    const bool durable = unjournaledOnDisk != unjournaled;
    const std::string temporary = path + ".new";
    std::remove(temporary.c_str());
    bool exists = false;
    std::string reason;
    FILE *f = platformCreateNewFile(temporary.c_str(), exists, reason);
    bool written = f != nullptr && std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (written && durable) written = platformSyncFile(f).empty();
    if (f != nullptr) written &= std::fclose(f) == 0;
    written = written && platformReplaceFile(temporary.c_str(), path.c_str()).empty();
    if (!written) std::remove(temporary.c_str());
    else if (durable && platformSyncFolder(dir).empty()) unjournaledOnDisk = unjournaled;
    changed = !written;
    lastWrite = at;
    if (written) lastKey = key;
    return written;
}
