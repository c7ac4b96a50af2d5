// Program entry: the command line, and the mode it asks for (the run with a unit, the station,
// the files and lists).
#include "app/WebFile.h"
#include "base/Console.h"
#include "base/StringOperations.h"
#include "image/CarriedImages.h"
#include "image/firmware/BinImage.h"
#include "image/Flatten.h"
#include "parallel/Parallel.h"
#include "platform/FileAPI.h"
#include "platform/PortList.h"
#include "platform/SafeFile.h"
#include "product/Product.h"
#include "product/Timing.h"
#include "record/Outcome.h"
#include "record/Record.h"
#include "run/Closing.h"
#include "run/Options.h"
#include "run/Presence.h"
#include "run/Run.h"
#include "serve/Serve.h"
#include "station/Station.h"
#include "unit/Detection.h"
#include "unit/RunBuffers.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static int runExportWeb(const Options &options) {
    printBanner();
    runOutcomeKnown(EXIT_UPDATE_OK); // its one wait, the closing key, comes after the file is whole
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

// Read back whole by a station that takes over the run's records: a path with a space or a
// newline stays one argument.
static std::string commandLine(int argc, char **argv) {
    std::vector<std::string> arguments = {"FwUpgrade"};
    arguments.insert(arguments.end(), argv + 1, argv + argc);
    return commandLineText(arguments);
}

// The ports --port or --ports name become detection's candidates, each once, in the order first
// named. False with error set for a name that names no port.
static bool useNamedPorts(const Options &options, std::string &error) {
    const std::vector<std::string> named = options.port.empty() ? options.ports : std::vector<std::string>{options.port};
    std::vector<int> numbers;
    if (named.empty()) return true;
    if (!PortList_resolve(named, numbers, error)) return false;
    gDetectionPorts.clear();
    for (int n : numbers)
        if (std::find(gDetectionPorts.begin(), gDetectionPorts.end(), n) == gDetectionPorts.end())
            gDetectionPorts.push_back(n);
    gComPortNumber = numbers.front();
    return true;
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
    runNoPause(options.noPause);
    if (options.help) {
        std::fputs(usageText(), stdout);
        return EXIT_UPDATE_OK;
    }
    if (options.version) return printVersion();
    if (options.listPorts) return listPorts();
    if (!options.serveDirs.empty()) return runServe(options);
    // A person at the console of one run may end it at once with a second Ctrl-C; a station
    // and its children always finish their clean stop.
    platformStopSecondEndsNow(!options.parallel && !options.station && !options.record.events &&
                              platformStdinIsInteractive());
    if (options.asCom != 0) PortList_assign(options.asCom, options.port);
    if (!useNamedPorts(options, error)) {
        std::fprintf(stderr, "FwUpgrade: %s. Try 'FwUpgrade --help'.\n", error.c_str());
        return EXIT_USAGE;
    }
    if (options.parallel) return runParallel(options);
    if (options.station) return runStation(options);
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
    if (options.waitForUnit) return runWaitForUnit(options);
    if (!options.waitUntilGone.empty()) return runWaitUntilGone(options);
    if (options.info) return runInfo(options);
    return runUpdate(options);
}
