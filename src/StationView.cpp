// What a station run shows: the live rows, the line view, the summary table.
#include "Console.h"
#include "Station.h"
#include "StationWatch.h"
#include "platform/Platform.h"

#include <algorithm>
#include <cstdio>

using Clock = std::chrono::steady_clock;

namespace {

const int kUnitWidth = 4, kVersionsWidth = 10, kTimeWidth = 6, kStateWidth = 20;

std::string elapsed(const StationPort &port) {
    const Clock::time_point end = port.phase == "done" ? port.ended : Clock::now();
    const long s = (long)std::chrono::duration_cast<std::chrono::seconds>(end - port.started).count();
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

std::string phaseText(const StationPort &port) {
    return port.percent >= 0 ? port.phase + " " + std::to_string(port.percent) + " %" : port.phase;
}

// What a live row says of its port: the phase while the run goes on, then how it ended.
std::string stateText(const StationPort &port) {
    if (!port.outcome.empty() || port.phase == "done") return port.summary;
    return port.message.empty() ? phaseText(port) : phaseText(port) + ": " + port.message;
}

std::string dash(const std::string &text) { return text.empty() ? "-" : text; }

std::string pad(const std::string &text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

// The text in at most `width` characters, cut where it tells least: a port's label keeps its
// COM number and the end of its path ("COM3 ...A50285BI-if00-port0"); an outcome keeps what the
// unit holds, after its last ": " ("stopped in the FPGA ima...: update again"); any other text
// its beginning.
enum Cut { CUT_END, CUT_LABEL, CUT_OUTCOME };

std::string shortened(const std::string &text, size_t width, Cut cut = CUT_END) {
    if (text.size() <= width) return text;
    size_t keepHead = 0, keepTail = 0;
    const size_t colon = text.rfind(": ");
    if (cut == CUT_LABEL) keepHead = text.rfind("COM", 0) == 0 && text.find(' ') < 10 ? text.find(' ') + 1 : 0;
    if (cut == CUT_OUTCOME && colon != std::string::npos && text.size() - colon + 10 <= width)
        keepTail = text.size() - colon;
    if (width < keepHead + keepTail + 6) return text.substr(0, width);
    const size_t middle = width - keepHead - keepTail - 3;
    if (cut == CUT_LABEL) return text.substr(0, keepHead) + "..." + text.substr(text.size() - middle);
    return text.substr(0, middle) + "..." + text.substr(text.size() - keepTail);
}

// The text in lines of at most `width` characters, broken at spaces, each after `indent`.
std::string wrapped(const std::string &text, size_t width, const std::string &indent) {
    std::string lines, line;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find(' ', at);
        if (end == std::string::npos) end = text.size();
        const std::string word = text.substr(at, end - at);
        if (!line.empty() && line.size() + 1 + word.size() > width) {
            lines += indent + line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        at = end + 1;
    }
    return lines + indent + line + "\n";
}

std::string right(const std::string &text, size_t width) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

// One row: the cells (the first one is the port's label, the last the time, aligned right),
// then the last column as far as the console has room (all of it when columns is 0).
std::string row(int labelWidth, int columns, const std::vector<std::pair<std::string, int>> &cells,
                const std::string &last) {
    std::string text;
    for (size_t i = 0; i < cells.size(); ++i) {
        const int width = i == 0 ? labelWidth : cells[i].second;
        const std::string cell = shortened(cells[i].first, (size_t)width, i == 0 ? CUT_LABEL : CUT_END);
        text += i + 1 == cells.size() ? right(cell, (size_t)width) + "  " : pad(cell, (size_t)width) + " ";
    }
    // One column short of the width: a row that fills it would wrap on some terminals.
    const int room = columns > 0 ? columns - 1 - (int)text.size() : -1;
    if (columns > 0 && room < 0) return text.substr(0, (size_t)std::max(columns - 1, 0));
    return text + (room >= 0 ? shortened(last, (size_t)room, CUT_OUTCOME) : last);
}

// The text in lines of at most `width` characters, broken after a ", " or "; " where it can be
// (each count stays whole), else at a space; the lines after the first indented.
std::vector<std::string> folded(const std::string &text, size_t width) {
    width = std::max(width, (size_t)8);
    std::vector<std::string> pieces;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find_first_of(",;", at);
        while (end != std::string::npos && end + 1 < text.size() && text[end + 1] != ' ')
            end = text.find_first_of(",;", end + 1);
        end = end == std::string::npos ? text.size() : end + 1;
        pieces.push_back(text.substr(at, end - at));
        at = end + 1; // past the space
    }
    std::vector<std::string> lines;
    std::string line;
    for (const std::string &piece : pieces) {
        if (!line.empty() && line.size() + 1 + piece.size() <= width) {
            line += " " + piece;
            continue;
        }
        if (!line.empty()) lines.push_back(line);
        line = (lines.empty() ? "" : "  ") + piece;
        while (line.size() > width) { // a piece longer than a line
            size_t cut = line.rfind(' ', width);
            if (cut == std::string::npos || cut <= 2) cut = width;
            lines.push_back(line.substr(0, cut));
            line = "  " + line.substr(cut + (line[cut] == ' ' ? 1 : 0));
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

// After a resize the terminal has rewrapped (or cut) the lines the view drew, and nothing tells
// where they went now: the view starts over at the top of a cleared screen, below its heading.
std::string startOver(const std::string &heading, int columns) {
    std::string screen = "\x1b[H\x1b[2J";
    for (size_t at = 0; at < heading.size();) {
        size_t end = heading.find('\n', at);
        if (end == std::string::npos) end = heading.size();
        std::string line = heading.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) screen += wrapped(line, (size_t)std::max(columns - 1, 8), "");
        at = end + 1;
    }
    return screen;
}

} // namespace

StationView::StationView(std::vector<StationPort> &ports, bool live, int columns, std::string heading)
    : ports(ports), live(live && columns >= 60), columns(columns), heading(std::move(heading)), lineState(ports.size()) {
    layout();
    if (columns > 0) platformConsoleNoQuickEdit();
}

void StationView::layout() {
    size_t longest = 4;
    for (const StationPort &p : ports) longest = std::max(longest, p.label.size());
    // Room for the state: a long path gives way, keeping its end; on a narrow console down to 8.
    const int others = kUnitWidth + kVersionsWidth + kTimeWidth + 5;
    int widest = columns > 0 ? std::max(16, std::min(40, columns - 1 - others - 36)) : 40;
    if (columns > 0 && columns - 1 - others - 10 < widest) widest = std::max(8, columns - 1 - others - 10);
    labelWidth = (int)std::min(longest, (size_t)widest);
}

void StationView::changed(size_t i) {
    if (live) return draw();
    // The line view: a line per phase, and per tenth of an image or of the reboot.
    const StationPort &p = ports[i];
    const std::string state = p.phase + (p.percent >= 0 ? std::to_string(p.percent / 10) : "") + p.kind;
    if (state == lineState[i] || p.phase == "starting") return;
    lineState[i] = state;
    std::string line = p.label + ": " + phaseText(p);
    if (!p.kind.empty() && p.phase == "checking") line += ", " + p.kind + " unit, firmware and fpga " + p.before;
    if (!p.outcome.empty()) line += ": " + p.summary + " (exit status " + std::to_string(p.status) + ")";
    if (p.outcome.empty() && !p.message.empty()) line += ": " + p.message;
    consoleLine(line.c_str());
}

// Whether a live view is drawn now (asked, resized, or a quarter second on). After a resize
// (`resized`) the screen starts over below the heading, in `screen`.
static bool drawDue(int &columns, int &drawnLines, const std::string &heading, Clock::time_point lastDraw, bool now,
                    std::string &screen, bool &resized) {
    const int width = platformConsoleColumns();
    resized = width > 0 && width != columns;
    if (!now && !resized && drawnLines > 0 && Clock::now() - lastDraw < std::chrono::milliseconds(250)) return false;
    if (resized) {
        columns = width;
        if (drawnLines > 0) screen += startOver(heading, columns);
        drawnLines = 0;
    }
    return true;
}

void StationView::draw(bool now) {
    if (!live) return;
    std::string screen;
    bool resized = false;
    if (!drawDue(columns, drawnLines, heading, lastDraw, now, screen, resized)) return;
    if (resized) layout();
    std::vector<std::string> lines = {
        row(labelWidth, columns, {{"PORT", 0}, {"UNIT", kUnitWidth}, {"BEFORE", kVersionsWidth}, {"TIME", kTimeWidth}},
            "STATE")};
    for (const StationPort &p : ports) {
        const std::vector<std::pair<std::string, int>> cells = {
            {p.label, 0}, {dash(p.kind), kUnitWidth}, {dash(p.before), kVersionsWidth}, {elapsed(p), kTimeWidth}};
        const std::string state = stateText(p), head = row(labelWidth, columns, cells, "");
        // What to do about a port is never cut: without room in its row it goes on lines of its own.
        if (*outcomeRemedy(p.outcome) != '\0' && columns > 0 && head.size() + state.size() >= (size_t)columns) {
            lines.push_back(head);
            for (const std::string &line : folded(state, (size_t)std::max(columns - 5, 8))) lines.push_back("    " + line);
        } else {
            lines.push_back(row(labelWidth, columns, cells, state));
        }
    }
    if (drawnLines > 0) screen += "\x1b[" + std::to_string(drawnLines) + "A"; // back to the header
    screen += "\r\x1b[J";
    for (const std::string &line : lines) screen += line + "\n";
    consolePrint(screen.c_str());
    drawnLines = (int)lines.size();
    lastDraw = Clock::now();
}

void StationView::summary(const std::vector<std::string> &lines) {
    draw(true);
    std::string text = "\nSummary\n" + row(labelWidth, 0, {{"PORT", 0}, {"UNIT", kUnitWidth}, {"BEFORE", kVersionsWidth},
                                                           {"AFTER", kVersionsWidth}, {"TIME", kTimeWidth}}, "OUTCOME") + "\n";
    for (const StationPort &p : ports) {
        const std::string head = row(labelWidth, 0, {{p.label, 0}, {dash(p.kind), kUnitWidth}, {dash(p.before), kVersionsWidth},
                                                     {dash(p.after), kVersionsWidth}, {elapsed(p), kTimeWidth}}, "");
        const std::string outcome = dash(p.outcome.empty() ? p.message : p.summary);
        // Never cut what a unit holds: a text too long for its row goes on a line of its own.
        if (columns > 0 && head.size() + outcome.size() >= (size_t)columns)
            text += head.substr(0, head.find_last_not_of(' ') + 1) + "\n" + wrapped(outcome, (size_t)std::max(20, columns - 5), "    ");
        else text += head + outcome + "\n";
    }
    for (const std::string &line : lines) text += line + "\n";
    consolePrint(text.c_str());
}

// Why the last run on a port could not use it, as its outcome says (no run at all: port.last
// says why). One that needs an administrator says what to do; the tries go on, to see it done.
static std::string retryText(const WatchedPort &port) {
    const std::string &outcome = port.probe.outcome;
    if (*outcomeRemedy(outcome) != '\0') return port.probe.summary;
    return (outcome.empty() ? "no run" : outcome) + ", trying again";
}

std::string watchStateText(const WatchedPort &port) {
    switch (port.state) {
    case WATCH_NO_PORT: return "no port";
    case WATCH_WAITING: return "waiting for a unit";
    case WATCH_BUSY:
        return port.awaitingRemoval ? "remove the unit" : !port.problem.empty() ? port.problem : retryText(port);
    case WATCH_WORKING: // its run opens the port at the rate found, then talks to the unit
        if (port.unit.phase == "starting" || port.unit.phase == "detecting") return "unit found at " + std::to_string(port.baud);
        return port.unit.phase == "done" ? port.unit.summary : phaseText(port.unit);
    case WATCH_REMOVE: return "remove the unit";
    default: return port.sameAs.empty() ? "stopped" : "same port as " + port.sameAs;
    }
}

WatchView::WatchView(bool live, int columns, std::string heading)
    : live(live && columns >= 72), columns(columns), heading(std::move(heading)) {
    if (columns > 0) platformConsoleNoQuickEdit();
}

void WatchView::changed(const WatchedPort &port) {
    if (live) return;
    // A line per change of state, and per tenth of an image or of the reboot.
    const StationPort &u = port.unit;
    const std::string key = watchStateText(port).substr(0, port.state == WATCH_WORKING && u.percent >= 0
                                                               ? u.phase.size() : std::string::npos) +
                            (port.state == WATCH_WORKING && u.percent >= 0 ? std::to_string(u.percent / 10) : "") + u.kind;
    std::string &last = lastLines[port.label];
    // A port tried again every few seconds (busy, no permission) says so once, not at each try.
    const bool retry = port.state == WATCH_BUSY && !port.awaitingRemoval;
    if (key == last || (port.state == WATCH_WAITING && retrying[port.label])) return;
    last = key;
    retrying[port.label] = retry;
    std::string line = port.label + ": " + watchStateText(port);
    if (port.state == WATCH_WORKING && u.phase == "checking" && !u.kind.empty())
        line += ", " + u.kind + " unit, firmware and fpga " + u.before;
    // How its unit ended, while that unit is still there (not for a slot that was only waiting).
    if ((port.state == WATCH_REMOVE || (port.state == WATCH_IDLE && port.awaitingRemoval)) && !port.last.empty())
        line += " (" + port.last + ")";
    consoleLine(line.c_str());
}

void WatchView::draw(const std::vector<const WatchedPort *> &ports, const std::string &totals, const std::string &note,
                     bool now) {
    if (!live) { // the line view says when the station begins to stop, and how it ended
        if (note.substr(0, note.find(':')) != lastNote.substr(0, lastNote.find(':')) && !note.empty())
            consoleLine(note.c_str());
        if (now) consoleLine(totals.c_str());
        lastNote = note;
        return;
    }
    std::string screen;
    bool resized = false;
    if (!drawDue(columns, drawnLines, heading, lastDraw, now, screen, resized)) return;
    const size_t room = (size_t)std::max(columns - 1, 8);
    size_t labelWidth = 4;
    for (const WatchedPort *p : ports) labelWidth = std::max(labelWidth, p->label.size());
    labelWidth = std::min(labelWidth, (size_t)std::max(16, columns / 5));
    // Narrow: the unit's kind and versions give way to the port and its state.
    const bool unitShown = labelWidth + kStateWidth + kUnitWidth + kVersionsWidth + kTimeWidth + 6 <= room;
    if (!unitShown) labelWidth = std::min(labelWidth, (size_t)std::max(8, (int)room - kStateWidth - kTimeWidth - 10));
    const auto row = [&](const std::string &label, const std::string &state, const std::string &kind,
                         const std::string &before, const std::string &time, const std::string &last) {
        std::string text = pad(shortened(label, labelWidth, CUT_LABEL), labelWidth) + " " +
                           pad(shortened(state, kStateWidth), kStateWidth) + " ";
        if (unitShown)
            text += pad(shortened(kind, kUnitWidth), kUnitWidth) + " " +
                    pad(shortened(before, kVersionsWidth), kVersionsWidth) + " ";
        text += right(time, kTimeWidth) + "  ";
        return text.size() > room ? text.substr(0, room) : text + shortened(last, room - text.size(), CUT_OUTCOME);
    };
    std::vector<std::string> lines = folded(totals, room);
    lines.push_back(row("PORT", "STATE", "UNIT", "BEFORE", "TIME", "LAST"));
    for (const WatchedPort *p : ports) {
        const long s = (long)std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - p->since).count();
        char time[32];
        std::snprintf(time, sizeof time, "%ld:%02ld", s / 60, s % 60);
        const bool unit = p->state == WATCH_WORKING || p->state == WATCH_REMOVE || p->awaitingRemoval;
        // A state too long for its column goes on in the last one ("no permission: add the user...",
        // "port unavailable, trying again").
        std::string state = watchStateText(*p), last = p->last;
        const size_t split = std::min(state.find(": "), state.find(", "));
        if (state.size() > (size_t)kStateWidth && split <= (size_t)kStateWidth) {
            last = state.substr(split + 2);
            state.resize(split);
        }
        const std::string kind = unit ? dash(p->unit.kind) : "-", before = unit ? dash(p->unit.before) : "-";
        const std::string head = row(p->label, state, kind, before, time, "");
        // What to do about a port is never cut: without room in its row it goes on lines of its own.
        const bool remedy = p->state == WATCH_BUSY && !p->awaitingRemoval && *outcomeRemedy(p->probe.outcome) != '\0';
        if (remedy && head.size() + last.size() > room) {
            lines.push_back(head);
            for (const std::string &line : folded(last, room - 4)) lines.push_back("    " + line);
        } else {
            lines.push_back(row(p->label, state, kind, before, time, last));
        }
    }
    if (!note.empty())
        for (const std::string &line : folded(note, room)) lines.push_back(line);
    if (drawnLines > 0) screen += "\x1b[" + std::to_string(drawnLines) + "A";
    screen += "\r\x1b[J"; // the rows of ports that went are cleared too
    for (const std::string &line : lines) screen += line + "\n";
    consolePrint(screen.c_str());
    drawnLines = (int)lines.size();
    lastDraw = Clock::now();
}
