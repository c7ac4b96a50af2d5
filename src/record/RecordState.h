#ifndef RECORDSTATE_H_
#define RECORDSTATE_H_

// What the record of a run keeps while the run goes, shared by its sinks (Record.cpp) and its
// end (RecordEnd.cpp); nothing outside record/ uses it.

#include "base/Clock.h"
#include "record/Outcome.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>

namespace record {

using json = nlohmann::ordered_json;

inline const size_t kLoggedReplyBytes = 4096;

struct State {
    FILE *log = nullptr;
    std::string logFile;
    std::string logError; // why the log stopped taking lines: it is incomplete
    bool events = false;
    std::string reportFile;
    MonotonicTime start = std::chrono::steady_clock::now();
    WallTime startWall = std::chrono::system_clock::now();
    RunPhase phase = PHASE_NONE;
    RunPhase lastWorkPhase = PHASE_NONE; // where the run was when it ended (the report's phase)
    std::string consoleLine; // console text up to its line end, as the screen shows it
    json report;
    std::string imageKind;
    bool streaming = false; // the port's writes are the image's bytes
    int imageWritten = 0;
    int lastPercent = -1;
    int lastRebootPercent = -1;
    std::string checkFailed;
};

extern State g;

// Whether any sink is open.
bool active();
// Seconds since the run began; a value rounded to milliseconds.
double seconds();
double rounded(double value);
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// One line of the log, written and flushed whole; a log that stops taking lines takes no more.
void logLine(const std::string &text);
// One event on stdout (--events).
void event(const char *name, json fields = json::object());
// The image being sent or the last one sent, if any.
json *lastImage();

} // namespace record

#endif
