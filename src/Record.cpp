// The record of a run and its three sinks: session log, events, report.
#include "Record.h"

#include "Console.h"
#include "FwUpgrade.h"
#include "SafeFile.h"
#include "Timing.h"
#include "platform/PortList.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#ifndef FWUPGRADE_SAMPLE_IMAGES
#define FWUPGRADE_SAMPLE_IMAGES 0
#endif

using json = nlohmann::ordered_json;

namespace {

using Clock = std::chrono::steady_clock;
using Wall = std::chrono::system_clock;

const size_t kLoggedReplyBytes = 4096;

struct State {
    FILE *log = nullptr;
    bool events = false;
    std::string reportFile;
    Clock::time_point start = Clock::now();
    Wall::time_point startWall = Wall::now();
    RunPhase phase = PHASE_NONE;
    RunPhase lastWorkPhase = PHASE_NONE; // where the run was when it ended (the report's phase)
    std::string consoleLine; // console text up to its line end, as the screen shows it
    json report;
    std::string imageKind;
    int lastPercent = -1;
    int lastRebootPercent = -1;
};

State g;

bool active() { return g.log != nullptr || g.events || !g.reportFile.empty(); }

double seconds() { return std::chrono::duration<double>(Clock::now() - g.start).count(); }

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
    char text[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

// "2026-12-07 11:20:01.123" in local time, or with utc "2026-12-07T11:20:01.123Z".
std::string timeText(Wall::time_point when, bool utc) {
    const std::time_t t = Wall::to_time_t(when);
    const int ms = (int)(std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() % 1000);
    const std::tm *tm = utc ? std::gmtime(&t) : std::localtime(&t);
    char text[32] = "";
    if (tm != nullptr) std::strftime(text, sizeof text, utc ? "%Y-%m-%dT%H:%M:%S" : "%Y-%m-%d %H:%M:%S", tm);
    return format("%s.%03d%s", text, ms, utc ? "Z" : "");
}

// Bytes made visible for one log line: control characters escaped, the text in quotes.
std::string quoted(const std::string &bytes) {
    std::string text = "\"";
    for (unsigned char c : bytes) {
        if (c == '\r') text += "\\r";
        else if (c == '\n') text += "\\n";
        else if (c == '\\' || c == '"') text += std::string("\\") + (char)c;
        else if (c >= 0x20 && c < 0x7F) text += (char)c;
        else text += format("\\x%02x", c);
    }
    return text + "\"";
}

void logLine(const std::string &text) {
    if (g.log == nullptr) return;
    std::fprintf(g.log, "%s +%.3f %s\n", timeText(Wall::now(), false).c_str(), seconds(), text.c_str());
    std::fflush(g.log);
}

void event(const char *name, json fields = json::object()) {
    if (!g.events) return;
    json object = {{"event", name}, {"t", std::round(seconds() * 1000) / 1000}};
    object.update(fields);
    // Replies may hold any bytes: what is not UTF-8 is replaced, never a reason to stop.
    const std::string line = object.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

const char *phaseName(RunPhase phase) {
    switch (phase) {
    case PHASE_FINDING: return "finding";
    case PHASE_CHECKING: return "checking";
    case PHASE_FPGA: return "fpga";
    case PHASE_MCU: return "mcu";
    case PHASE_REBOOTING: return "rebooting";
    case PHASE_VERIFYING: return "verifying";
    default: return "none";
    }
}

const char *signalName(int signal) {
    switch (signal) {
    case 1: return "SIGHUP";
    case 2: return "SIGINT";
    case 15: return "SIGTERM";
    default: return "a signal";
    }
}

json versionsJson(const UnitVersions &v, bool converted) {
    if (!converted) return {{"converted", false}};
    return {{"firmware", format("%d.%d.%d", v.fw_ver, v.fw_rev, v.fw_sub)},
            {"model", v.model},
            {"fpga", format("%d.%02d", v.fpga_ver, v.fpga_rev)},
            {"device", v.fpga_type}};
}

// Written whole or not at all; a report that cannot be written is said where a script sees it.
void writeReport() {
    if (g.reportFile.empty()) return;
    const std::string text = g.report.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
    if (!safeFileWrite(g.reportFile.c_str(), text))
        std::fprintf(stderr, "FwUpgrade: the report %s could not be written.\n", g.reportFile.c_str());
}

} // namespace

bool recordBegin(const RecordSinks &sinks, const std::string &commandLine, std::string &error) {
    g = State();
    std::string reason;
    // Appended to, so it may exist; but only as a regular file: never a device (a serial
    // port!), a FIFO that would hold the open, or a link to either.
    if (!sinks.logFile.empty() && (g.log = platformOpenToAppend(sinks.logFile.c_str(), reason)) == nullptr) {
        error = "cannot use " + sinks.logFile + " as the log: " + reason;
        return false;
    }
    if (!sinks.reportFile.empty() && !safeFileCanWrite(sinks.reportFile.c_str(), reason)) {
        error = "cannot write the report " + sinks.reportFile + ": " + reason;
        if (g.log != nullptr) std::fclose(g.log);
        g = State();
        return false;
    }
    g.events = sinks.events;
    g.reportFile = sinks.reportFile;
    if (!active()) return true;
    consoleSetRecorder(recordConsole, g.events);
    const char *images = FWUPGRADE_SAMPLE_IMAGES ? "sample" : "release";
    g.report = {{"program", {{"name", "FwUpgrade"}, {"version", FWUPGRADE_PROGRAM_VERSION}}},
                {"firmware", {{"version", FIRMWARE_VERSION_TO_UPLOAD}, {"images", images},
                              {"time_divisor", FWUPGRADE_TIME_DIVISOR}, {"carried", json::array()}}},
                {"command_line", commandLine},
                {"started", timeText(g.startWall, true)},
                {"port", nullptr},
                {"unit", {{"kind", nullptr}, {"before", nullptr}, {"after", nullptr}}},
                {"images", json::array()},
                {"confirmed_after_reboot", nullptr}};
    logLine("==== FwUpgrade " FWUPGRADE_PROGRAM_VERSION " started: " + commandLine);
    logLine(format("firmware %s carried, %s images, time divisor %d", FIRMWARE_VERSION_TO_UPLOAD, images,
                   FWUPGRADE_TIME_DIVISOR));
    event("start", {{"program", FWUPGRADE_PROGRAM_VERSION}, {"firmware", FIRMWARE_VERSION_TO_UPLOAD},
                    {"images", images}, {"time_divisor", FWUPGRADE_TIME_DIVISOR}});
    return true;
}

void recordCarriedImage(const char *kind, const char *file, const char *sha256, int length, uint32_t checksum) {
    if (!active()) return;
    g.report["firmware"]["carried"].push_back(
        {{"kind", kind}, {"file", file}, {"sha256", sha256}, {"length", length}, {"checksum", checksum}});
    logLine(format("image %s carried: %s, sha256 %s, %d bytes flat, checksum %u", kind, file, sha256, length,
                   checksum));
}

bool recordEvents() { return g.events; }

void recordPhase(RunPhase phase) {
    if (phase == g.phase) return;
    g.phase = phase;
    if (!active() || phase == PHASE_NONE) return;
    g.lastWorkPhase = phase;
    logLine(std::string("phase: ") + phaseName(phase));
    event("phase", {{"phase", phaseName(phase)}});
}

RunPhase recordedPhase() { return g.phase; }

void recordConsole(const char *text, size_t n) {
    if (g.log == nullptr) return;
    for (size_t i = 0; i < n; ++i) {
        const char c = text[i];
        if (c == '\n') {
            if (!g.consoleLine.empty()) logLine("console: " + g.consoleLine);
            g.consoleLine.clear();
        } else if (c == '\b') {
            if (!g.consoleLine.empty()) g.consoleLine.pop_back();
        } else if (c != '\r' && g.consoleLine.size() < kLoggedReplyBytes) {
            g.consoleLine += c;
        }
    }
}

void recordPortOpen(int com, int baud, bool opened, DWORD error, const std::string &reason) {
    if (!active()) return;
    const std::string path = PortList_pathOf(com);
    const std::string port = format("port COM%d (%s)", com, path.c_str());
    if (!opened) {
        logLine(port + " did not open: " + reason + format(" [%s, code %lu]", platformErrorText(error).c_str(),
                                                            (unsigned long)error));
        return;
    }
    logLine(port + format(" opened at %d baud", baud));
    event("port_opened", {{"com", com}, {"path", path}, {"baud", baud}});
}

void recordPortClose(int com) { logLine(format("port COM%d closed, its settings given back", com)); }

void recordPortSetting(const std::string &setting, const char *result) { logLine("port " + setting + ": " + result); }

void recordPortFailure(const std::string &what, DWORD error) {
    logLine("port " + what + " failed" + (error != 0 ? ": " + platformErrorText(error) : std::string()));
}

void recordCommand(const char *bytes, size_t n) { logLine("command " + quoted(std::string(bytes, n))); }

void recordReply(const std::string &firstBytes, size_t total, double secondsTaken) {
    if (g.log == nullptr) return;
    const std::string shown = firstBytes.substr(0, kLoggedReplyBytes);
    std::string line = "reply " + std::to_string(total) + format(" bytes in %.3f s: ", secondsTaken) + quoted(shown);
    if (shown.size() < total) line += " (cut: " + std::to_string(total) + " bytes in all)";
    logLine(line);
}

void recordUnitFound(int com, int baud, const char *how) {
    if (!active()) return;
    json port = {{"com", com}};
#ifndef _WIN32
    port["path"] = PortList_pathOf(com);
#endif
    port["baud"] = baud;
    port["found"] = how;
    g.report["port"] = port;
    logLine(format("unit found on COM%d at %d baud (%s)", com, baud, how));
    event("unit_found", port);
}

void recordNoUnit(const std::string &portsTried) {
    if (!active()) return;
    g.report["ports_tried"] = portsTried;
    logLine("no unit answered: " + portsTried);
}

void recordVersions(const UnitVersions &versions, bool converted, bool afterReboot) {
    if (!active()) return;
    const json fields = versionsJson(versions, converted);
    g.report["unit"][afterReboot ? "after" : "before"] = fields;
    logLine(std::string(afterReboot ? "versions after the reboot: " : "versions: ") +
            fields.dump(-1, ' ', false, json::error_handler_t::replace));
    event(afterReboot ? "versions_after" : "versions", fields);
}

void recordUnitKind(const char *kind) {
    if (!active()) return;
    g.report["unit"]["kind"] = kind;
    logLine(std::string("unit kind: ") + kind);
    event("unit_kind", {{"kind", kind}});
}

void recordImageAnnounced(const char *kind, const char *file, uint32_t checksum, int length) {
    if (!active()) return;
    g.imageKind = kind;
    g.lastPercent = -1;
    g.report["images"].push_back({{"kind", kind}, {"file", file}, {"checksum", checksum}, {"length", length},
                                  {"written", 0}, {"seconds", 0}, {"outcome", "announced"}});
    logLine(format("image %s announced: %s, %d bytes, checksum %u", kind, file, length, checksum));
    event("image_announced", {{"kind", kind}, {"file", file}, {"checksum", checksum}, {"length", length}});
}

void recordProgress(int percent) {
    if (!active() || percent == g.lastPercent) return;
    g.lastPercent = percent;
    event("progress", {{"kind", g.imageKind}, {"percent", percent}});
}

void recordImageEnd(const char *outcome, int written, double secondsTaken) {
    if (!active() || g.report["images"].empty()) return;
    json &image = g.report["images"].back();
    image["written"] = written;
    image["seconds"] = std::round(secondsTaken * 1000) / 1000;
    image["outcome"] = outcome;
    const double rate = secondsTaken > 0 ? written / secondsTaken : 0;
    logLine(format("image %s: %d of %d bytes written in %.3f s (%.0f bytes/s), %s", g.imageKind.c_str(), written,
                   image["length"].get<int>(), secondsTaken, rate, outcome));
    const bool accepted = std::string(outcome) == "accepted";
    event(accepted ? "image_accepted" : "image_failed",
          {{"kind", g.imageKind}, {"outcome", outcome}, {"written", written}, {"seconds", image["seconds"]}});
}

void recordRebootProgress(int percent) {
    if (!active() || percent == g.lastRebootPercent) return;
    if (g.lastRebootPercent < 0) logLine(format("reboot wait: 46 steps of %d ms", WAIT_REBOOT_STEP_MS));
    g.lastRebootPercent = percent;
    event("reboot_progress", {{"percent", percent}});
}

void recordPrompt(bool seen) {
    if (!active()) return;
    g.report["confirmed_after_reboot"] = seen;
    logLine(seen ? "prompt seen after the reboot" : "no prompt after the reboot");
    event("prompt_seen", {{"seen", seen}});
}

void recordFinish(int status, const char *outcome, int stopSignal) {
    if (!active()) return;
    if (!g.consoleLine.empty()) recordConsole("\n", 1);
    const Wall::time_point end = Wall::now();
    g.report["outcome"] = outcome;
    g.report["exit_status"] = status;
    g.report["phase"] = phaseName(g.lastWorkPhase);
    g.report["stopped_by"] = stopSignal != 0 ? json(signalName(stopSignal)) : json(nullptr);
    g.report["ended"] = timeText(end, true);
    g.report["seconds"] = std::round(seconds() * 1000) / 1000;
    std::string line = format("outcome: %s, exit status %d", outcome, status);
    if (stopSignal != 0) line += format(", stopped by %s", signalName(stopSignal));
    logLine(line + ", phase " + phaseName(g.lastWorkPhase));
    json fields = {{"status", status}, {"outcome", outcome}, {"phase", phaseName(g.lastWorkPhase)}};
    if (stopSignal != 0) fields["stopped_by"] = signalName(stopSignal);
    event("finished", fields);
    writeReport();
    if (g.log != nullptr) std::fclose(g.log);
    g = State();
    consoleSetRecorder(nullptr, false);
}
