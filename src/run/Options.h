#ifndef OPTIONS_H_
#define OPTIONS_H_

#include "record/Record.h"

#include <optional>
#include <regex>
#include <string>
#include <vector>

// The command line. With no arguments the program runs the interactive update.
struct Options {
    bool help = false;
    bool version = false;
    bool noPause = false;
    bool listPorts = false;
    bool info = false;              // identify the unit, update nothing
    bool verify = false;            // ask the versions again after the reboot
    bool parallel = false;          // every port at once, a child run each
    bool station = false;           // watch the ports all day, update each unit plugged in
    int units = 0;                  // --units: the station ends after this many units (0: never)
    bool force = false;             // --force: the station updates units already current too
    bool skipCurrent = false;       // --skip-current: a unit already current is left alone
    std::string logDir;             // --log-dir: the folder of a parallel run or a station
    // A station's presence runs on --port: until a unit answers (detection), or until the unit
    // that answers at --baud with the versions `waitUntilGone` ("1.0.3 1.03") stops answering.
    bool waitForUnit = false;
    std::string waitUntilGone;
    // A station's update on --port: the other ports it watches, of which those that reach the
    // unit's line (a tap, a Y cable) are found before the unit is sent anything.
    std::vector<std::string> beside;
    RecordSinks record;             // --log FILE, --report FILE, --events
    std::string port;               // --port: COM number, COMn or (POSIX) device path
    int baud = 0;                   // --baud, with --port
    int asCom = 0;                  // --as-com: the COM number --port goes by (a station's child)
    std::vector<std::string> ports; // --ports: the candidates of detection, in order
    std::vector<std::string> portLabels; // --station: each port's label ("A1" of A1=PORT), or ""
    std::optional<std::string> serial; // --serial: the serial number on the unit's label (given empty: refused)
    bool requireSerial = false;     // --require-serial: a station updates no unit before its scan
    std::string serialPattern;      // --serial-pattern: what a serial number must match, whole
    std::optional<std::regex> serialRegex; // serialPattern, read
    std::string writeImageKind;     // --write-image mcu|tx|rx
    std::string writeImageFile;
    bool exportWeb = false;         // --export-web [FILE]
    std::string exportWebFile = "FwToUpload.bin";
    std::vector<std::string> serveDirs; // --serve DIR...: station folders served over HTTP
    bool http = false;              // --http [ADDR:]PORT: where --serve (or a station) listens
    std::string httpAddress = "127.0.0.1";
    int httpPort = 0;               // 0: any free port (the one taken is printed)
    // --records-db CONNECTION|@FILE (or FWUPGRADE_RECORDS_DB): the plant's database, an ODBC
    // connection string, that --station and --serve send the journal to; --records-table its table.
    std::string recordsDb;
    std::string recordsTable = "fwupgrade_unit";
};

// Fills options from argv (and FWUPGRADE_RECORDS_DB, which it first takes out of the environment:
// no run this one starts inherits the password, nor does this process's environment hold it);
// false with error set to a one-line reason, which never shows a password.
bool parseOptions(int argc, char **argv, Options &options, std::string &error);
// The --help text.
const char *usageText();
#endif
