// One run with a unit: the way to its port (detection, options or operator), the update or
// the identification, the outcome, and the clean stop on a signal. Every way out passes
// through endRun, whose status the entry returns, or stopRun, which close the port and finish
// the record.
#include "run/Run.h"

#include "run/Closing.h"

#include "base/Console.h"
#include "base/StringOperations.h"
#include "platform/PortList.h"
#include "product/Product.h"
#include "record/Outcome.h"
#include "record/Record.h"
#include "run/Options.h"
#include "unit/ComPortAPI.h"
#include "unit/Detection.h"
#include "unit/Exchange.h"
#include "unit/LineCheck.h"
#include "unit/RunBuffers.h"
#include "unit/Update.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>

static bool gAskOperator = true; // no dialogue when nobody reads the console (--events)

// Reads one decimal entry in [low, high] from stdin, asking again until it is one.
// False at the end of input.
static bool readNumber(const char *prompt, int low, int high, const char *retryText, int &value) {
    for (;;) {
        consolePrint(prompt);
        std::string line;
        if (!platformReadLine(line)) return false;
        size_t first = line.find_first_not_of(" \t\r");
        const size_t last = line.find_last_not_of(" \t\r");
        if (first != std::string::npos && line[first] == '+' && first < last) ++first; // "%d" reads "+5" too
        if (first != std::string::npos && parseDecimal(line.substr(first, last - first + 1), low, high, value))
            return true;
        consolePrint(retryText);
    }
}

// Every way out of a run after the banner: the port closed (its settings given back), the
// last message, the record finished (before the closing key: a kill or a power cut there loses
// nothing), the closing prompt. Returns the exit status.
static int endRun(const char *lastMessage, int status, const char *outcome) {
    ComPortAPI_CloseCOM();
    detectionEnded();
    recordPhase(PHASE_NONE);
    consolePrint(lastMessage);
    status = recordFinish(status, outcome);
    releaseRunBuffers();
    return closeWithStatus("", status);
}

// What a stop cut short, and what it means for the unit.
static std::string stoppedLine(RunPhase phase) {
    if (phase == PHASE_NONE) return "\r";
    RunEnd end;
    end.outcome = "stopped";
    end.phase = phase;
    return std::string("\r\nSTOPPED while ") + phaseDoing(phase) + ": " + unitLeftSentence(end) + ".\r";
}

void stopRun(int signal) {
    ComPortAPI_CloseCOM();
    detectionEnded(); // every probe's port given back too
    int status = EXIT_STOPPED;
    const bool over = runOutcomeIsKnown(status);
    consoleLine(stoppedLine(over ? PHASE_NONE : recordedPhase()).c_str());
    if (!over) status = recordFinish(EXIT_STOPPED, "stopped", signal);
    std::exit(status);
}

const char *unopenedOutcome(const std::vector<DWORD> &errors) {
    bool busy = false, absent = true, denied = false;
    for (DWORD error : errors) {
        busy |= PortList_problem(error) == PORT_BUSY;
        absent &= PortList_problem(error) == PORT_ABSENT;
        denied |= PortList_problem(error) == PORT_DENIED;
    }
    if (busy) return "busy";
    if (absent && !errors.empty()) return "no such port";
    return denied ? "no permission" : "port unavailable";
}

// The steps on the way to the port: nothing when done, else the run's exit status (it ended).
using Ended = std::optional<int>;

static Ended openPortAndRate() {
    consolePrintf("\r\nOpening COM%d....................", gComPortNumber);
    if (!ComPortAPI_OpenCOM(gComPortNumber))
        return endRun("", EXIT_PORT_FAILED, unopenedOutcome({ComPortAPI_LastOpenError()}));
    consoleLine("OK\r");
    return std::nullopt;
}

static Ended setRate() {
    consolePrintf("\r\nSetting baud rate at %d..........", gBaudRate);
    if (!ComPortAPI_SetBaudRate(gBaudRate)) return endRun("", EXIT_PORT_FAILED, "port failed");
    consoleLine("OK\r");
    return std::nullopt;
}

static const char kNoInput[] = "\r\nERROR: No more input: the run is stopped.\r\n";

static Ended operatorDialogue(bool portsNamed) {
    consolePrint("FAILED");
    // The ports the operator named: why each could not be opened, before a number is asked for.
    for (const auto &[n, error] : gDetectionUnopened)
        if (portsNamed) consolePrint(("\r\n" + PortList_openFailure(n, error)).c_str());
    if (!readNumber("\n\r\n\rEnter the COM port number : ", 1, 255,
                    "\r\nNot a COM port number: enter a number from 1 to 255.", gComPortNumber))
        return endRun(kNoInput, EXIT_USAGE, "no input");
    if (Ended ended = openPortAndRate()) return ended;
    if (!readNumber("\n\r\n\rEnter the BAUD RATE       : ", 1, 2147483647,
                    "\r\nNot a baud rate: enter a number above 0, such as 115200.", gBaudRate))
        return endRun(kNoInput, EXIT_USAGE, "no input");
    if (Ended ended = setRate()) return ended;
    recordUnitFound(gComPortNumber, gBaudRate, "operator");
    return std::nullopt;
}

// "COM1, COM3 to COM5": the COM numbers, runs joined.
static std::string comList(const std::vector<int> &numbers) {
    std::string text;
    for (size_t i = 0; i < numbers.size();) {
        size_t j = i;
        while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1) ++j;
        text += (text.empty() ? "COM" : ", COM") + std::to_string(numbers[i]);
        if (j > i) text += (j == i + 1 ? ", COM" : " to COM") + std::to_string(numbers[j]);
        i = j + 1;
    }
    return text;
}

// Which ports detection tried, and which it could not open.
static std::string noUnitText() {
    std::vector<int> absent;
    for (int n : gDetectionPorts)
        if (std::find(gDetectionProbed.begin(), gDetectionProbed.end(), n) == gDetectionProbed.end())
            absent.push_back(n);
    std::string text = "No unit answered";
    if (!gDetectionProbed.empty()) text += " on " + comList(gDetectionProbed) + " at any baud rate";
    if (!absent.empty())
        text += "; " + comList(absent) + (absent.size() == 1 ? " does" : " do") + " not exist or cannot be opened";
    return text + ".";
}

// Opens the port of the unit: the one named with its rate, or the one detection finds, or
// (askOperator) the one the operator names. When none is found and nobody is asked, the run
// ends with the ports tried (exit 1).
static Ended findPort(const Options &options, bool askOperator) {
    recordPhase(PHASE_DETECTING);
    ComPortAPI_SetHardwareFlowControl(FALSE); // no port open yet: every open below is without CTS
    if (options.baud != 0) {
        gBaudRate = options.baud;
        ComPortAPI_SetBaudRate(gBaudRate); // stored: the port opens at the rate named, never at another first
        if (Ended ended = openPortAndRate()) return ended;
        if (Ended ended = setRate()) return ended;
        recordUnitFound(gComPortNumber, gBaudRate, "named");
        return std::nullopt;
    }
    consolePrint("\n\r\n\rDetecting COM port and Baud Rate..................");
    if (!detectComPortAndBaudrate()) {
        if (askOperator && gAskOperator) return operatorDialogue(!options.port.empty() || !options.ports.empty());
        consolePrint("FAILED");
        const std::string tried = noUnitText();
        recordNoUnit(tried);
        // A port that could not even be opened (held by another program) is no "no unit".
        std::vector<DWORD> errors;
        for (const auto &unopened : gDetectionUnopened) errors.push_back(unopened.second);
        return endRun(("\r\n" + tried + "\r\n").c_str(), EXIT_UPDATE_FAILED,
                      gDetectionProbed.empty() ? unopenedOutcome(errors) : "no unit");
    }
    consoleLine("OK\r");
    consolePrintf("COM PORT Number : %d", gComPortNumber);
    consolePrintf("\r\nBaud rate       : %d \r\n\r\n", gBaudRate);
    recordUnitFound(gComPortNumber, gBaudRate, "detected");
    return std::nullopt;
}

// Nothing answered the version query at the rate the operator named (detection was skipped): no
// unit is there, unless one answers the detection probe: a unit that cannot tell its versions,
// which fails its check.
static bool silentAtNamedRate(const Options &options) {
    if (options.baud == 0 || gUnitAnswered) return false;
    ComPortAPI_SetHardwareFlowControl(FALSE); // the probe goes as detection sends it
    if (!sendCommand(DETECTION_PROBE_COMMAND, FALSE, TRUE, DETECTION_EXPECTED_RESPONSE)) return true;
    recordCheckFailed("it answers the detection probe but not the version query");
    return false;
}

// A station's unit whose line other ports it watches may reach: asked alone while they listen,
// before it is sent anything else. A port whose probe nothing answers then only heard another
// port's unit: no unit is there.
static Ended checkLine(const Options &options) {
    std::vector<int> beside;
    std::string error;
    if (options.beside.empty() || !PortList_resolve(options.beside, beside, error)) return std::nullopt;
    recordPhase(PHASE_DETECTING);
    if (lineAnswers(gComPortNumber, options.baud, beside)) return std::nullopt;
    const std::string text = "\r\nNo unit answered on COM" + std::to_string(gComPortNumber) + " at " +
                             std::to_string(options.baud) + " baud.\r\n";
    recordNoUnit("COM" + std::to_string(gComPortNumber));
    return endRun(text.c_str(), EXIT_UPDATE_FAILED, "no unit");
}

void beginRun(const Options &options) {
    gAskOperator = !recordEvents();
    gVerifyAfterReboot = options.verify;
    gSkipCurrent = options.skipCurrent;
    if (options.serial) recordSerial(*options.serial);
}

int runUpdate(const Options &options) {
    printBanner();
    if (Ended ended = checkLine(options)) return *ended;
    if (Ended ended = findPort(options, true)) return *ended;
    ComPortAPI_SetHardwareFlowControl(TRUE);
    const BOOL updated = updateFirmware();
    if (updated && gUnitWasCurrent)
        return endRun("The unit already runs firmware " FIRMWARE_VERSION_TO_UPLOAD ", the version this program carries:"
               " nothing was sent to it.\r\n", EXIT_UPDATE_OK, "already current");
    if (!updated)
        return endRun("\n\rERROR: The update was not successful.\r\n", EXIT_UPDATE_FAILED,
                      silentAtNamedRate(options) ? "no unit" : "failed");
    switch (gRebootOutcome) {
    case REBOOT_CONFIRMED: return endRun("", EXIT_UPDATE_OK, gVerifyAfterReboot ? "updated and verified" : "updated");
    case REBOOT_NOT_CONFIRMED: return endRun("", EXIT_NOT_CONFIRMED, "not confirmed");
    default: return endRun("\n\rERROR: The update was not successful.\r\n", EXIT_UPDATE_FAILED, "other firmware");
    }
}

int runInfo(const Options &options) {
    consolePrintf("\n\rIdentifying the unit: this program carries firmware %s and sends the unit no image",
                  FIRMWARE_VERSION_TO_UPLOAD);
    printBuildNotes();
    if (Ended ended = findPort(options, false)) return *ended;
    ComPortAPI_SetHardwareFlowControl(TRUE); // the queries go as an update's do
    UnitVersions versions;
    if (checkUnit(versions) == 0)
        return endRun("\n\rERROR: This is not a unit this program can update.\r\n", EXIT_UPDATE_FAILED,
                      silentAtNamedRate(options) ? "no unit" : "not updatable");
    if (unitRunsCarriedFirmware(versions))
        consolePrintf("The unit runs firmware %d.%d.%d, the version this program carries.\r\n", versions.fw_ver,
                      versions.fw_rev, versions.fw_sub);
    else
        consolePrintf("The unit runs firmware %d.%d.%d; this program carries %s, which an update installs.\r\n",
                      versions.fw_ver, versions.fw_rev, versions.fw_sub, FIRMWARE_VERSION_TO_UPLOAD);
    return endRun("", EXIT_UPDATE_OK, "identified");
}
