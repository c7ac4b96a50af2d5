#include "fleet/ViewText.h"

#include "base/Console.h"
#include "platform/Platform.h"

#include <algorithm>
#include <cstdio>

using Clock = std::chrono::steady_clock;

std::string dash(const std::string &text) { return text.empty() ? "-" : text; }

std::string pad(const std::string &text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string shortened(const std::string &text, size_t width, Cut cut) {
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

std::string minutesSeconds(Clock::duration duration) {
    const long s = (long)std::chrono::duration_cast<std::chrono::seconds>(duration).count();
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

// After a resize the terminal has rewrapped (or cut) the lines the view drew, and nothing tells
// where they went now: the view starts over at the top of a cleared screen, below its heading.
static std::string startOver(const std::string &heading, int columns) {
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


bool LiveScreen::due(bool now, bool &resized) {
    const int width = platformConsoleColumns(), height = platformConsoleRows();
    resized = (width > 0 && width != columns) || (height > 0 && rows > 0 && height != rows);
    if (height > 0) rows = height;
    if (!now && !resized && drawnLines > 0 && Clock::now() - lastDraw < std::chrono::milliseconds(250)) return false;
    // The console has not taken the last draw yet (Ctrl-S): this one is skipped, not added behind it.
    if (!now && drawnLines > 0 && consoleBacklog() > 0) return false;
    if (resized) {
        if (width > 0) columns = width;
        if (drawnLines > 0) pending = startOver(heading, columns);
        drawnLines = 0;
    }
    return true;
}

void LiveScreen::show(std::vector<std::string> lines, size_t kept) {
    const size_t room = rows > 2 ? (size_t)rows - 1 : lines.size(); // the cursor's line stays free
    if (lines.size() > room && room > kept + 1) {
        const size_t cut = lines.size() - room + 1;
        const auto from = lines.end() - (std::ptrdiff_t)kept - (std::ptrdiff_t)cut;
        lines.erase(from, from + (std::ptrdiff_t)cut);
        lines.insert(lines.end() - (std::ptrdiff_t)kept,
                     "... " + std::to_string(cut) + " more lines: the console is too short to show them");
    }
    std::string screen = std::move(pending);
    pending.clear();
    if (drawnLines > 0) screen += "\x1b[" + std::to_string(drawnLines) + "A"; // back to the first line
    screen += "\r\x1b[J"; // the lines of ports that went are cleared too
    for (const std::string &line : lines) screen += consoleSafeName(line) + "\n"; // a port's or a folder's name
    consolePrint(screen.c_str());
    drawnLines = (int)lines.size();
    lastDraw = Clock::now();
}
