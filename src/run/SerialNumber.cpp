#include "run/SerialNumber.h"

#include <algorithm>

bool serialPatternRead(const std::string &text, std::regex &pattern, std::string &error) {
    auto flags = std::regex::ECMAScript;
#ifdef __GLIBCXX__
    // libstdc++ backtracks without a bound: "(a+)+$" against a 64-character scan would hold the
    // station for years. Its other matcher's time grows with the text's length only; it takes
    // every pattern but one with a back-reference, which is refused here (exit 2 at the start).
    flags |= std::regex_constants::__polynomial;
#endif
    try {
        pattern = std::regex(text, flags);
        return true;
    } catch (const std::regex_error &e) {
        if (e.code() == std::regex_constants::error_complexity) // the back-reference only: its own words
            error = "--serial-pattern '" + text + "' holds a back-reference (\\1), which is not taken";
        else
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
    // Where the library backtracks (MSVC's), a pattern that would without end stops at its limit:
    // refused, never a hang.
    try {
        if (pattern != nullptr && !std::regex_match(text, *pattern)) return "does not match --serial-pattern";
    } catch (const std::regex_error &) {
        return "is too complex for --serial-pattern to match";
    }
    return "";
}
