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

// Whom a scan for the slot is for: "A1's next unit", or "the next unit found" for no slot.
std::string forWhom(const std::string &slot) { return slot.empty() ? "the next unit found" : slot + "'s next unit"; }

} // namespace

StationScans::StationScans(std::vector<std::string> labels, const std::regex *pattern)
    : labels(std::move(labels)), pattern(pattern) {}

std::vector<StationScans::Said> StationScans::typed(const std::string &keys, Time now, const Holder &holder) {
    std::vector<Said> said;
    for (const std::string &ended : expire(now)) said.push_back({ended, false});
    if (!keys.empty()) lastKey = now;
    for (char c : keys) {
        // A reader ends each scan with Enter or Tab, as it is set up; CRLF is one end (the LF
        // ends an empty line, which is no scan).
        if (c == '\r' || c == '\n' || c == '\t') {
            if (!partial.empty()) said.push_back(scan(partial, holder));
            partial.clear();
        } else if (c == '\b' || c == 0x7f) { // typed by hand: a mistake taken back
            if (!partial.empty()) partial.pop_back();
        } else if (partial.size() < kTypedMax) { // past it the line is refused as too long anyway
            partial += c;
        }
    }
    return said;
}

std::vector<std::string> StationScans::expire(Time now) {
    std::vector<std::string> ended;
    if (!chosen.empty() && now - chosenAt >= kChoiceLasts) {
        ended.push_back(chosen + " no longer chosen: no serial number scanned within " +
                        std::to_string(kChoiceLasts.count()) + " s.");
        chosen.clear();
    }
    std::erase_if(queue, [&](const Scan &s) {
        if (!s.givenBack || now - *s.givenBack < kGivenBackLasts) return false;
        ended.push_back(quoted(s.serial) + " no longer waits: its unit went before its update and no unit took it within " +
                        std::to_string(kGivenBackLasts.count()) + " s; scan its label again.");
        return true;
    });
    return ended;
}

std::string StationScans::refusal(const std::string &text, const Holder &holder) const {
    const std::string problem = serialNumberProblem(text, pattern);
    if (!problem.empty()) return problem;
    // The same label read twice (a reader's double read, a second scan): one serial number, one unit.
    const std::string holds = holder ? holder(text) : "";
    if (!holds.empty()) return "is already " + holds + "'s";
    const bool waits = std::any_of(queue.begin(), queue.end(), [&](const Scan &s) { return s.serial == text; });
    if (!waits && queue.size() >= kWaitingMax)
        return "is one too many: " + std::to_string(kWaitingMax) + " wait for their units";
    return "";
}

StationScans::Said StationScans::scan(const std::string &text, const Holder &holder) {
    if (std::find(labels.begin(), labels.end(), text) != labels.end() && !text.empty()) {
        chosen = text;
        chosenAt = lastKey;
        return {"Scan " + quoted(text) + ": the next serial number scanned goes to " + text + ".", false};
    }
    const std::string why = refusal(text, holder);
    if (!why.empty()) {
        // A choice ends with a refused scan: the unit's label scanned next could be another unit's.
        const std::string unchosen = chosen.empty() ? "" : " " + chosen + " no longer chosen: scan its label again.";
        chosen.clear();
        return {"Scan refused: " + quoted(text) + " " + why + "." + unchosen, true};
    }
    const std::string moved = unqueue(text);
    queue.push_back({text, chosen});
    scanned = true;
    std::string line = "Scan " + quoted(text) + ": serial number of " + forWhom(chosen);
    if (!lastUpdated(text).empty()) line += "; last updated here " + lastUpdated(text);
    chosen.clear();
    return {line + moved + ".", false};
}

// Scanned again while it waits (its unit moved to another slot, a double read): the scan is moved
// to the choice made now, as the newest; never two of it.
std::string StationScans::unqueue(const std::string &serial) {
    const auto waited = std::find_if(queue.begin(), queue.end(), [&](const Scan &s) { return s.serial == serial; });
    if (waited == queue.end()) return "";
    const std::string moved = "; scanned again: the newest scan" +
                              (waited->slot == chosen ? "" : ", no longer for " + forWhom(waited->slot));
    queue.erase(waited);
    return moved;
}

std::optional<Scan> StationScans::take(const std::string &label) {
    auto at = std::find_if(queue.begin(), queue.end(), [&](const Scan &s) { return !label.empty() && s.slot == label; });
    if (at == queue.end()) at = std::find_if(queue.begin(), queue.end(), [](const Scan &s) { return s.slot.empty(); });
    if (at == queue.end()) return std::nullopt;
    const Scan scan = *at;
    queue.erase(at);
    return scan;
}

std::vector<std::optional<Scan>> StationScans::takeInTurn(const std::vector<Waiting> &waiting) {
    std::vector<size_t> order(waiting.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return waiting[a].since < waiting[b].since; });
    std::vector<std::optional<Scan>> taken(waiting.size());
    for (size_t i : order) taken[i] = take(waiting[i].label);
    return taken;
}

void StationScans::journaled(const std::string &serial, const std::string &ended) {
    if (!serial.empty()) updated[serial] = ended;
}

std::string StationScans::lastUpdated(const std::string &serial) const {
    const auto at = updated.find(serial);
    return at == updated.end() ? "" : at->second;
}
