#include "serve/ServeRequest.h"

static bool allDigits(const std::string &text) {
    if (text.empty() || text.size() > 18) return false; // 18 digits always fit a long long
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

bool serveParseIndex(const std::string &text, long long low, long long high, long long fallback, long long &value) {
    if (text.empty()) {
        value = fallback;
        return true;
    }
    if (!allDigits(text)) return false;
    const long long n = std::stoll(text);
    if (n < low || n > high) return false;
    value = n;
    return true;
}

bool serveIsLoopback(const std::string &address) {
    return address == "localhost" || address == "::1" || address.rfind("127.", 0) == 0;
}

std::string serveHostOf(const std::string &header) {
    if (!header.empty() && header.front() == '[') return header.substr(1, header.find(']') - 1);
    return header.substr(0, header.find(':'));
}

bool serveIsPlainFileName(const std::string &name) {
    if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == ':') return false;
    return true;
}
