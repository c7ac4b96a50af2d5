// The end of a run in every record: the report written whole, the log's last lines, the events'
// last line, and the exit status once a record could not be written.
#include "record/Record.h"

#include "record/RecordState.h"

#include "base/Console.h"
#include "platform/SafeFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

using namespace record;

namespace {

const char *signalName(int signal) {
    switch (signal) {
    case 1: return "SIGHUP";
    case 2: return "SIGINT";
    case 15: return "SIGTERM";
    default: return "a signal";
    }
}

// What the record knows of the end: where it was, how far the image had come, what became of it.
RunEnd endOf(const char *outcome) {
    RunEnd end;
    end.outcome = outcome;
    end.phase = g.lastWorkPhase;
    end.why = g.checkFailed;
    if (const json *image = lastImage()) {
        end.imageOutcome = (*image)["outcome"].get<std::string>();
        if (g.streaming || end.imageOutcome == "write failed" || end.imageOutcome == "line failed") end.percent = std::max(0, g.lastPercent);
    }
    const json &images = g.report["images"];
    end.fpgaAccepted = !images.empty() && images[0]["kind"] == "fpga" && images[0]["outcome"] == "accepted";
    return end;
}

// Written whole or not at all: "" when written, else why not.
std::string writeReport() {
    const std::string text = g.report.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
    std::string reason;
    return safeFileWrite(g.reportFile.c_str(), text, reason) ? "" : reason;
}

// The end of the run in the report's and the events' words.
json endFields(const RunEnd &end, int status, int stopSignal) {
    return {{"outcome", end.outcome},
            {"exit_status", status},
            {"phase", phaseName(end.phase)},
            {"percent", end.percent >= 0 ? json(end.percent) : json(nullptr)},
            {"unit_left", unitLeft(end)},
            {"summary", describeEnd(end)},
            {"stopped_by", stopSignal != 0 ? json(signalName(stopSignal)) : json(nullptr)}};
}

} // namespace

int recordFinish(int status, const char *outcome, int stopSignal) {
    if (!active()) return status;
    if (!g.consoleLine.empty()) recordConsole("\n", 1);
    json *image = lastImage();
    if (image != nullptr && (g.streaming || (stopSignal != 0 && (*image)["outcome"] == "announced"))) {
        (*image)["written"] = g.streaming ? g.imageWritten : 0; // what the port took before the stop
        (*image)["outcome"] = "cut by a stop";
    }
    const RunEnd end = endOf(outcome);
    const std::string ended = timeStamp(std::chrono::system_clock::now());
    // A record that could not be written makes the run a failure, said in every record left.
    std::vector<std::string> unwritten;
    auto cannotWrite = [&](const std::string &what) {
        unwritten.push_back(what);
        status = statusWithUnwrittenRecord(status);
    };
    const auto logIncomplete = [&] { cannotWrite("the log " + g.logFile + " is incomplete: " + g.logError); };
    auto report = [&] {
        if (g.reportFile.empty()) return true;
        g.report.update(endFields(end, status, stopSignal));
        g.report["log_complete"] = !g.logFile.empty() ? json(g.logError.empty()) : json(nullptr);
        g.report["ended"] = ended;
        g.report["seconds"] = rounded(seconds());
        const std::string reason = writeReport();
        if (!reason.empty()) cannotWrite("the report " + g.reportFile + " could not be written: " + reason);
        return reason.empty();
    };
    // A log removed meanwhile (its folder with it) took every line and kept none of them.
    if (g.log != nullptr && g.logError.empty() && !platformStillNamed(g.log, g.logFile))
        g.logError = "it was removed while the run went on";
    if (!g.logError.empty()) logIncomplete();
    // The report first: the log's last lines then tell what became of it, and the exit status the run
    // ends with.
    const bool reported = report();
    for (const std::string &what : unwritten) logLine("ERROR: " + what + ".");
    std::string line = describeEnd(end) + format(" (exit status %d", status);
    if (stopSignal != 0) line += format(", stopped by %s", signalName(stopSignal));
    logLine("outcome: " + line + ")");
    const bool logWasComplete = g.logError.empty();
    if (g.log != nullptr && std::fclose(g.log) != 0 && g.logError.empty()) g.logError = std::strerror(errno);
    if (logWasComplete && !g.logError.empty()) {
        logIncomplete();
        // The report called the log complete, with another status: it says so again, or goes.
        if (reported && !report()) std::remove(g.reportFile.c_str());
    }
    json fields = endFields(end, status, stopSignal);
    fields["ended"] = ended;
    fields["records_unwritten"] = unwritten;
    event("finished", fields);
    const bool events = g.events;
    g = State();
    consoleSetRecorder(nullptr, events); // stdout stays the events'; what follows goes nowhere
    for (const std::string &what : unwritten) // on the console too, once the record is finished
        if (events) std::fprintf(stderr, "FwUpgrade: %s.\n", what.c_str());
        else consolePrintf("\r\nERROR: %s.\r\n", what.c_str());
    return status;
}
