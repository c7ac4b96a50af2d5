// The command line: what each form means, and what is refused.
#include "run/Options.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

bool parse(std::vector<const char *> args, Options &o, std::string &error) {
    args.insert(args.begin(), "FwUpgrade");
    return parseOptions((int)args.size(), const_cast<char **>(args.data()), o, error);
}

TEST(Options, AcceptedForms) {
    Options o;
    std::string error;
    ASSERT_TRUE(parse({"--port", "COM3", "--baud", "57600", "--no-pause"}, o, error)) << error;
    EXPECT_EQ(o.port, "COM3");
    EXPECT_EQ(o.baud, 57600);
    EXPECT_TRUE(o.noPause);

    o = Options();
    ASSERT_TRUE(parse({"--ports", "1,COM4,/dev/ttyUSB0"}, o, error)) << error;
    EXPECT_EQ(o.ports, (std::vector<std::string>{"1", "COM4", "/dev/ttyUSB0"}));

    o = Options();
    ASSERT_TRUE(parse({"--station", "--ports", "A1=/dev/ttyUSB0,COM4,Bench 2=7"}, o, error)) << error;
    EXPECT_EQ(o.ports, (std::vector<std::string>{"/dev/ttyUSB0", "COM4", "7"}));
    EXPECT_EQ(o.portLabels, (std::vector<std::string>{"A1", "", "Bench 2"}));

    o = Options();
    ASSERT_TRUE(parse({"--export-web", "--no-pause"}, o, error)) << error;
    EXPECT_TRUE(o.exportWeb);
    EXPECT_EQ(o.exportWebFile, "FwToUpload.bin"); // "--no-pause" is the next option, not FILE
    EXPECT_TRUE(o.noPause);

    o = Options();
    ASSERT_TRUE(parse({"--export-web", "out.bin"}, o, error)) << error;
    EXPECT_EQ(o.exportWebFile, "out.bin");

    o = Options();
    ASSERT_TRUE(parse({"--write-image", "tx", "tx.bin"}, o, error)) << error;
    EXPECT_EQ(o.writeImageKind, "tx");
    EXPECT_EQ(o.writeImageFile, "tx.bin");
}

const char kUpdateOnly[] =
    "--port, --ports, --baud, --verify, --log, --report and --events belong to an update or --info only";

TEST(Options, RefusedForms) {
    const struct {
        std::vector<const char *> args;
        const char *error;
    } refused[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--baud", "9600"}, "--baud needs --port"},
        {{"--port", "COM1", "--baud", "0"}, "--baud needs a baud rate above 0, not '0'"},
        {{"--port", "COM1", "--baud", "fast"}, "--baud needs a baud rate above 0, not 'fast'"},
        {{"--port"}, "option --port needs a port"},
        {{"--port", ""}, "an empty port name"},
        {{"--port", "0"}, "'0' is not a valid port: COM numbers start at 1 and have at most 8 digits"},
        {{"--ports", "2,COM0"}, "'COM0' is not a valid port: COM numbers start at 1 and have at most 8 digits"},
        {{"--ports", "2,,3"}, "an empty port name"},
        {{"--station", "--ports", "A1=1,A1=2"}, "the label 'A1' names two ports"},
        {{"--station", "--ports", "<b>=1"},
         "the label '<b>' is not usable: 1 to 16 letters, digits, spaces or - _ . # + ( )"},
        {{"--station", "--ports", "=1"}, "the label '' is not usable: 1 to 16 letters, digits, spaces or - _ . # + ( )"},
        {{"--parallel", "--ports", "A1=1"}, "labels in --ports (A1=PORT) belong to --station"},
        {{"--port", "com123456789"},
         "'com123456789' is not a valid port: COM numbers start at 1 and have at most 8 digits"},
        {{"--write-image", "dsp", "x.bin"}, "--write-image takes mcu, tx or rx, not 'dsp'"},
        {{"--write-image", "tx"}, "--write-image tx: FILE is missing"},
        {{"--write-image", "tx", "--no-pause"}, "--write-image tx: FILE is missing"},
        {{"--port", "1", "--ports", "2"}, "--port and --ports cannot be used together"},
        {{"--export-web", "--write-image", "tx", "t.bin"},
         "--info, --list-ports, --export-web and --write-image cannot be used together"},
        {{"--write-image", "tx", "t.bin", "--port", "COM3"}, kUpdateOnly},
        {{"--export-web", "--ports", "3"}, kUpdateOnly},
        {{"--write-image", "mcu", "m.bin", "--report", "r.json"}, kUpdateOnly},
        {{"--info", "--verify"}, "--verify belongs to an update: --info changes nothing to verify"},
        {{"--info", "--export-web"}, "--info, --list-ports, --export-web and --write-image cannot be used together"},
        {{"--station", "--serial", "S1"}, "--serial belongs to the run of one unit (an update, --info)"},
        {{"--require-serial"}, "--require-serial belongs to --station"},
        {{"--serial-pattern", "S.*"}, "--serial-pattern belongs to --station and --serial"},
        {{"--serial", ""}, "the serial number '' is empty"},
        {{"--serial", "A\x1b[2J"}, "the serial number 'A\\x1b[2J' holds control or non-ASCII characters"},
        {{"--serial", "S1", "--serial-pattern", "[0-9]+"}, "the serial number 'S1' does not match --serial-pattern"},
        {{"--station", "--ports", "A1=COM3,SN-2=COM4", "--serial-pattern", "SN-[0-9]+"},
         "the label 'SN-2' matches --serial-pattern: its scan would not be told from a serial number's"},
        {{"--station", "--serial-pattern", "(S)\\1"}, "--serial-pattern '(S)\\1' holds a back-reference (\\1), which is not taken"},
        {{"--station", "--serial-pattern", "(S"},
         "--serial-pattern '(S' is not a regular expression: Mismatched '(' and ')' in regular expression"},
    };
    for (const auto &c : refused) {
        Options o;
        std::string error;
        EXPECT_FALSE(parse(c.args, o, error)) << c.error;
        EXPECT_EQ(error, c.error);
    }
}

TEST(Options, ServeForms) {
    const struct {
        std::vector<const char *> args;
        std::vector<std::string> dirs;
        const char *address;
        int port;
    } accepted[] = {
        {{"--serve", "a", "--http", "8080"}, {"a"}, "127.0.0.1", 8080},
        {{"--serve", "a", "b c", "--http", "0.0.0.0:0"}, {"a", "b c"}, "0.0.0.0", 0},
        {{"--http", "[::1]:65535", "--serve", "a"}, {"a"}, "::1", 65535},
        {{"--serve", "a", "--http", "localhost:80", "--no-pause"}, {"a"}, "localhost", 80},
    };
    for (const auto &c : accepted) {
        Options o;
        std::string error;
        ASSERT_TRUE(parse(c.args, o, error)) << error;
        EXPECT_EQ(o.serveDirs, c.dirs);
        EXPECT_EQ(o.httpAddress, c.address);
        EXPECT_EQ(o.httpPort, c.port);
    }
}

TEST(Options, ServeRefusedForms) {
    const struct {
        std::vector<const char *> args;
        const char *error;
    } refused[] = {
        {{"--serve"}, "option --serve needs a station folder"},
        {{"--serve", "--http", "80"}, "option --serve needs a station folder"},
        {{"--serve", "a"}, "--serve needs --http [ADDR:]PORT"},
        {{"--http", "80"}, "--http belongs to --serve"},
        {{"--http"}, "option --http needs [ADDR:]PORT"},
        {{"--serve", "a", "--http", "65536"}, "--http needs a port number from 0 (any free port) to 65535, not '65536'"},
        {{"--serve", "a", "--http", "-1"}, "--http needs a port number from 0 (any free port) to 65535, not '-1'"},
        {{"--serve", "a", "--http", "1.2.3.4:"}, "--http needs a port number from 0 (any free port) to 65535, not ''"},
        {{"--serve", "a", "--http", ":80"}, "--http needs [ADDR:]PORT (an IPv6 address in brackets), not ':80'"},
        {{"--serve", "a", "--http", "::1:80"}, "--http needs [ADDR:]PORT (an IPv6 address in brackets), not '::1:80'"},
        {{"--serve", "a", "--http", "80", "--station"}, "--serve takes station folders and --http only"},
        {{"--serve", "a", "--http", "80", "--ports", "1"}, "--serve takes station folders and --http only"},
        {{"--serve", "a", "--http", "80", "--list-ports"}, "--serve takes station folders and --http only"},
    };
    for (const auto &c : refused) {
        Options o;
        std::string error;
        EXPECT_FALSE(parse(c.args, o, error)) << c.error;
        EXPECT_EQ(error, c.error);
    }
}

TEST(Options, RecordsDbForms) {
    const struct {
        std::vector<const char *> args;
        const char *error; // "" when accepted
        const char *table;
    } cases[] = {
        {{"--station", "--records-db", "DSN=plant"}, "", "fwupgrade_unit"},
        {{"--serve", "a", "--records-db", "DSN=plant", "--records-table", "Plant_Units2"}, "", "Plant_Units2"},
        {{"--serve", "a", "--http", "80", "--records-db", "DSN=plant"}, "", "fwupgrade_unit"},
        {{"--records-db", "DSN=plant"}, "--records-db belongs to --station and --serve", ""},
        {{"--station", "--records-table", "t"}, "--records-table needs --records-db", ""},
        {{"--station", "--records-db"}, "option --records-db needs an ODBC connection string or @FILE", ""},
        {{"--station", "--records-db", "DSN=p", "--records-table", "t; DROP TABLE t"},
         "--records-table needs a plain name (1 to 63 letters, digits or _, not first a digit), not 't; DROP TABLE t'", ""},
        {{"--station", "--records-db", "DSN=p", "--records-table", "2t"},
         "--records-table needs a plain name (1 to 63 letters, digits or _, not first a digit), not '2t'", ""},
        {{"--station", "--records-db", "DSN=p", "--records-table", "\"t\""},
         "--records-table needs a plain name (1 to 63 letters, digits or _, not first a digit), not '\"t\"'", ""},
        {{"--station", "--records-db", "@/nonexistent/file"},
         "--records-db @FILE: '/nonexistent/file' cannot be read (a regular file of at most 64 KiB)", ""},
        // A password on the command line is never shown whole: the shell split an unquoted string
        // at the space in its driver's name, or the value was joined to the option by "=".
        {{"--station", "--records-db", "Driver={PostgreSQL", "Unicode};Server=db;Pwd=hunter22"},
         "unknown option 'Unicode};Server=db;Pwd=***' after --records-db: quote a connection string that holds a space", ""},
        {{"--station", "--records-db", "Driver=x;Pwd={hunter", "22};Server=db"},
         "unknown option (argument 4, after --records-db, not shown as it may hold the password): quote a connection"
         " string that holds a space", ""},
        {{"--station", "--records-db=DSN=plant;PWD=hunter22"}, "unknown option '--records-db=DSN=plant;PWD=***'", ""},
        {{"--station", "Server=db;password = hunter22"}, "unknown option 'Server=db;password =***'", ""},
    };
    for (const auto &c : cases) {
        Options o;
        std::string error;
        EXPECT_EQ(parse(c.args, o, error), *c.error == '\0') << c.error;
        EXPECT_EQ(error, c.error);
        if (*c.error == '\0') {
            EXPECT_EQ(o.recordsTable, c.table);
        }
    }
}

} // namespace
