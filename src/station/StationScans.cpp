#include "station/StationScans.h"

#include "base/Console.h"
#include "run/SerialNumber.h"

#include <algorithm>

namespace {

// A typed line kept at most this long: a key held down, or a reader gone mad, is one refusal.
const size_t kTypedMax = 256;
// Serial numbers waiting at most: more is a reader scanning on by itself, not units to come.
const size_t kWaitingMax = 100;

std::string quoted(const std::string &text) {
    std::string shown = text.substr(0, kSerialMax);
    if (text.size() > kSerialMax) shown += "...";
    return std::string(1, '"').append(consoleSafeName(shown)).append(1, '"');
}

} // namespace

StationScans::StationScans(std::vector<std::string> labels, const std::regex *pattern)
    : labels(std::move(labels)), pattern(pattern) {}

std::vector<StationScans::Said> StationScans::typed(const std::string &keys) {
    std::vector<Said> said;
    for (char c : keys) {
        if (c == '\r' || c == '\n') {
            if (!partial.empty()) said.push_back(scan(partial));
            partial.clear();
        } else if (c == '\b' || c == 0x7f) { // typed by hand: a mistake taken back
            if (!partial.empty()) partial.pop_back();
        } else if (partial.size() < kTypedMax) { // past it the line is refused as too long anyway
            partial += c;
        }
    }
    return said;
}

StationScans::Said StationScans::scan(const std::string &text) {
    if (std::find(labels.begin(), labels.end(), text) != labels.end() && !text.empty()) {
        chosen = text;
        return {"Scan " + quoted(text) + ": the next serial number scanned goes to " + text + ".", false};
    }
    const std::string problem = serialNumberProblem(text, pattern);
    const bool waits = std::any_of(queue.begin(), queue.end(), [&](const Scan &s) { return s.serial == text; });
    const std::string why = !problem.empty() ? problem
                            : waits          ? "is already waiting for its unit"
                            : queue.size() >= kWaitingMax ? "is one too many: " + std::to_string(kWaitingMax) + " wait for their units"
                                                          : "";
    if (!why.empty()) return {"Scan refused: " + quoted(text) + " " + why + ".", true};
    queue.push_back({text, chosen});
    scanned = true;
    std::string line = "Scan " + quoted(text) + ": serial number of " +
                       (chosen.empty() ? std::string("the next unit found") : chosen + "'s next unit");
    if (!lastUpdated(text).empty()) line += "; last updated here " + lastUpdated(text);
    chosen.clear();
    return {line + ".", false};
}

std::optional<Scan> StationScans::take(const std::string &label) {
    auto at = std::find_if(queue.begin(), queue.end(), [&](const Scan &s) { return !label.empty() && s.slot == label; });
    if (at == queue.end()) at = std::find_if(queue.begin(), queue.end(), [](const Scan &s) { return s.slot.empty(); });
    if (at == queue.end()) return std::nullopt;
    const Scan scan = *at;
    queue.erase(at);
    return scan;
}

void StationScans::journaled(const std::string &serial, const std::string &ended) {
    if (!serial.empty()) updated[serial] = ended;
}

std::string StationScans::lastUpdated(const std::string &serial) const {
    const auto at = updated.find(serial);
    return at == updated.end() ? "" : at->second;
}
