// What --serve accepts from a request before anything reads a file.
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
    for (const char *address : {"0.0.0.0", "::", "10.0.0.5", "128.0.0.1", "localhost.example", "127.attacker.example",
                                "127.0.0.1.nip.io", "127.0.0.256", "127.1"})
        EXPECT_FALSE(serveIsLoopback(address)) << address;
    const std::pair<const char *, const char *> hosts[] = {
        {"127.0.0.1:8080", "127.0.0.1"}, {"[::1]:80", "::1"}, {"localhost", "localhost"}, {"", ""}, {"[::1", "::1"}};
    for (const auto &[header, host] : hosts) EXPECT_EQ(serveHostOf(header), host) << header;
}

// A page served under another name that was made to lead here (DNS rebinding) is not answered.
TEST(ServeRequest, OnlyThisMachinesOwnNamesAreHosts) {
    ServeHosts loopback;
    ServeHosts network{false, "0.0.0.0", {"bench-3", "bench-3.plant.example", "ff-line"},
                       [](const std::string &) { return true; }}; // any address would bind: only its kind decides
    const struct {
        const char *host;
        bool onLoopback, onNetwork;
    } cases[] = {
        {"127.0.0.1:8080", true, true},     {"127.9.9.9", true, true},           {"[::1]:80", true, true},
        {"localhost:8080", true, true},     {"LOCALHOST", true, true},           {"127.attacker.example", false, false},
        {"127.0.0.1.nip.io:80", false, false}, {"localhost.example", false, false}, {"localhost.", false, false},
        {"", false, false},                 {"bench-3:8080", false, true},       {"BENCH-3.plant.example", false, true},
        {"bench-3.attacker.example", false, false}, {"192.168.7.20:80", false, true}, {"[fe80::1]:80", false, true},
        {"ff-line", false, true},           {"0.0.0.0", false, false},           {"10.0.0.1.example", false, false},
        {"[::]:80", false, false},          {"224.0.0.1", false, false},         {"255.255.255.255", false, false},
        {"[ff02::1]", false, false},        {"[::1]evil.example", false, false}, {"[::1", false, false},
        {"localhost:80@evil.example", false, false}, {"bench-3:80@evil.example", false, false},
        {"127.0.0.1:80:80", false, false},  {"[::1]:80]", false, false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(serveHostAccepted(c.host, loopback), c.onLoopback) << c.host;
        EXPECT_EQ(serveHostAccepted(c.host, network), c.onNetwork) << c.host;
    }
    const ServeHosts named{false, "10.1.2.3", {}, [](const std::string &a) { return a == "10.1.2.3"; }};
    EXPECT_TRUE(serveHostAccepted("10.1.2.3:8080", named));
    EXPECT_FALSE(serveHostAccepted("10.1.2.4:8080", named)); // an address not this machine's
}

} // namespace
