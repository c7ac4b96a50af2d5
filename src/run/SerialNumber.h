#ifndef SERIALNUMBER_H_
#define SERIALNUMBER_H_

// A unit's serial number, as its label's barcode gives it: the run's --serial, or a scan typed
// into a station's console. It goes into file names' neighbours, logs, JSON and a page, so only
// plain printable text of a label's length is taken.

#include <regex>
#include <string>

const size_t kSerialMax = 64;

// --serial-pattern: an ECMAScript regular expression a serial number must match whole. False
// with error set when it is not one.
bool serialPatternRead(const std::string &text, std::regex &pattern, std::string &error);
// Why text is not a usable serial number ("" when it is): empty, longer than kSerialMax, with
// characters a label does not carry (control or non-ASCII), or not matching pattern (null:
// none given).
std::string serialNumberProblem(const std::string &text, const std::regex *pattern);

#endif
