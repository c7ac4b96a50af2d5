#include "Console.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

static std::string *gCapture = nullptr;
static void (*gRecorder)(const char *, size_t) = nullptr;
static bool gRecorderOnly = false;

void consoleSetRecorder(void (*recorder)(const char *, size_t), bool instead) {
    gRecorder = recorder;
    gRecorderOnly = recorder != nullptr && instead;
}

void consoleWrite(const char *bytes, size_t n) {
    if (gRecorder) gRecorder(bytes, n);
    if (gCapture) {
        gCapture->append(bytes, n);
        return;
    }
    if (gRecorderOnly) return; // stdout carries something else (the events)
    std::fwrite(bytes, 1, n, stdout);
    std::fflush(stdout);
}

void consolePrint(const char *text) { consoleWrite(text, std::strlen(text)); }

void consoleLine(const char *text) {
    consolePrint(text);
    consoleWrite("\n", 1);
}

void consolePrintf(const char *format, ...) {
    va_list args, copy;
    va_start(args, format);
    va_copy(copy, args);
    int len = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (len > 0) {
        std::vector<char> text((size_t)len + 1);
        std::vsnprintf(text.data(), text.size(), format, args);
        consoleWrite(text.data(), (size_t)len);
    }
    va_end(args);
}

std::string consoleSafeText(const std::string &bytes, size_t total) {
    const size_t limit = 200;
    std::string text;
    size_t shown = 0;
    for (; shown < bytes.size() && text.size() < limit; ++shown) {
        const unsigned char c = (unsigned char)bytes[shown];
        if ((c >= 0x20 && c < 0x7F) || c == '\r' || c == '\n') {
            text += (char)c;
        } else {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            text += escape;
        }
    }
    if (shown < total) text += "... (" + std::to_string(total) + " bytes received)";
    return text;
}

static std::string gCaptured;

void consoleCaptureBegin() {
    gCaptured.clear();
    gCapture = &gCaptured;
}

std::string consoleCaptureEnd() {
    gCapture = nullptr;
    return std::move(gCaptured);
}
