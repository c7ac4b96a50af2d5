#include "fleet/ChildRun.h"

#include "base/Console.h"
#include "base/StringOperations.h"
#include "product/Product.h"
#include "unit/LineCheck.h"

#include <nlohmann/json.hpp>

using json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

namespace {

void applyEvent(ChildRun &run, const std::string &line) {
    const json e = jsonNesting(line) <= JSON_NESTING_MAX ? json::parse(line, nullptr, false) : json(json::value_t::discarded);
    if (e.is_discarded() || !e.is_object() || !e.contains("event")) {
        if (!line.empty()) run.message = consoleSafeText(line, line.size());
        return;
    }
    const std::string name = e.value("event", "");
    if (name == "start") {
        run.startedAt = e.value("started", "");
    } else if (name == "phase") {
        run.phase = e.value("phase", "");
        run.end.phase = phaseNamed(run.phase);
        run.percent = run.end.percent = -1;
    } else if (name == "unit_kind") {
        run.kind = e.value("kind", "");
    } else if (name == "unit_found") {
        run.baud = e.value("baud", 0);
    } else if (name == "detection" && e.contains("ports") && e["ports"].is_array()) {
        for (const json &port : e["ports"]) {
            const std::string outcome = port.is_object() ? port.value("outcome", "") : "";
            run.lineChecked |= outcome == "unit found";
            if (outcome == LINE_HEARD) run.lineHeard.push_back(port.value("path", ""));
        }
    } else if (name == "versions" || name == "versions_after") {
        const bool read = e.contains("firmware"); // none read: "versions": null
        const std::string versions = e.value("firmware", "?") + " " + e.value("fpga", "?");
        (name == "versions" ? run.before : run.after) = read ? versions : "unreadable";
        if (name == "versions") run.firmwareBefore = e.value("firmware", "");
        json fields = e; // as the run's report has them: without the event's name and time
        fields.erase("event");
        fields.erase("t");
        (name == "versions" ? run.beforeFields : run.afterFields) = read ? fields.dump() : "";
    } else if (name == "progress" || name == "reboot_progress") {
        run.percent = e.value("percent", 0);
        if (name == "progress") run.end.percent = run.percent;
    } else if (name == "image_accepted") {
        run.end.fpgaAccepted |= e.value("kind", "") == "fpga";
    } else if (name == "image_failed") {
        run.end.imageOutcome = e.value("outcome", "");
    } else if (name == "finished") {
        run.finished = true;
        run.end.outcome = e.value("outcome", "");
        run.end.phase = phaseNamed(e.value("phase", ""));
        run.status = e.value("exit_status", -1);
        run.endedAt = e.value("ended", "");
        run.summary = e.value("summary", run.end.outcome);
        if (run.end.outcome == "identified") // would an update change it?
            run.summary += run.firmwareBefore == FIRMWARE_VERSION_TO_UPLOAD
                               ? ": runs " FIRMWARE_VERSION_TO_UPLOAD " already"
                               : ": an update installs " FIRMWARE_VERSION_TO_UPLOAD;
        run.unwritten = e.value("records_unwritten", std::vector<std::string>());
        run.reported = true;
        for (const std::string &what : run.unwritten) run.reported &= what.rfind("the report ", 0) != 0;
        run.ended = Clock::now();
        run.phase = "done";
        run.percent = -1;
    }
}

} // namespace

void childRunApply(ChildRun &run, const std::string &line) {
    try {
        applyEvent(run, line);
    } catch (const json::exception &) { // a field of an unexpected type: a message, never a crash
        run.message = consoleSafeText(line, line.size());
    }
}

std::string childRunPhaseText(const ChildRun &run) {
    return run.percent >= 0 ? run.phase + " " + std::to_string(run.percent) + " %" : run.phase;
}

void childRunSet(ChildRun &run, const std::string &outcome, const std::string &summary) {
    run.end.outcome = outcome;
    run.summary = summary;
    run.ended = Clock::now();
    run.phase = "done";
    run.percent = -1;
}

void childRunEnded(ChildRun &run, int status) {
    if (run.finished) return; // its last event said how it ended, in its own exit status
    run.status = status;
    run.end.outcome = "ended without a report";
    childRunSet(run, run.end.outcome, describeEnd(run.end));
}
