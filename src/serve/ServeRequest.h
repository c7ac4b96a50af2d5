#ifndef SERVEREQUEST_H_
#define SERVEREQUEST_H_

// What --serve reads from its command line and its requests, checked before anything uses it:
// pure functions, no sockets, no files.

#include <string>

// "[ADDR:]PORT" (ADDR may be "[v6]"): true with address (default 127.0.0.1) and port 0..65535;
// false with error set to a one-line reason.
bool serveParseHttp(const std::string &text, std::string &address, int &port, std::string &error);
// Whether a browser elsewhere cannot reach address (127.0.0.0/8, ::1, localhost).
bool serveIsLoopback(const std::string &address);
// The host of a Host header ("127.0.0.1:8080" -> "127.0.0.1", "[::1]:80" -> "::1").
std::string serveHostOf(const std::string &header);
// A query parameter or path segment that must be a decimal number within [low, high]; an
// absent parameter (empty text) takes fallback. False for anything else (signs, spaces, hex).
bool serveParseIndex(const std::string &text, long long low, long long high, long long fallback, long long &value);
// Whether a journal's "log" or "report" value names a file directly inside the station's
// folder: a plain name, no separator, no "." or "..", no drive or stream, no control character.
bool serveIsPlainFileName(const std::string &name);
// The outcome's column in the station's counts: "updated and verified", "already current",
// "not confirmed", "stopped", or "failed" for every other outcome.
const char *serveOutcomeGroup(const std::string &outcome);
// The order of those columns, for the counts, the chart and the metrics.
extern const char *const SERVE_OUTCOME_GROUPS[5];

#endif
