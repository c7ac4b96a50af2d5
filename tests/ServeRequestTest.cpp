// What --serve accepts from a request or a journal before anything reads a file, and the
// escaping of what it hands to Prometheus.
#include "serve/ServeFolder.h"
#include "serve/ServeMetrics.h"
#include "serve/ServeRequest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(ServeRequest, IndexesAreDecimalDigitsWithinTheirRange) {
    const struct {
        const char *text;
        bool accepted;
        long long value;
    } cases[] = {
        {"", true, 7},     {"0", true, 0},     {"42", true, 42},   {"1000", true, 1000}, {"1001", false, 0},
        {"-1", false, 0},  {"+1", false, 0},   {" 1", false, 0},   {"1 ", false, 0},     {"0x1", false, 0},
        {"1e3", false, 0}, {"1.0", false, 0},  {"..", false, 0},   {"99999999999999999999", false, 0},
    };
    for (const auto &c : cases) {
        long long value = -5;
        EXPECT_EQ(serveParseIndex(c.text, 0, 1000, 7, value), c.accepted) << c.text;
        EXPECT_EQ(value, c.accepted ? c.value : -5) << c.text;
    }
}

TEST(ServeRequest, OnlyPlainNamesReachTheFolder) {
    for (const char *name : {"port-ttyUSB0-2026-12-07_17-58-32.log", "a.report.json", "..x", "x..", "a b"})
        EXPECT_TRUE(serveIsPlainFileName(name)) << name;
    for (const std::string &name : std::vector<std::string>{"", ".", "..", "../x", "/etc/passwd", "a/b", "a\\b", "..\\x", "C:x", "x:stream",
                                   std::string("a\0b", 3), "a\nb", "a\x7f", std::string(256, 'a')})
        EXPECT_FALSE(serveIsPlainFileName(name)) << name;
}

TEST(ServeRequest, LoopbackAddresses) {
    for (const char *address : {"127.0.0.1", "127.1.2.3", "::1", "localhost"}) EXPECT_TRUE(serveIsLoopback(address));
    for (const char *address : {"0.0.0.0", "::", "10.0.0.5", "128.0.0.1", "localhost.example"})
        EXPECT_FALSE(serveIsLoopback(address)) << address;
    const std::pair<const char *, const char *> hosts[] = {
        {"127.0.0.1:8080", "127.0.0.1"}, {"[::1]:80", "::1"}, {"localhost", "localhost"}, {"", ""}, {"[::1", "::1"}};
    for (const auto &[header, host] : hosts) EXPECT_EQ(serveHostOf(header), host) << header;
}

TEST(ServeFolder, JournalTimesWithTheirOffsets) {
    const struct {
        const char *text;
        bool ok;
        long long ms;
    } cases[] = {
        {"1970-01-01T00:00:00+00:00", true, 0},
        {"2026-12-07T17:58:32.592+00:00", true, 1796666312592LL},
        {"2026-12-07T18:58:32.592+01:00", true, 1796666312592LL},
        {"2026-12-07T17:58:32.5Z", true, 1796666312500LL},
        {"2026-12-07T17:58:32", false, 0},
        {"2026-13-07T17:58:32Z", false, 0},
        {"2026-12-07 17:58:32Z", false, 0},
        {"2026-12-07T17:58:32+0100", false, 0},
        {"", false, 0},
    };
    for (const auto &c : cases) {
        long long ms = -1;
        EXPECT_EQ(serveParseTime(c.text, ms), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(ms, c.ms) << c.text;
        }
    }
}

TEST(ServeMetrics, LabelValuesEscapedAsTheFormatWants) {
    EXPECT_EQ(serveMetricLabel("plain"), "plain");
    EXPECT_EQ(serveMetricLabel("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
}

} // namespace
