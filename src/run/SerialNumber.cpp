#include "run/SerialNumber.h"

#include <algorithm>

bool serialPatternRead(const std::string &text, std::regex &pattern, std::string &error) {
    try {
        pattern = std::regex(text, std::regex::ECMAScript);
        return true;
    } catch (const std::regex_error &e) {
        error = "--serial-pattern '" + text + "' is not a regular expression: " + e.what();
        return false;
    }
}

std::string serialNumberProblem(const std::string &text, const std::regex *pattern) {
    if (text.empty()) return "is empty";
    if (text.size() > kSerialMax) return "is longer than " + std::to_string(kSerialMax) + " characters";
    // Printable ASCII only: what a label's barcode carries, and what every console, file and
    // command line of both systems passes unchanged.
    if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7f; }))
        return "holds control or non-ASCII characters";
    // A pattern that backtracks without end stops at the library's limit: refused, never a hang.
    try {
        if (pattern != nullptr && !std::regex_match(text, *pattern)) return "does not match --serial-pattern";
    } catch (const std::regex_error &) {
        return "is too complex for --serial-pattern to match";
    }
    return "";
}
