#include "serve/ServeRequest.h"

#include "base/StringOperations.h"

#include <algorithm>

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

// "a.b.c.d", each a decimal number up to 255; its first number in *first.
static bool isIPv4(const std::string &text, int *first) {
    int parts = 0;
    for (size_t start = 0;;) {
        const size_t dot = text.find('.', start);
        const std::string part = text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (part.empty() || part.size() > 3 || part.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(part) > 255)
            return false;
        if (parts++ == 0 && first != nullptr) *first = std::stoi(part);
        if (dot == std::string::npos) return parts == 4;
        start = dot + 1;
    }
}

static bool isLiteralLoopback(const std::string &host) {
    int first = -1;
    return host == "::1" || (isIPv4(host, &first) && first == 127);
}

bool serveIsLoopback(const std::string &address) { return address == "localhost" || isLiteralLoopback(address); }

bool serveHostAccepted(const std::string &hostHeader, const ServeHosts &hosts) {
    if (!serveHostWellFormed(hostHeader)) return false;
    const std::string host = lowerCase(serveHostOf(hostHeader));
    if (host == "localhost" || isLiteralLoopback(host)) return true;
    if (hosts.loopback || host.empty()) return false;
    // No address a browser could not be at: unspecified, broadcast, multicast.
    int first = -1;
    if (host == "0.0.0.0" || host == "::" || host == "255.255.255.255" || (isIPv4(host, &first) && first >= 224) ||
        (host.find(':') != std::string::npos && host.rfind("ff", 0) == 0))
        return false;
    if (host == lowerCase(hosts.listen)) return true;
    for (const std::string &name : hosts.names)
        if (host == name) return true;
    const bool address = isIPv4(host, nullptr) || host.find(':') != std::string::npos;
    return address && hosts.isOwnAddress && hosts.isOwnAddress(host);
}

bool serveHostWellFormed(const std::string &header) {
    const bool bracketed = !header.empty() && header.front() == '[';
    const size_t hostEnd = bracketed ? header.find(']') : std::min(header.find(':'), header.size());
    if (hostEnd == std::string::npos) return false; // "[::1", never closed
    const std::string host = header.substr(bracketed, hostEnd - bracketed);
    const std::string port = header.substr(hostEnd + bracketed);
    const char *allowed = bracketed ? "0123456789abcdefABCDEF:."
                                    : "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_.";
    long long number = 0;
    const bool portWellFormed = port.empty() || (port.size() > 1 && port[0] == ':' &&
                                                 serveParseIndex(port.substr(1), 0, 65535, 0, number));
    return !host.empty() && host.find_first_not_of(allowed) == std::string::npos && portWellFormed;
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
