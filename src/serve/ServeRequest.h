#ifndef SERVEREQUEST_H_
#define SERVEREQUEST_H_

// What --serve reads from its requests and a journal, checked before anything uses it: pure
// functions, no sockets, no files.

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// Whether a browser elsewhere cannot reach address (127.0.0.0/8, ::1, localhost).
bool serveIsLoopback(const std::string &address);

// The Host names the server answers to, so that a page served under another name (one made to
// lead here: DNS rebinding) never reads the station from a browser that can reach it.
struct ServeHosts {
    bool loopback = true;           // it listens on a loopback address
    std::string listen;             // the address it listens on
    std::vector<std::string> names; // this machine's own names, in lower case
    std::function<bool(const std::string &address)> isOwnAddress; // an address of this machine
};
// A literal loopback address (127.0.0.0/8 written as four numbers, ::1) or localhost, with or
// without a port; unless on loopback, also this machine's names and addresses and the address
// it listens on. Nothing else: no name that merely begins like one of these, no malformed Host.
bool serveHostAccepted(const std::string &hostHeader, const ServeHosts &hosts);
// Whether a Host header is a host and an optional port and nothing more: a name or IPv4 address
// (letters, digits, '-', '_', '.'), or an IPv6 address in brackets; then ':' and a port number.
bool serveHostWellFormed(const std::string &header);
// The host of a Host header ("127.0.0.1:8080" -> "127.0.0.1", "[::1]:80" -> "::1").
std::string serveHostOf(const std::string &header);
// A query parameter or path segment that must be a decimal number within [low, high]; an
// absent parameter (empty text) takes fallback. False for anything else (signs, spaces, hex).
bool serveParseIndex(const std::string &text, long long low, long long high, long long fallback, long long &value);
// Whether a journal's "log" or "report" value names a file directly inside the station's
// folder: a plain name, no separator, no "." or "..", no drive or stream, no control character.
bool serveIsPlainFileName(const std::string &name);
#endif
