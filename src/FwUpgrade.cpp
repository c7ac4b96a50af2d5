// Program entry: start-up, the way to the port (detection or operator), the run's outcome.
#include "FwUpgrade.h"

#include "CarriedImages.h"
#include "ComPortAPI.h"
#include "Console.h"
#include "FileAPI.h"
#include "Options.h"
#include "Record.h"
#include "SafeFile.h"
#include "Station.h"
#include "firmware/BinImage.h"
#include "platform/PortList.h"

#include <algorithm>
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
    // Only a person at a console can press a key: scripts and CI never wait, nor does a run
    // whose console text goes to its log.
    if (!gNoPause && !recordEvents() && platformStdinIsInteractive()) platformGetch();
}

void printBuildNotes() {
    if (FWUPGRADE_SAMPLE_IMAGES) consolePrint("\r\nNOTE: this build carries sample firmware images, not a release.");
    if (FWUPGRADE_TIME_DIVISOR != 1)
        consolePrintf("\r\nNOTE: this build divides every protocol time-out and wait by %d (test build).",
                      FWUPGRADE_TIME_DIVISOR);
}

void printBanner() {
    consolePrintf("\n\rYou are about to upload the firmware version %s", FIRMWARE_VERSION_TO_UPLOAD);
    printBuildNotes();
}

static int runExportWeb(const Options &options) {
    printBanner();
    runOutcomeKnown(EXIT_UPDATE_OK, "written"); // its one wait, the closing key, comes after the file is whole
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
        std::printf("%s  [%s]\n", line.c_str(), PortList_status(port).c_str());
    }
    return EXIT_UPDATE_OK;
}

static int printVersion() {
    std::printf("FwUpgrade %s\nFirmware carried: %s\nImages: %s\nTime divisor: %d%s\n", FWUPGRADE_PROGRAM_VERSION,
                FIRMWARE_VERSION_TO_UPLOAD, FWUPGRADE_SAMPLE_IMAGES ? "sample (not a release)" : "release",
                FWUPGRADE_TIME_DIVISOR, FWUPGRADE_TIME_DIVISOR == 1 ? "" : " (test build)");
    const std::vector<CarriedImage> images = carriedImages();
    if (images.empty()) {
        std::fprintf(stderr, "FwUpgrade: the carried images cannot be described: out of memory, or one does "
                             "not flatten.\n");
        return EXIT_UPDATE_FAILED;
    }
    for (const CarriedImage &image : images)
        std::printf("%s image: %s\n  SHA-256: %s\n  Announced to the unit: %d bytes, checksum %u\n", image.title,
                    image.file.c_str(), image.sha256.c_str(), image.length, image.checksum);
    return EXIT_UPDATE_OK;
}

// What an update would send of each image, for the record.
static void recordCarriedImages() {
    for (const CarriedImage &image : carriedImages())
        recordCarriedImage(image.kind, image.file.c_str(), image.sha256.c_str(), image.length, image.checksum);
}

static std::string commandLine(int argc, char **argv) {
    std::string text = "FwUpgrade";
    for (int i = 1; i < argc; ++i) text += std::string(" ") + argv[i];
    return text;
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
    if (options.version) return printVersion();
    if (options.listPorts) return listPorts();
    std::vector<std::string> named = options.port.empty() ? options.ports : std::vector<std::string>{options.port};
    if (!named.empty()) {
        std::vector<int> numbers;
        if (!PortList_resolve(named, numbers, error)) {
            std::fprintf(stderr, "FwUpgrade: %s. Try 'FwUpgrade --help'.\n", error.c_str());
            return EXIT_USAGE;
        }
        gDetectionPorts.clear(); // each port once, in the order first named
        for (int n : numbers)
            if (std::find(gDetectionPorts.begin(), gDetectionPorts.end(), n) == gDetectionPorts.end())
                gDetectionPorts.push_back(n);
        gComPortNumber = numbers.front();
    }
    if (options.parallel) return runStation(options);
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
    if (options.exportWeb) return runExportWeb(options);
    if (!recordBegin(options.record, commandLine(argc, argv), error)) {
        std::fprintf(stderr, "FwUpgrade: %s.\n", error.c_str());
        releaseRunBuffers();
        return EXIT_UPDATE_FAILED;
    }
    if (options.record.any()) recordCarriedImages();
    beginRun(options);
    if (options.info) runInfo(options);
    runUpdate(options);
}
