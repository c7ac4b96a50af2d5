// The command line: what each form means, and what is refused.
#include "Options.h"

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

TEST(Options, RefusedForms) {
    const std::vector<std::vector<const char *>> refused = {
        {"--bogus"}, {"--baud", "9600"}, {"--port", "COM1", "--baud", "0"}, {"--port", "COM1", "--baud", "fast"},
        {"--port"}, {"--write-image", "dsp", "x.bin"}, {"--write-image", "tx"}, {"--port", "1", "--ports", "2"},
    };
    for (const auto &args : refused) {
        Options o;
        std::string error;
        EXPECT_FALSE(parse(args, o, error)) << args[0];
        EXPECT_FALSE(error.empty());
    }
}

} // namespace
