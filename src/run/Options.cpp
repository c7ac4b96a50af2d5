#include "run/Options.h"

#include "base/ConnectionString.h"
#include "base/Console.h"
#include "base/StringOperations.h"
#include "platform/FileRead.h"
#include "platform/Platform.h"
#include "platform/PortName.h"
#include "run/SerialNumber.h"

#include <algorithm>
#include <cctype>
#include <cstring>

static std::vector<std::string> splitList(const std::string &text) {
    std::vector<std::string> items;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        items.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) return items;
        start = comma + 1;
    }
}

// A port name that cannot name a port on any platform.
static bool portNameUsable(const std::string &name, std::string &error) {
    int n = 0;
    if (name.empty()) error = "an empty port name";
    else if (parseComName(name, n) == COM_NAME_INVALID)
        error = "'" + name + "' is not a valid port: COM numbers start at 1 and have at most 8 digits";
    return error.empty();
}

// --records-db @FILE: the connection string from a file, so that no password stands in the
// process list (its last line end dropped). A file others may change is refused, as ssh
// refuses a key: whoever may write it may send the journal to a server of theirs.
static bool readRecordsDb(std::string &text, std::string &error) {
    if (text.empty() || text[0] != '@') return true;
    const std::string file = text.substr(1);
    std::string refused;
    if (!fileReadOwnersOnly(file, 64 * 1024, text, refused)) {
        error = "--records-db @FILE: '" + file + "' " +
                (refused.empty() ? "cannot be read (a regular file of at most 64 KiB)" : "is refused: " + refused);
        return false;
    }
    while (!text.empty() && std::strchr("\r\n \t", text.back()) != nullptr) text.pop_back();
    if (text.empty()) error = "--records-db @FILE: '" + file + "' is empty";
    // A driver reads a string up to its first line end and ignores the rest: a second line would
    // be a setting silently left out (the database named there, say).
    else if (text.find_first_of("\r\n") != std::string::npos)
        error = "--records-db @FILE: '" + file + "' holds more than one line: the connection string is one line";
    return error.empty();
}

// A table's name put into SQL as it is: a plain identifier only (letters, digits, underscores).
static bool tableNameUsable(const std::string &name, std::string &error) {
    const bool plain = !name.empty() && name.size() <= 63 && !std::isdigit((unsigned char)name[0]) &&
                       std::all_of(name.begin(), name.end(), [](char c) {
                           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
                       });
    if (!plain) error = "--records-table needs a plain name (1 to 63 letters, digits or _, not first a digit), not '" + name + "'";
    return plain;
}

// --serve reads folders and listens: nothing else can go with it.
static bool checkServe(const Options &o, std::string &error) {
    if (o.serveDirs.empty() && o.http && !o.station) error = "--http belongs to --serve";
    else if (!o.serveDirs.empty() && !o.http && o.recordsDb.empty()) error = "--serve needs --http [ADDR:]PORT";
    else if (!o.serveDirs.empty() && (o.listPorts || o.info || o.verify || o.parallel ||
                                      o.station || o.units || o.force || o.skipCurrent || !o.logDir.empty() ||
                                      o.waitForUnit || !o.waitUntilGone.empty() || o.record.any() ||
                                      !o.port.empty() || o.baud || o.asCom || !o.ports.empty() ||
                                      !o.writeImageKind.empty() || o.exportWeb))
        error = "--serve takes station folders and --http only";
    return error.empty();
}

// A slot's name as the people at the line call it: short, no separator of a list or a path,
// nothing a terminal or a page could take for markup, and unique.
static bool labelUsable(const std::string &label, const std::vector<std::string> &before, std::string &error) {
    const bool plain = std::all_of(label.begin(), label.end(), [](char c) {
        return std::isalnum((unsigned char)c) || std::strchr(" -_.#+()", c) != nullptr;
    });
    if (label.empty() || label.size() > 16 || !plain || label.front() == ' ' || label.back() == ' ')
        error = "the label '" + label + "' is not usable: 1 to 16 letters, digits, spaces or - _ . # + ( )";
    else if (std::find(before.begin(), before.end(), label) != before.end())
        error = "the label '" + label + "' names two ports";
    return error.empty();
}

// "A1=/dev/ttyUSB0": the port, and its label apart.
static bool splitLabel(std::string &entry, std::vector<std::string> &labels, std::string &error) {
    const size_t equals = entry.find('=');
    if (equals == std::string::npos) {
        labels.emplace_back();
        return true;
    }
    const std::string label = entry.substr(0, equals);
    if (!labelUsable(label, labels, error)) return false;
    labels.push_back(label);
    entry.erase(0, equals + 1);
    return true;
}

// A serial number belongs to one unit's run; scans and their pattern to a station.
static bool checkSerial(const Options &o, std::string &error) {
    const bool oneUnit = !o.station && !o.parallel && o.serveDirs.empty() && o.writeImageKind.empty() &&
                         !o.exportWeb && !o.listPorts && !o.waitForUnit && o.waitUntilGone.empty();
    const std::regex *pattern = o.serialRegex ? &*o.serialRegex : nullptr;
    if (o.serial && !oneUnit) error = "--serial belongs to the run of one unit (an update, --info)";
    else if (o.requireSerial && !o.station) error = "--require-serial belongs to --station";
    else if (!o.serialPattern.empty() && !o.station && !o.serial)
        error = "--serial-pattern belongs to --station and --serial";
    else if (o.serial && !serialNumberProblem(*o.serial, pattern).empty())
        error = "the serial number '" + consoleSafeName(*o.serial) + "' " + serialNumberProblem(*o.serial, pattern);
    // A scan of a slot's label chooses the slot: a label that is also a serial number would take
    // that unit's scan for a choice, and give the unit the serial number scanned after it.
    for (const std::string &label : o.portLabels)
        if (error.empty() && pattern != nullptr && o.station && !label.empty() && serialNumberProblem(label, pattern).empty())
            error = "the label '" + consoleSafeName(label) + "' matches --serial-pattern: its scan would not be told from a serial number's";
    return error.empty();
}

static bool checkCombination(const Options &o, std::string &error) {
    if (!checkServe(o, error)) return false;
    const int fileModes = o.listPorts + o.exportWeb + !o.writeImageKind.empty();
    const bool watching = o.waitForUnit || !o.waitUntilGone.empty();
    const bool portOptions = !o.port.empty() || !o.ports.empty() || o.baud != 0 || o.verify || o.record.any();
    if (fileModes + o.info > 1) error = "--info, --list-ports, --export-web and --write-image cannot be used together";
    else if (fileModes == 1 && portOptions)
        error = "--port, --ports, --baud, --verify, --log, --report and --events belong to an update or --info only";
    else if (o.info && o.verify) error = "--verify belongs to an update: --info changes nothing to verify";
    else if (!o.recordsDb.empty() && !o.station && o.serveDirs.empty())
        error = "--records-db belongs to --station and --serve";
    else if (o.station && (fileModes > 0 || o.parallel || o.info || !o.port.empty() || o.baud != 0 || o.verify ||
                           o.record.any() || o.skipCurrent || watching))
        error = "--station takes --ports, --log-dir, --force, --units and --http; each unit's run is verified, logged and"
                " reported by itself";
    else if ((o.units != 0 || o.force) && !o.station) error = "--units and --force belong to --station";
    else if (!o.station && std::any_of(o.portLabels.begin(), o.portLabels.end(), [](auto &l) { return !l.empty(); }))
        error = "labels in --ports (A1=PORT) belong to --station";
    else if (o.skipCurrent && (o.info || fileModes > 0 || watching)) error = "--skip-current belongs to an update";
    else if (!o.logDir.empty() && !o.parallel && !o.station) error = "--log-dir belongs to --parallel and --station";
    else if (watching && (o.port.empty() || (o.waitForUnit && !o.waitUntilGone.empty()) || o.info ||
                          (!o.waitUntilGone.empty() && o.baud == 0)))
        error = "--wait-for-unit needs --port, --wait-until-gone needs --port and --baud";
    else if (o.parallel && (fileModes > 0 || !o.port.empty() || o.verify || o.record.any()))
        error = "--parallel takes --ports, --baud, --info and --log-dir; each unit's run is verified, logged and"
                " reported by itself";
    else if (o.baud != 0 && o.port.empty() && !o.parallel) error = "--baud needs --port";
    else if (o.asCom != 0 && o.port.empty()) error = "--as-com needs --port";
    else if (!o.port.empty() && !o.ports.empty()) error = "--port and --ports cannot be used together";
    else if (!o.beside.empty() && (o.port.empty() || o.baud == 0 || o.info || watching))
        error = "--beside belongs to an update with --port and --baud";
    return error.empty() && checkSerial(o, error);
}

// "[ADDR:]PORT" (ADDR may be "[v6]"): address (default 127.0.0.1) and port 0..65535.
static bool parseHttp(const std::string &text, std::string &address, int &port, std::string &error) {
    const size_t colon = text.rfind(':');
    std::string portText = text;
    address = "127.0.0.1";
    if (colon != std::string::npos) {
        address = text.substr(0, colon);
        portText = text.substr(colon + 1);
        if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
            address = address.substr(1, address.size() - 2);
        else if (address.find(':') != std::string::npos) address.clear(); // a v6 address needs brackets
    }
    if (address.empty()) error = "--http needs [ADDR:]PORT (an IPv6 address in brackets), not '" + text + "'";
    else if (!parseDecimal(portText, 0, 65535, port))
        error = "--http needs a port number from 0 (any free port) to 65535, not '" + portText + "'";
    return error.empty();
}

namespace {

// The command line as it is read, one option at a time.
struct Args {
    int argc;
    char **argv;
    int i;
    std::string &error;

    // The option's value, the next argument; false with the error set when there is none.
    bool value(const std::string &option, std::string &out, const char *what) {
        if (i + 1 >= argc) {
            error = "option " + option + " needs " + what;
            return false;
        }
        out = argv[++i];
        return true;
    }
    // Whether the next argument is a value rather than the next option ("--...").
    bool valueFollows() const { return i + 1 < argc && std::strncmp(argv[i + 1], "--", 2) != 0; }
};

// What reading one option came to: not this group's, read, or refused (error set).
enum Read { NOT_MINE, READ, REFUSED };

Read flagOption(const std::string &arg, Options &o) {
    static const std::pair<const char *, bool Options::*> flags[] = {
        {"--help", &Options::help},       {"-h", &Options::help},
        {"--version", &Options::version}, {"--no-pause", &Options::noPause},
        {"--list-ports", &Options::listPorts}, {"--info", &Options::info},
        {"--verify", &Options::verify},   {"--parallel", &Options::parallel},
        {"--station", &Options::station}, {"--force", &Options::force},
        {"--skip-current", &Options::skipCurrent}, {"--wait-for-unit", &Options::waitForUnit},
        {"--require-serial", &Options::requireSerial},
    };
    for (const auto &[name, member] : flags)
        if (arg == name) {
            o.*member = true;
            return READ;
        }
    if (arg != "--events") return NOT_MINE;
    o.record.events = true;
    return READ;
}

Read numberOption(Args &a, const std::string &arg, Options &o) {
    static const struct {
        const char *name, *what, *range;
        long long low, high;
        int Options::*member;
    } numbers[] = {
        {"--units", "a number of units", "a number of units above 0", 1, 1000000, &Options::units},
        {"--baud", "a baud rate", "a baud rate above 0", 1, 2147483647, &Options::baud},
        {"--as-com", "a COM number", "a COM number", 1, 99999999, &Options::asCom},
    };
    for (const auto &n : numbers) {
        if (arg != n.name) continue;
        std::string text;
        if (!a.value(arg, text, n.what)) return REFUSED;
        if (parseDecimal(text, n.low, n.high, o.*n.member)) return READ;
        a.error = arg + " needs " + n.range + ", not '" + text + "'";
        return REFUSED;
    }
    return NOT_MINE;
}

// The options that name a port, a file or a folder.
Read textOption(Args &a, const std::string &arg, Options &o) {
    std::string text;
    bool ok = true;
    if (arg == "--wait-until-gone") ok = a.value(arg, o.waitUntilGone, "the unit's versions");
    else if (arg == "--log-dir") ok = a.value(arg, o.logDir, "a folder");
    else if (arg == "--records-db")
        ok = a.value(arg, o.recordsDb, "an ODBC connection string or @FILE") && readRecordsDb(o.recordsDb, a.error);
    else if (arg == "--records-table")
        ok = a.value(arg, o.recordsTable, "a table's name") && tableNameUsable(o.recordsTable, a.error);
    else if (arg == "--log") ok = a.value(arg, o.record.logFile, "a FILE");
    else if (arg == "--report") ok = a.value(arg, o.record.reportFile, "a FILE");
    else if (arg == "--serial") ok = a.value(arg, o.serial.emplace(), "the unit's serial number");
    else if (arg == "--serial-pattern") {
        o.serialRegex.emplace();
        ok = a.value(arg, o.serialPattern, "a regular expression") && serialPatternRead(o.serialPattern, *o.serialRegex, a.error);
    } else if (arg == "--port") ok = a.value(arg, o.port, "a port") && portNameUsable(o.port, a.error);
    else if (arg == "--ports") {
        ok = a.value(arg, text, "a list of ports");
        o.ports = ok ? splitList(text) : std::vector<std::string>();
        o.portLabels.clear();
        for (std::string &name : o.ports)
            ok = ok && splitLabel(name, o.portLabels, a.error) && portNameUsable(name, a.error);
    } else if (arg == "--beside") {
        ok = a.value(arg, text, "a list of ports");
        o.beside = ok ? splitList(text) : std::vector<std::string>();
        for (const std::string &name : o.beside) ok = ok && portNameUsable(name, a.error);
    } else return NOT_MINE;
    return ok ? READ : REFUSED;
}

// --serve DIR... --http [ADDR:]PORT
Read serveOption(Args &a, const std::string &arg, Options &o) {
    if (arg == "--serve") {
        // The folders: every argument up to the next option.
        while (a.valueFollows()) o.serveDirs.push_back(a.argv[++a.i]);
        if (!o.serveDirs.empty()) return READ;
        a.error = "option --serve needs a station folder";
        return REFUSED;
    }
    if (arg != "--http") return NOT_MINE;
    std::string text;
    if (!a.value(arg, text, "[ADDR:]PORT") || !parseHttp(text, o.httpAddress, o.httpPort, a.error)) return REFUSED;
    o.http = true;
    return READ;
}

// --write-image mcu|tx|rx FILE, --export-web [FILE]
Read fileOption(Args &a, const std::string &arg, Options &o) {
    if (arg == "--export-web") {
        o.exportWeb = true;
        // FILE is optional: an argument that begins with "--" is the next option.
        if (a.valueFollows()) o.exportWebFile = a.argv[++a.i];
        return READ;
    }
    if (arg != "--write-image") return NOT_MINE;
    if (!a.value(arg, o.writeImageKind, "a kind (mcu, tx or rx) and a FILE")) return REFUSED;
    if (o.writeImageKind != "mcu" && o.writeImageKind != "tx" && o.writeImageKind != "rx")
        a.error = "--write-image takes mcu, tx or rx, not '" + o.writeImageKind + "'";
    else if (!a.valueFollows()) a.error = "--write-image " + o.writeImageKind + ": FILE is missing";
    else o.writeImageFile = a.argv[++a.i];
    return a.error.empty() ? READ : REFUSED;
}

} // namespace

// Argument number `n`, which no option takes, as it may be shown: a message on stderr goes to a
// service's system journal. After --records-db it may be a piece of a connection string that the
// shell split at a space (the driver's name holds one), so it is never shown whole.
static std::string unknownOption(const std::string &arg, int n, bool afterRecordsDb) {
    const std::string shown = connectionHoldsPassword(arg) ? connectionMasked(arg) : arg;
    const char *quote = "quote a connection string that holds a space";
    if (!afterRecordsDb) return "unknown option '" + shown + "'";
    if (shown != arg) return "unknown option '" + shown + "' after --records-db: " + quote;
    return "unknown option (argument " + std::to_string(n) + ", after --records-db, not shown as it may hold the password): " +
           quote;
}

bool parseOptions(int argc, char **argv, Options &o, std::string &error) {
    // The connection string from the environment, taken out of it at once: the runs a station
    // starts (its page's server among them) are not to hold the password, nor this process's
    // own environment.
    const std::string fromEnvironment = platformTakeEnvironment("FWUPGRADE_RECORDS_DB");
    Args a{argc, argv, 1, error};
    bool afterRecordsDb = false;
    for (; a.i < argc; ++a.i) {
        const std::string arg = argv[a.i];
        afterRecordsDb = afterRecordsDb || arg == "--records-db";
        Read read = flagOption(arg, o);
        for (auto group : {numberOption, textOption, serveOption, fileOption})
            if (read == NOT_MINE) read = group(a, arg, o);
        if (read == REFUSED) return false;
        if (read == NOT_MINE) {
            error = unknownOption(arg, a.i, afterRecordsDb);
            return false;
        }
    }
    std::string text = fromEnvironment;
    if (o.recordsDb.empty() && (o.station || !o.serveDirs.empty()) && !text.empty() && readRecordsDb(text, error))
        o.recordsDb = text;
    if (!error.empty()) return false;
    if (o.recordsTable != "fwupgrade_unit" && o.recordsDb.empty()) {
        error = "--records-table needs --records-db";
        return false;
    }
    return checkCombination(o, error);
}

const char *usageText() {
    return "Usage: FwUpgrade [options]\n"
           "Updates a 6G-SDI fibre extender unit (TX or RX) over a serial port with the FPGA and MCU\n"
           "firmware carried inside this program. With no options it finds the unit by itself and\n"
           "asks for the COM port and baud rate only when no unit answers.\n"
           "\n"
           "Options:\n"
           "  --port P --baud B      use port P at B baud instead of detecting\n"
           "                         (P: COM number, COMn, or on Linux a device path)\n"
           "  --port P               detect the baud rate on port P alone\n"
           "  --ports LIST           detect on these ports only, in this order (comma-separated);\n"
           "                         with --station an entry may name its slot: A1=/dev/ttyUSB0,A2=COM7\n"
           "  --info                 identify the unit (versions, TX or RX, whether it runs the firmware\n"
           "                         carried) and update nothing; with --port/--ports/--baud as an update\n"
           "  --verify               after the reboot ask the unit for its versions again: success only\n"
           "                         when it runs the firmware sent (exit 1 when it runs another)\n"
           "  --log FILE             append a timestamped session log of the run to FILE\n"
           "  --report FILE          write the run as one JSON document to FILE when it ends\n"
           "  --events               JSON Lines events on stdout instead of the console text (for\n"
           "                         scripts; the text goes to the --log); no dialogue, no key press\n"
           "  --parallel             update the unit on every port at once (with --ports LIST: on those),\n"
           "                         each verified, with a live view; logs and report.json in a folder\n"
           "  --log-dir DIR          that folder (default FwUpgrade-logs/DATE_TIME in this folder)\n"
           "  --skip-current         leave a unit that already runs the carried firmware alone (exit 0)\n"
           "  --station              run until stopped: watch the ports (--ports LIST, or every USB serial\n"
           "                         adapter) and update each unit plugged in, once; its record goes\n"
           "                         to --log-dir (default FwUpgrade-logs/station), journal.jsonl included.\n"
           "                         The first Ctrl-C lets the updates under way finish, the second stops them\n"
           "  --serial TEXT          the serial number on the unit's label: in its log, report and events\n"
           "  --require-serial       (--station) update no unit before its label is scanned into the\n"
           "                         station's console (a barcode reader types it, then Enter)\n"
           "  --serial-pattern REGEX (--station, --serial) what a serial number must match, whole\n"
           "  --force                (--station) update units that already run the carried firmware too\n"
           "  --units N              (--station) end once N units have been handled\n"
           "  --serve DIR... --http [ADDR:]PORT\n"
           "                         serve these station folders read-only over HTTP until stopped: a live\n"
           "                         page, a JSON API (/api/v1/...), /metrics for Prometheus, each unit's\n"
           "                         log and report. ADDR defaults to 127.0.0.1 (this machine only); PORT 0\n"
           "                         takes a free port. The address it listens at is printed\n"
           "  --http [ADDR:]PORT     (--station) serve the station's folder so while it runs\n"
           "  --records-db CONNECTION|@FILE\n"
           "                         (--station, --serve) send each journal line to the plant's database,\n"
           "                         an ODBC connection string (or FWUPGRADE_RECORDS_DB), one row a line\n"
           "  --records-table NAME   that database's table (default fwupgrade_unit, created when missing)\n"
           "  --list-ports           list the serial ports this machine has, with their COM numbers\n"
           "  --export-web [FILE]    write the MCU image as the web upload file (default FwToUpload.bin)\n"
           "  --write-image mcu|tx|rx FILE\n"
           "                         write the flat image an update would send, with its checksum\n"
           "  --no-pause             do not wait for a key press at the end\n"
           "  --version              show the program and firmware versions\n"
           "  --help                 show this text\n"
           "  --as-com N, --wait-for-unit, --wait-until-gone VERSIONS, --beside PORTS\n"
           "                         used by --parallel and --station for the runs they start\n"
           "\n"
           "Exit status:\n"
           // Code and meaning at least two spaces apart: the man page is made from this text.
           "  0         the update succeeded (or the requested file was written, or --info identified\n"
           "            the unit)\n"
           "  1         the update failed (with --verify: the unit runs other firmware after its reboot),\n"
           "            a file could not be written, or no unit it can update answered (--info, --events)\n"
           "  2         wrong option or operator input, or end of input\n"
           "  3         both images were accepted but the unit did not confirm it is running after its\n"
           "            reboot\n"
           "  130       stopped by Ctrl-C or a termination signal (the port is restored first)\n"
           "  255 (-1)  the port given cannot be opened or its baud rate cannot be set\n";
}
