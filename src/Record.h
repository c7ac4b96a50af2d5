#ifndef RECORD_H_
#define RECORD_H_

// The record of a run: what happened, told once where it happens (port operations, commands,
// replies, transfers, phases, the outcome). Three sinks take it: the session log (--log: text,
// each line flushed as it happens), the events (--events: JSON Lines on stdout in place of the
// console text) and the report (--report: one JSON document, written whole at the end). With
// none of them the record keeps nothing and the run prints exactly what it always has.

#include "UnitReplies.h"
#include "platform/Platform.h"

#include <cstdint>
#include <string>

// Where a run is, so that a run cut short can say what it cut short.
enum RunPhase {
    PHASE_NONE,      // no unit involved (files, lists) or the run is over
    PHASE_FINDING,   // detection, or the operator naming the port
    PHASE_CHECKING,  // versions and identity: nothing sent to the unit's flash yet
    PHASE_FPGA,      // from the FPGA image's announcement to its acknowledgement
    PHASE_MCU,       // the same for the MCU image
    PHASE_REBOOTING, // both images accepted, the unit rebooting
    PHASE_VERIFYING, // the versions asked again after the reboot
};

struct RecordSinks {
    std::string logFile;    // appended to; "" for none
    std::string reportFile; // "" for none
    bool events = false;
    bool any() const { return !logFile.empty() || !reportFile.empty() || events; }
};

// Opens the sinks and notes the start (program, images, divisor). False with error set when
// the log cannot be opened.
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
// A command as it went on the line.
void recordCommand(const char *bytes, size_t n);
// What a reply collection or a direct read received: its first bytes, the count, the time.
void recordReply(const std::string &firstBytes, size_t total, double seconds);

// The run's facts.
void recordUnitFound(int com, int baud, const char *how); // how: detected, named, operator
void recordNoUnit(const std::string &portsTried);
void recordVersions(const UnitVersions &versions, bool converted, bool afterReboot);
void recordUnitKind(const char *kind);
void recordImageAnnounced(const char *kind, const char *file, uint32_t checksum, int length);
void recordProgress(int percent);
// outcome: accepted, refused, not ready, write failed
void recordImageEnd(const char *outcome, int written, double seconds);
void recordRebootProgress(int percent);
void recordPrompt(bool seen);

// The end of the run: outcome and exit status to the log and the events, the report written.
// stopSignal: the signal that stopped the run, or 0.
void recordFinish(int status, const char *outcome, int stopSignal = 0);

#endif
