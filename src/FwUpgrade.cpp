// Program entry: start-up, the way to the port (detection or operator), the run's outcome.
#include "FwUpgrade.h"

#include "ComPortAPI.h"
#include "Console.h"
#include "FileAPI.h"
#include "Options.h"
#include "RunPhase.h"
#include "SafeFile.h"
#include "firmware/BinImage.h"
#include "platform/PortList.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifndef FWUPGRADE_SAMPLE_IMAGES
#define FWUPGRADE_SAMPLE_IMAGES 0
#endif

char *gHexFirmware = nullptr;
char *gHexFPGA_Code = nullptr;
char *gDataBuffer = nullptr;
int gComPortNumber = 0;
int gBaudRate = 0;

static bool gNoPause = false;
static RunPhase gRunPhase = PHASE_NONE;

void setRunPhase(RunPhase phase) { gRunPhase = phase; }

RunPhase runPhase() { return gRunPhase; }

char *copyImageText(int row) {
    const size_t length = (size_t)AUTOGEN_FILES[row].fileDataLength;
    char *copy = (char *)platformAllocateLarge(length + 16);
    if (copy != nullptr) {
        std::memcpy(copy, AUTOGEN_FILES[row].fileData, length);
        std::memset(copy + length, 0, 16); // the text, then zeros: it is terminated
    }
    return copy;
}

bool allocateRunBuffers() {
    gHexFirmware = copyImageText(0);
    gDataConcatenated = allocateDataConcatenated();
    gDataBuffer = (char *)std::calloc(DATA_BUFFER_SIZE, 1);
    return gHexFirmware != nullptr && gDataConcatenated != nullptr && gDataBuffer != nullptr;
}

void releaseRunBuffers() {
    std::free(gDataBuffer);
    gDataBuffer = nullptr;
    std::free(gDataConcatenated);
    gDataConcatenated = nullptr;
    std::free(gHexFirmware);
    gHexFirmware = nullptr;
    std::free(gHexFPGA_Code);
    gHexFPGA_Code = nullptr;
}

void dipsplayLastMessageToUserBeforeExit(const char *lastMessage) {
    consolePrint(lastMessage);
    consolePrint("\r\nPress any key to exit");
    // Only a person at a console can press a key: scripts and CI never wait.
    if (!gNoPause && platformStdinIsInteractive()) platformGetch();
}

static void printBuildNotes() {
    if (FWUPGRADE_SAMPLE_IMAGES) consolePrint("\r\nNOTE: this build carries sample firmware images, not a release.");
    if (FWUPGRADE_TIME_DIVISOR != 1)
        consolePrintf("\r\nNOTE: this build divides every protocol time-out and wait by %d (test build).",
                      FWUPGRADE_TIME_DIVISOR);
}

static void printBanner() {
    consolePrintf("\n\rYou are about to upload the firmware version %s", FIRMWARE_VERSION_TO_UPLOAD);
    printBuildNotes();
}

// Reads one decimal entry in [low, high] from stdin, asking again until it is one.
// False at the end of input.
static bool readNumber(const char *prompt, int low, int high, const char *retryText, int &value) {
    for (;;) {
        consolePrint(prompt);
        std::string line;
        if (!platformReadLine(line)) return false;
        const size_t first = line.find_first_not_of(" \t\r"), last = line.find_last_not_of(" \t\r");
        if (first != std::string::npos && parseDecimal(line.substr(first, last - first + 1), low, high, value))
            return true;
        consolePrint(retryText);
    }
}

// Every way out of a run after the banner: the port closed (its settings restored), the
// closing message, the exit.
[[noreturn]] static void endRun(const char *lastMessage, int status) {
    ComPortAPI_CloseCOM();
    dipsplayLastMessageToUserBeforeExit(lastMessage);
    releaseRunBuffers();
    std::exit(status);
}

// What a stop cut short, and what it means for the unit.
static const char *stoppedLine(RunPhase phase) {
    switch (phase) {
    case PHASE_FINDING: return "\r\nSTOPPED while looking for the unit: nothing was sent to it.\r";
    case PHASE_CHECKING: return "\r\nSTOPPED while checking the unit: no image was sent, the unit is unchanged.\r";
    case PHASE_FPGA:
        return "\r\nSTOPPED while sending the Programmable Logic data: the unit must be updated again.\r";
    case PHASE_MCU: return "\r\nSTOPPED while sending the uC firmware: the unit must be updated again.\r";
    case PHASE_REBOOTING:
        return "\r\nSTOPPED while the unit was rebooting: both images were accepted but the unit did not confirm"
               " it runs them. Check it before use, and update it again if it does not answer.\r";
    default: return "\r";
    }
}

// A signal (Ctrl-C, termination, a closed terminal) stops the run: the port is restored
// and closed, the console is as it was found, and the operator learns what was cut short.
[[noreturn]] static void stopRun(int) {
    ComPortAPI_CloseCOM();
    consoleLine(stoppedLine(gRunPhase));
    std::exit(EXIT_STOPPED);
}

static void openPortAndRate() {
    consolePrintf("\r\nOpening COM%d....................", gComPortNumber);
    if (!ComPortAPI_OpenCOM(gComPortNumber)) endRun("", EXIT_PORT_FAILED);
    consoleLine("OK\r");
}

static void setRate() {
    consolePrintf("\r\nSetting baud rate at %d..........", gBaudRate);
    if (!ComPortAPI_SetBaudRate(gBaudRate)) endRun("", EXIT_PORT_FAILED);
    consoleLine("OK\r");
}

static const char kNoInput[] = "\r\nERROR: No more input: the run is stopped.\r\n";

static void operatorDialogue() {
    consolePrint("FAILED");
    if (!readNumber("\n\r\n\rEnter the COM port number : ", 1, 255,
                    "\r\nNot a COM port number: enter a number from 1 to 255.", gComPortNumber))
        endRun(kNoInput, EXIT_USAGE);
    openPortAndRate();
    if (!readNumber("\n\r\n\rEnter the BAUD RATE       : ", 1, 2147483647,
                    "\r\nNot a baud rate: enter a number above 0, such as 115200.", gBaudRate))
        endRun(kNoInput, EXIT_USAGE);
    setRate();
}

static void findPort(const Options &options) {
    setRunPhase(PHASE_FINDING);
    ComPortAPI_SetHardwareFlowControl(FALSE); // no port open yet: every open below is without CTS
    if (options.baud != 0) {
        gBaudRate = options.baud;
        openPortAndRate();
        setRate();
        return;
    }
    consolePrint("\n\r\n\rDetecting COM port and Baud Rate..................");
    if (!detectComPortAndBaudrate()) {
        operatorDialogue();
        return;
    }
    consoleLine("OK\r");
    consolePrintf("COM PORT Number : %d", gComPortNumber);
    consolePrintf("\r\nBaud rate       : %d \r\n\r\n", gBaudRate);
}

static int runUpdate(const Options &options) {
    printBanner();
    findPort(options);
    ComPortAPI_SetHardwareFlowControl(TRUE);
    const BOOL updated = updateFirmware();
    ComPortAPI_CloseCOM();
    setRunPhase(PHASE_NONE);
    dipsplayLastMessageToUserBeforeExit(updated ? "" : "\n\rERROR: The update was not successful.\r\n");
    releaseRunBuffers();
    if (!updated) return EXIT_UPDATE_FAILED;
    return gUnitConfirmedAfterReboot ? EXIT_UPDATE_OK : EXIT_NOT_CONFIRMED;
}

static int runExportWeb(const Options &options) {
    printBanner();
    const BOOL written = createFirmwareFileForWeb(options.exportWebFile.c_str());
    releaseRunBuffers();
    return written ? EXIT_UPDATE_OK : EXIT_UPDATE_FAILED;
}

static int writeImage(const Options &options) {
    const int row = options.writeImageKind == "mcu" ? 0 : options.writeImageKind == "tx" ? 1 : 2;
    printBuildNotes();
    if (FWUPGRADE_SAMPLE_IMAGES || FWUPGRADE_TIME_DIVISOR != 1) consolePrint("\r\n");
    // The table's text is read, never written: the same as flattening a fresh copy.
    if (!flattenImageText(AUTOGEN_FILES[row].fileData)) {
        consolePrint("ERROR: The image could not be flattened.\r\n");
        return EXIT_UPDATE_FAILED;
    }
    const char *file = options.writeImageFile.c_str();
    if (!safeFileBegin(file)) return EXIT_UPDATE_FAILED;
    FileAPI_writeToFileBinary(gDataConcatenated, (uint32_t)gDataConcatenatedLenght);
    FileAPI_CloseFile();
    if (!safeFileCommit(file)) return EXIT_UPDATE_FAILED;
    consolePrintf("Image    : %s\r\nLength   : %d\r\nChecksum : %u\r\n", AUTOGEN_FILES[row].filePath,
                  gDataConcatenatedLenght, computeDataConcatenatedCheckSum());
    return EXIT_UPDATE_OK;
}

static int listPorts() {
    for (const PortInfo &port : PortList_machinePorts()) {
        std::string line = "COM" + std::to_string(port.number);
        if (port.path != line) line += "  " + port.path;
        if (!port.description.empty()) line += "  " + port.description;
        std::printf("%s\n", line.c_str());
    }
    return EXIT_UPDATE_OK;
}

static void printVersion() {
    std::printf("FwUpgrade %s\nFirmware carried: %s\nImages: %s\nTime divisor: %d%s\n", FWUPGRADE_PROGRAM_VERSION,
                FIRMWARE_VERSION_TO_UPLOAD, FWUPGRADE_SAMPLE_IMAGES ? "sample (not a release)" : "release",
                FWUPGRADE_TIME_DIVISOR, FWUPGRADE_TIME_DIVISOR == 1 ? "" : " (test build)");
}

int fwMain(int argc, char **argv) {
    platformConsoleInit();
    platformStopInit(stopRun);
    Options options;
    std::string error;
    if (!parseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "FwUpgrade: %s. Try 'FwUpgrade --help'.\n", error.c_str());
        return EXIT_USAGE;
    }
    gNoPause = options.noPause;
    if (options.help) {
        std::fputs(usageText(), stdout);
        return EXIT_UPDATE_OK;
    }
    if (options.version) {
        printVersion();
        return EXIT_UPDATE_OK;
    }
    if (options.listPorts) return listPorts();
    std::vector<std::string> named = options.port.empty() ? options.ports : std::vector<std::string>{options.port};
    if (!named.empty()) {
        std::vector<int> numbers;
        if (!PortList_resolve(named, numbers, error)) {
            std::fprintf(stderr, "FwUpgrade: %s. Try 'FwUpgrade --help'.\n", error.c_str());
            return EXIT_USAGE;
        }
        gDetectionPorts = numbers;
        gComPortNumber = numbers.front();
    }
    if (!options.writeImageKind.empty()) {
        gDataConcatenated = allocateDataConcatenated();
        int status = gDataConcatenated ? writeImage(options) : EXIT_UPDATE_FAILED;
        releaseRunBuffers();
        return status;
    }
    if (!allocateRunBuffers()) {
        releaseRunBuffers();
        std::fprintf(stdout, "ERROR: Not enough memory to start: close other programs and try again.\r\n");
        return EXIT_UPDATE_FAILED;
    }
    return options.exportWeb ? runExportWeb(options) : runUpdate(options);
}
