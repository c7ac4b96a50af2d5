// What --parallel shows: a live row per port, or a line per change; the summary table.
#include "parallel/ParallelView.h"

#include "base/Console.h"
#include "platform/Platform.h"

#include <algorithm>

using Clock = std::chrono::steady_clock;

namespace {

std::string elapsed(const ChildRun &port) {
    return minutesSeconds((port.phase == "done" ? port.ended : Clock::now()) - port.started);
}

// What a live row says of its port: the phase while the run goes on, then how it ended.
std::string stateText(const ChildRun &port) {
    if (port.finished || port.phase == "done") return port.summary;
    return port.message.empty() ? childRunPhaseText(port) : childRunPhaseText(port) + ": " + port.message;
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

} // namespace

ParallelView::ParallelView(std::vector<ChildRun> &ports, bool live, int columns, std::string heading)
    : ports(ports), live(live && columns >= 60), screen(columns, std::move(heading)), lineState(ports.size()) {
    layout();
    if (columns > 0) platformConsoleNoQuickEdit();
}

void ParallelView::layout() {
    const int columns = screen.width();
    size_t longest = 4;
    for (const ChildRun &p : ports) longest = std::max(longest, p.label.size());
    // Room for the state: a long path gives way, keeping its end; on a narrow console down to 8.
    const int others = kUnitWidth + kVersionsWidth + kTimeWidth + 5;
    int widest = columns > 0 ? std::max(16, std::min(40, columns - 1 - others - 36)) : 40;
    if (columns > 0 && columns - 1 - others - 10 < widest) widest = std::max(8, columns - 1 - others - 10);
    labelWidth = (int)std::min(longest, (size_t)widest);
}

void ParallelView::changed(size_t i) {
    if (live) return draw();
    // The line view: a line per phase, and per tenth of an image or of the reboot.
    const ChildRun &p = ports[i];
    const std::string state = p.phase + (p.percent >= 0 ? std::to_string(p.percent / 10) : "") + p.kind;
    if (state == lineState[i] || p.phase == "starting") return;
    lineState[i] = state;
    std::string line = p.label + ": " + childRunPhaseText(p);
    if (!p.kind.empty() && p.phase == "checking") line += ", " + p.kind + " unit, firmware and fpga " + p.before;
    if (p.finished) line += ": " + p.summary + " (exit status " + std::to_string(p.status) + ")";
    if (!p.finished && !p.message.empty()) line += ": " + p.message;
    consoleLine(consoleSafeName(line).c_str());
}

void ParallelView::draw(bool now) {
    if (!live) return;
    bool resized = false;
    if (!screen.due(now, resized)) return;
    if (resized) layout();
    const int columns = screen.width();
    std::vector<std::string> lines = {
        row(labelWidth, columns, {{"PORT", 0}, {"UNIT", kUnitWidth}, {"BEFORE", kVersionsWidth}, {"TIME", kTimeWidth}},
            "STATE")};
    for (const ChildRun &p : ports) {
        const std::vector<std::pair<std::string, int>> cells = {
            {p.label, 0}, {dash(p.kind), kUnitWidth}, {dash(p.before), kVersionsWidth}, {elapsed(p), kTimeWidth}};
        const std::string state = stateText(p), head = row(labelWidth, columns, cells, "");
        // What to do about a port is never cut: without room in its row it goes on lines of its own.
        if (*outcomeRemedy(p.outcome()) != '\0' && columns > 0 && head.size() + state.size() >= (size_t)columns) {
            lines.push_back(head);
            for (const std::string &line : folded(state, (size_t)std::max(columns - 5, 8))) lines.push_back("    " + line);
        } else {
            lines.push_back(row(labelWidth, columns, cells, state));
        }
    }
    screen.show(lines);
}

void ParallelView::summary(const std::vector<std::string> &lines) {
    draw(true);
    const int columns = screen.width();
    std::string text = "\nSummary\n" + row(labelWidth, 0, {{"PORT", 0}, {"UNIT", kUnitWidth}, {"BEFORE", kVersionsWidth},
                                                           {"AFTER", kVersionsWidth}, {"TIME", kTimeWidth}}, "OUTCOME") + "\n";
    for (const ChildRun &p : ports) {
        const std::string head = row(labelWidth, 0, {{p.label, 0}, {dash(p.kind), kUnitWidth}, {dash(p.before), kVersionsWidth},
                                                     {dash(p.after), kVersionsWidth}, {elapsed(p), kTimeWidth}}, "");
        // A run that ended without its last event has the end its parent gave it.
        const std::string outcome = dash(p.finished || p.phase == "done" ? p.summary : p.message);
        // Never cut what a unit holds: a text too long for its row goes on a line of its own.
        if (columns > 0 && head.size() + outcome.size() >= (size_t)columns)
            text += head.substr(0, head.find_last_not_of(' ') + 1) + "\n" + wrapped(outcome, (size_t)std::max(20, columns - 5), "    ");
        else text += head + outcome + "\n";
    }
    for (const std::string &line : lines) text += line + "\n";
    consolePrint(text.c_str());
}

