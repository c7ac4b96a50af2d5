// The record of a run and its three sinks: session log, events, report.
#include "record/Record.h"

#include "record/RecordState.h"

#include "base/Clock.h"
#include "base/Console.h"
#include "platform/PortList.h"
#include "platform/SafeFile.h"
#include "product/Product.h"
#include "product/Timing.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace record {

State g;

bool active() { return g.log != nullptr || g.events || !g.reportFile.empty(); }

double seconds() { return secondsSince(g.start); }

double rounded(double value) { return std::round(value * 1000) / 1000; }

std::string format(const char *fmt, ...) {
    char text[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

// Lines held for another thread (detection's probes): written by it in order.
static thread_local RecordHeld *tHeld = nullptr;

static void writeLog(const std::string &line) {
    if (std::fwrite(line.data(), 1, line.size(), g.log) != line.size() || std::fflush(g.log) != 0)
        g.logError = std::strerror(errno);
}

static void writeEvent(const std::string &line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

// One line, written and flushed whole. A log that stops taking lines (a full disk) takes no
// more: the run says at its end that its log is incomplete.
void logLine(const std::string &text) {
    if (!tHeld && (g.log == nullptr || !g.logError.empty())) return;
    const double at = seconds();
    const std::string line = timeStamp(std::chrono::system_clock::now()) + format(" +%.3f ", at) + text + "\n";
    if (tHeld) tHeld->lines.push_back({at, false, line});
    else writeLog(line);
}

void event(const char *name, json fields) {
    if (!tHeld && !g.events) return;
    const double at = seconds();
    json object = {{"event", name}, {"t", rounded(at)}};
    object.update(fields);
    // Replies may hold any bytes: what is not UTF-8 is replaced, never a reason to stop.
    const std::string line = object.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    if (tHeld) tHeld->lines.push_back({at, true, line});
    else writeEvent(line);
}

// The image being sent or the last one sent, if any.
json *lastImage() { return g.report["images"].empty() ? nullptr : &g.report["images"].back(); }

} // namespace record

using namespace record;

namespace {

// The versions as every record has them; null when none were read (no reply that reads as
// versions), in the report, the events and a station's journal alike.
json versionsJson(const UnitVersions &v, bool converted) {
    if (!converted) return nullptr;
    return {{"firmware", format("%d.%d.%d", v.fw_ver, v.fw_rev, v.fw_sub)},
            {"model", v.model},
            {"fpga", format("%d.%02d", v.fpga_ver, v.fpga_rev)},
            {"device", v.fpga_type}};
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
    g.logFile = sinks.logFile;
    g.events = sinks.events;
    g.reportFile = sinks.reportFile;
    if (!active()) return true;
    consoleSetRecorder(recordConsole, g.events);
    const char *images = FWUPGRADE_SAMPLE_IMAGES ? "sample" : "release";
    g.report = {{"program", {{"name", "FwUpgrade"}, {"version", FWUPGRADE_PROGRAM_VERSION}}},
                {"firmware", {{"version", FIRMWARE_VERSION_TO_UPLOAD}, {"images", images},
                              {"time_divisor", FWUPGRADE_TIME_DIVISOR}, {"carried", json::array()}}},
                {"command_line", commandLine},
                {"started", timeStamp(g.startWall)},
                {"serial", nullptr},
                {"port", nullptr},
                {"unit", {{"kind", nullptr}, {"before", nullptr}, {"after", nullptr}}},
                {"images", json::array()},
                {"after_reboot", {{"prompt_seen", nullptr}, {"versions_read", nullptr},
                                  {"carried_firmware", nullptr}, {"device_code_accepted", nullptr}}}};
    logLine("==== FwUpgrade " FWUPGRADE_PROGRAM_VERSION " started: " + commandLine);
    logLine(format("firmware %s carried, %s images, time divisor %d", FIRMWARE_VERSION_TO_UPLOAD, images,
                   FWUPGRADE_TIME_DIVISOR));
    event("start", {{"started", timeStamp(g.startWall)}, {"program", FWUPGRADE_PROGRAM_VERSION},
                    {"firmware", FIRMWARE_VERSION_TO_UPLOAD}, {"images", images}, {"time_divisor", FWUPGRADE_TIME_DIVISOR}});
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
    if (!tHeld && g.log == nullptr) return;
    std::string &pending = tHeld ? tHeld->consoleLine : g.consoleLine;
    for (size_t i = 0; i < n; ++i) {
        const char c = text[i];
        if (c == '\n') {
            if (!pending.empty()) logLine("console: " + pending);
            pending.clear();
        } else if (c == '\b') {
            if (!pending.empty()) pending.pop_back();
        } else if (c != '\r' && pending.size() < kLoggedReplyBytes) {
            pending += c;
        }
    }
}

void recordPortOpen(int com, int baud, bool opened, DWORD error, const std::string &reason) {
    if (!tHeld && !active()) return;
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

void recordPortWritten(int bytes) {
    if (!tHeld && g.streaming) g.imageWritten += bytes; // a probe's bytes are no image's
}

void recordSerial(const std::string &serial) {
    if (!active()) return;
    g.report["serial"] = serial;
    logLine("serial number " + json(serial).dump()); // quoted and escaped: it came off a label
    event("serial", {{"serial", serial}});
}

void recordCommand(const char *bytes, size_t n) { logLine("command " + quotedText(std::string(bytes, n))); }

void recordReply(const std::string &firstBytes, size_t total, double secondsTaken) {
    if (!tHeld && g.log == nullptr) return;
    const std::string shown = firstBytes.substr(0, kLoggedReplyBytes);
    std::string line = "reply " + std::to_string(total) + format(" bytes in %.3f s: ", secondsTaken) + quotedText(shown);
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

void recordDetection(const std::vector<PortProbed> &ports) {
    if (!active()) return;
    json list = json::array();
    for (const PortProbed &p : ports) {
        json port = {{"com", p.com}, {"path", p.path}, {"outcome", p.outcome}};
        if (p.baud != 0) port["baud"] = p.baud;
        port["seconds"] = rounded(p.seconds);
        list.push_back(port);
        logLine(format("detection: COM%d (%s): %s", p.com, p.path.c_str(), p.outcome) +
                (p.baud != 0 ? format(" at %d baud", p.baud) : "") + format(", %.3f s", p.seconds));
    }
    g.report["detection"] = list;
    event("detection", {{"ports", list}});
}

void recordVersions(const UnitVersions &versions, bool converted, bool afterReboot) {
    if (!active()) return;
    const json fields = versionsJson(versions, converted);
    g.report["unit"][afterReboot ? "after" : "before"] = fields;
    if (afterReboot) g.report["after_reboot"]["versions_read"] = converted;
    logLine(std::string(afterReboot ? "versions after the reboot: " : "versions: ") +
            (converted ? fields.dump(-1, ' ', false, json::error_handler_t::replace) : "none read"));
    event(afterReboot ? "versions_after" : "versions", converted ? fields : json{{"versions", nullptr}});
}

void recordUnitKind(const char *kind) {
    if (!active()) return;
    g.report["unit"]["kind"] = kind;
    logLine(std::string("unit kind: ") + kind);
    event("unit_kind", {{"kind", kind}});
}

void recordCheckFailed(const std::string &why) {
    if (!active()) return;
    g.checkFailed = why;
    g.report["check_failed"] = why;
    logLine("check failed: " + why);
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

void recordImageStreaming() {
    if (!active()) return;
    g.streaming = true;
    g.imageWritten = 0;
}

void recordProgress(int percent) {
    if (!active() || percent == g.lastPercent) return;
    g.lastPercent = percent;
    event("progress", {{"kind", g.imageKind}, {"percent", percent}});
}

void recordImageEnd(const char *outcome, int written, double secondsTaken) {
    json *image = active() ? lastImage() : nullptr;
    if (image == nullptr) return;
    g.streaming = false;
    (*image)["written"] = written;
    (*image)["seconds"] = rounded(secondsTaken);
    (*image)["outcome"] = outcome;
    const double rate = secondsTaken > 0 ? written / secondsTaken : 0;
    logLine(format("image %s: %d of %d bytes written in %.3f s (%.0f bytes/s), %s", g.imageKind.c_str(), written,
                   (*image)["length"].get<int>(), secondsTaken, rate, outcome));
    const bool accepted = std::string(outcome) == "accepted";
    event(accepted ? "image_accepted" : "image_failed",
          {{"kind", g.imageKind}, {"outcome", outcome}, {"written", written}, {"seconds", (*image)["seconds"]}});
}

void recordRebootProgress(int percent) {
    if (!active() || percent == g.lastRebootPercent) return;
    if (g.lastRebootPercent < 0) logLine(format("reboot wait: 46 steps of %d ms", WAIT_REBOOT_STEP_MS));
    g.lastRebootPercent = percent;
    event("reboot_progress", {{"percent", percent}});
}

void recordPrompt(bool seen) {
    if (!active()) return;
    g.report["after_reboot"]["prompt_seen"] = seen;
    logLine(seen ? "prompt seen after the reboot" : "no prompt after the reboot");
    event("prompt_seen", {{"seen", seen}});
}

void recordRateAfterReboot(int baud) {
    if (!active()) return;
    g.report["after_reboot"]["baud"] = baud;
    logLine(format("the unit answers at %d baud after its reboot, not at the run's rate", baud));
}

void recordVerified(bool carriedFirmware, bool deviceCodeAccepted) {
    if (!active()) return;
    g.report["after_reboot"]["carried_firmware"] = carriedFirmware;
    g.report["after_reboot"]["device_code_accepted"] = deviceCodeAccepted;
    logLine(std::string("after the reboot: ") + (carriedFirmware ? "the carried firmware" : "other firmware") +
            (deviceCodeAccepted ? ", a device code this program updates" : ", a device code this program refuses"));
}

void recordHoldOnThisThread(RecordHeld *held) { tHeld = held; }

void recordWriteHeld(const std::vector<const RecordHeld *> &held) {
    std::vector<const RecordHeld::Line *> lines;
    for (const RecordHeld *one : held)
        for (const RecordHeld::Line &line : one->lines) lines.push_back(&line);
    std::stable_sort(lines.begin(), lines.end(), [](auto *a, auto *b) { return a->seconds < b->seconds; });
    for (const RecordHeld::Line *line : lines)
        if (line->isEvent && g.events) writeEvent(line->text);
        else if (!line->isEvent && g.log != nullptr && g.logError.empty()) writeLog(line->text);
    for (const RecordHeld *one : held)
        if (g.log != nullptr) g.consoleLine = (g.consoleLine + one->consoleLine).substr(0, kLoggedReplyBytes);
}
