// What a station run shows: the live rows, the line view, the summary table.
#include "Console.h"
#include "Station.h"

#include <cstdio>

using Clock = std::chrono::steady_clock;

static std::string elapsed(const StationPort &port) {
    const Clock::time_point end = port.status >= 0 ? port.ended : Clock::now();
    const long s = (long)std::chrono::duration_cast<std::chrono::seconds>(end - port.started).count();
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

static std::string phaseText(const StationPort &port) {
    return port.percent >= 0 ? port.phase + " " + std::to_string(port.percent) + " %" : port.phase;
}

static std::string dash(const std::string &text) { return text.empty() ? "-" : text; }

static std::string row(const char *format, const std::string &a, const std::string &b, const std::string &c,
                       const std::string &d, const std::string &e, const std::string &f) {
    char text[256];
    std::snprintf(text, sizeof text, format, a.c_str(), b.c_str(), c.c_str(), d.c_str(), e.c_str(), f.c_str());
    return text;
}

static const char kLiveRow[] = "%-24s %-4s %-12s %-18s %6s  %s";

static std::string liveRow(const StationPort &p) {
    return row(kLiveRow, p.label, dash(p.kind), dash(p.before), phaseText(p), elapsed(p),
               p.outcome.empty() ? p.message : p.outcome);
}

StationView::StationView(std::vector<StationPort> &ports, bool live)
    : ports(ports), live(live), lineState(ports.size()) {}

void StationView::changed(size_t i) {
    if (live) return draw();
    // The line view: a line per phase, and per tenth of an image or of the reboot.
    const StationPort &p = ports[i];
    const std::string state = p.phase + (p.percent >= 0 ? std::to_string(p.percent / 10) : "") + p.kind;
    if (state == lineState[i] || p.phase == "starting") return;
    lineState[i] = state;
    std::string line = p.label + ": " + phaseText(p);
    if (!p.kind.empty() && p.phase == "checking") line += ", " + p.kind + " unit, firmware and fpga " + p.before;
    if (!p.outcome.empty()) line += ": " + p.outcome + " (exit status " + std::to_string(p.status) + ")";
    if (p.outcome.empty() && !p.message.empty()) line += ": " + p.message;
    consoleLine(line.c_str());
}

void StationView::draw(bool now) {
    if (!live || (!now && drawn && Clock::now() - lastDraw < std::chrono::milliseconds(250))) return;
    std::string screen;
    if (drawn) screen += "\x1b[" + std::to_string(ports.size() + 1) + "A"; // back to the header
    screen += "\r\x1b[2K" + row(kLiveRow, "PORT", "UNIT", "BEFORE", "PHASE", "TIME", "OUTCOME") + "\n";
    for (const StationPort &p : ports) screen += "\r\x1b[2K" + liveRow(p) + "\n";
    consolePrint(screen.c_str());
    drawn = true;
    lastDraw = Clock::now();
}

void StationView::summary(const std::string &totals) {
    draw(true);
    static const char kSummaryRow[] = "%-24s %-4s %-12s %-12s %6s  %s\n";
    std::string text = "\nSummary\n" + row(kSummaryRow, "PORT", "UNIT", "BEFORE", "AFTER", "TIME", "OUTCOME");
    for (const StationPort &p : ports)
        text += row(kSummaryRow, p.label, dash(p.kind), dash(p.before), dash(p.after), elapsed(p),
                    dash(p.outcome.empty() ? p.message : p.outcome));
    consolePrint((text + totals + "\n").c_str());
}
