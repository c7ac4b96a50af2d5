#ifndef SERVEREQUEST_H_
#define SERVEREQUEST_H_

// What --serve reads from its requests and a journal, checked before anything uses it: pure
// functions, no sockets, no files.

#include <string>

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
#endif
