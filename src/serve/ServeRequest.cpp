#include "serve/ServeRequest.h"

const char *const SERVE_OUTCOME_GROUPS[5] = {"updated and verified", "already current", "failed", "not confirmed",
                                             "stopped"};

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

bool serveParseHttp(const std::string &text, std::string &address, int &port, std::string &error) {
    const size_t colon = text.rfind(':');
    std::string portText = text;
    address = "127.0.0.1";
    if (colon != std::string::npos) {
        address = text.substr(0, colon);
        portText = text.substr(colon + 1);
        if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
            address = address.substr(1, address.size() - 2);
        else if (address.find(':') != std::string::npos) address.clear(); // a v6 address needs brackets
    }
    long long n = 0;
    if (address.empty()) error = "--http needs [ADDR:]PORT (an IPv6 address in brackets), not '" + text + "'";
    else if (!serveParseIndex(portText, 0, 65535, -1, n) || portText.empty())
        error = "--http needs a port number from 0 (any free port) to 65535, not '" + portText + "'";
    port = (int)n;
    return error.empty();
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

const char *serveOutcomeGroup(const std::string &outcome) {
    for (const char *group : SERVE_OUTCOME_GROUPS)
        if (outcome == group && outcome != "failed") return group;
    return "failed";
}
