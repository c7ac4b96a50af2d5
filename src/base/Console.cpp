#include "base/Console.h"

#include <condition_variable>
#include <cstdarg>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

static std::string *gCapture = nullptr;
// A thread's text held for its owner to print in order (detection's probes, each on its thread).
static thread_local std::string *tHeld = nullptr;
static void (*gRecorder)(const char *, size_t) = nullptr;
static thread_local void (*tRecorder)(const char *, size_t) = nullptr; // a holding thread's, taken at its hold
static bool gRecorderOnly = false;

void consoleSetRecorder(void (*recorder)(const char *, size_t), bool instead) {
    gRecorder = recorder;
    gRecorderOnly = instead;
}

namespace {
// The writer's queue: what waits for stdout, and what it is writing now.
struct Writer {
    std::mutex lock;
    std::condition_variable wake;
    std::string waiting;
    size_t writing = 0;
    bool running = false, ending = false;
};
// Never destroyed: text may still be written while the program exits.
Writer &gWriter = *new Writer;
const size_t kWaitingMax = 1 << 20;

void writeOut(const char *bytes, size_t n) {
    std::fwrite(bytes, 1, n, stdout);
    std::fflush(stdout);
}

void writerLoop() {
    std::unique_lock<std::mutex> hold(gWriter.lock);
    for (;;) {
        gWriter.wake.wait(hold, [] { return !gWriter.waiting.empty() || gWriter.ending; });
        if (gWriter.waiting.empty()) break;
        const std::string text = std::move(gWriter.waiting);
        gWriter.waiting.clear();
        gWriter.writing = text.size();
        hold.unlock();
        writeOut(text.data(), text.size()); // may wait as long as the console takes nothing
        hold.lock();
        gWriter.writing = 0;
    }
    gWriter.running = false;
    gWriter.wake.notify_all();
}
} // namespace

static void show(const char *bytes, size_t n) {
    if (gCapture) {
        gCapture->append(bytes, n);
        return;
    }
    if (gRecorderOnly) return; // stdout carries something else (the events)
    {
        std::lock_guard<std::mutex> hold(gWriter.lock);
        if (gWriter.running) {
            if (gWriter.waiting.size() + n <= kWaitingMax) gWriter.waiting.append(bytes, n);
            gWriter.wake.notify_one();
            return;
        }
    }
    writeOut(bytes, n);
}

void consoleWriterBegin() {
    static bool registered = false;
    std::lock_guard<std::mutex> hold(gWriter.lock);
    if (gWriter.running) return;
    gWriter.ending = false;
    try {
        std::thread(writerLoop).detach();
        gWriter.running = true;
    } catch (const std::system_error &) { // no thread to be had: written as before, in the caller
        return;
    }
    if (!registered) std::atexit(consoleWriterEnd); // what waits is written however the program ends
    registered = true;
}

void consoleWriterEnd() {
    std::unique_lock<std::mutex> hold(gWriter.lock);
    gWriter.ending = true;
    gWriter.wake.notify_all();
    gWriter.wake.wait(hold, [] { return !gWriter.running; });
}

size_t consoleBacklog() {
    std::lock_guard<std::mutex> hold(gWriter.lock);
    return gWriter.waiting.size() + gWriter.writing;
}

void consoleWrite(const char *bytes, size_t n) {
    if (tHeld) {
        tHeld->append(bytes, n);
        if (tRecorder) tRecorder(bytes, n);
        return;
    }
    if (gRecorder) gRecorder(bytes, n);
    show(bytes, n);
}

void consoleShowHeld(const std::string &text) { show(text.data(), text.size()); }

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

// The one way the unit's bytes become text to show. oneLine: CR, LF, backslash and quote
// escaped too. Stops once the text reaches `limit` characters; `shown` tells how many bytes it took.
static std::string visibleBytes(const std::string &bytes, bool oneLine, size_t limit, size_t &shown) {
    std::string text;
    for (shown = 0; shown < bytes.size() && text.size() < limit; ++shown) {
        const unsigned char c = (unsigned char)bytes[shown];
        if (oneLine && (c == '\r' || c == '\n')) {
            text += c == '\r' ? "\\r" : "\\n";
        } else if (oneLine && (c == '\\' || c == '"')) {
            text += '\\';
            text += (char)c;
        } else if ((c >= 0x20 && c < 0x7F) || c == '\r' || c == '\n') {
            text += (char)c;
        } else {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            text += escape;
        }
    }
    return text;
}

std::string consoleSafeText(const std::string &bytes, size_t total) {
    size_t shown = 0;
    std::string text = visibleBytes(bytes, false, 200, shown);
    if (shown < total) text += "... (" + std::to_string(total) + " bytes received)";
    return text;
}

std::string quotedText(const std::string &bytes) {
    size_t shown = 0;
    std::string text = "\"";
    text += visibleBytes(bytes, true, std::string::npos, shown);
    return text += '"';
}

std::string consoleSafeName(const std::string &name) {
    std::string text;
    for (const char c : name) {
        char escape[5];
        std::snprintf(escape, sizeof escape, "\\x%02x", (unsigned char)c);
        text += (unsigned char)c < 0x20 || c == 0x7F ? escape : std::string(1, c);
    }
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

void consoleHoldOnThisThread(std::string *held) {
    tHeld = held;
    tRecorder = held ? gRecorder : nullptr;
}
