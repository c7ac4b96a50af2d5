#ifndef RECORD_H_
#define RECORD_H_

// The record of a run: what happened, told once where it happens (port operations, commands,
// replies, transfers, phases, the outcome). Three sinks take it: the session log (--log: text,
// each line flushed as it happens), the events (--events: JSON Lines on stdout in place of the
// console text) and the report (--report: one JSON document, written whole at the end). With
// none of them the record keeps nothing but the phase, and the run prints exactly what it
// always has.

#include "platform/Platform.h"
#include "product/UnitReplies.h"
#include "record/Outcome.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct RecordSinks {
    std::string logFile;    // appended to; "" for none
    std::string reportFile; // "" for none
    bool events = false;
    bool any() const { return !logFile.empty() || !reportFile.empty() || events; }
};

// Opens the sinks and notes the start (program, images, divisor). False with error set when
// the log cannot be opened or the report could not be written.
bool recordBegin(const RecordSinks &sinks, const std::string &commandLine, std::string &error);
// True when stdout carries the events instead of the console text.
bool recordEvents();
// One image this program carries, flattened: what an update would send of it; sha256 is the
// file's as the build read it.
void recordCarriedImage(const char *kind, const char *file, const char *sha256, int length, uint32_t checksum);

void recordPhase(RunPhase phase);
RunPhase recordedPhase();
// Console text, as printed: the log takes it line by line, as the screen shows it.
void recordConsole(const char *text, size_t n);

// Port operations: com is the COM number; error the system's code when it failed.
void recordPortOpen(int com, int baud, bool opened, DWORD error, const std::string &reason);
void recordPortClose(int com);
// A setter's change ("baud rate 115200"), and what became of it: applied, refused, or stored
// for the next open.
void recordPortSetting(const std::string &setting, const char *result);
// A read or write that failed; error 0 when the system gave none.
void recordPortFailure(const std::string &what, DWORD error);
// Bytes the port took in one write: while an image streams, they count as its bytes written.
void recordPortWritten(int bytes);
// A command as it went on the line.
void recordCommand(const char *bytes, size_t n);
// What a reply collection or a direct read received: its first bytes, the count, the time.
void recordReply(const std::string &firstBytes, size_t total, double seconds);

// The run's facts.
// The serial number on the unit's label (--serial), given before the run looks for the unit.
void recordSerial(const std::string &serial);
void recordUnitFound(int com, int baud, const char *how); // how: detected, named, operator
void recordNoUnit(const std::string &portsTried);
// What detection found on each candidate, in the candidates' order.
struct PortProbed {
    int com;
    std::string path;
    const char *outcome; // unit found, no answer, no such port, in use, no permission, ...
    int baud;            // where the unit answered; 0 for none
    double seconds;      // how long its sweep took
};
void recordDetection(const std::vector<PortProbed> &ports);
void recordVersions(const UnitVersions &versions, bool converted, bool afterReboot);
void recordUnitKind(const char *kind);
// Why the unit failed its check: "device code 3, not 7".
void recordCheckFailed(const std::string &why);
void recordImageAnnounced(const char *kind, const char *file, uint32_t checksum, int length);
// The announced image begins to stream: from here the port's writes are its bytes.
void recordImageStreaming();
void recordProgress(int percent);
// outcome: accepted, refused, not ready, write failed
void recordImageEnd(const char *outcome, int written, double seconds);
void recordRebootProgress(int percent);
void recordPrompt(bool seen);
// The rate the unit answered at after its reboot, when it was not the run's.
void recordRateAfterReboot(int baud);
// What --verify made of the versions after the reboot.
void recordVerified(bool carriedFirmware, bool deviceCodeAccepted);

// What a thread of detection's probes would have written to the log and the events, each line
// with its time, held for the run's thread to write or leave out. A holding thread never reads
// the run's record: whether a line is written is the run's thread's to decide.
struct RecordHeld {
    struct Line {
        double seconds; // since the run's start
        bool isEvent;
        std::string text;
    };
    std::vector<Line> lines;
    std::string consoleLine; // its console text since the last line end, not yet a log line
};
// On the calling thread, from now on, the log's lines and the events go to *held (null: written
// again). Such a thread records only port operations, commands, replies and console text.
void recordHoldOnThisThread(RecordHeld *held);
// Writes the lines of several held records as one, in the order of their times; the console
// text each held after its last line end joins the run's, in the order given.
void recordWriteHeld(const std::vector<const RecordHeld *> &held);

// The end of the run: the report written, then the log's last lines (what could not be written,
// the outcome with the exit status the run ends with), the events' last line. stopSignal: the
// signal that stopped the run, or 0. Returns the exit status, which is EXIT_UPDATE_FAILED instead
// of 0 or 3 when the log or the report could not be written (statusWithUnwrittenRecord); what
// could not be written is said on the console too (on stderr with --events).
int recordFinish(int status, const char *outcome, int stopSignal = 0);

#endif
