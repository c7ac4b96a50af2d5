// Command and data exchange with the unit: framing, reply collection, streaming.
#include "unit/Exchange.h"

#include "base/Clock.h"
#include "base/Console.h"
#include "record/Record.h"
#include "unit/ComPortAPI.h"
#include "unit/RunBuffers.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

static const int kReadRequest = DATA_BUFFER_SIZE - 1; // leaves room for the terminating zero
static const int kWriteChunk = 10240;
static const size_t kShownBytes = 4096; // of a reply, for the operator and the log

// A collected reply: the text compared (each read's share ends at its first zero byte),
// the first bytes as they came (for the operator), and how many came in all.
struct Reply {
    std::string text;
    std::string firstBytes;
    size_t received = 0;
};

// Per thread: detection's probes run on threads of their own, each on its port.
static thread_local bool gLineFailed = false;
static thread_local size_t gReplyBytes = 0;

bool exchangeLineFailed() { return gLineFailed; }

size_t exchangeReplyBytes() { return gReplyBytes; }

namespace {

// The line an exchange goes over: the run's port and gDataBuffer, or a probe's own.
struct Line {
    ComPort &port;
    char *buffer; // DATA_BUFFER_SIZE bytes

    BOOL read(int count, int *got) const { return ComPort_read(port, buffer, count, got); }
    BOOL write(const void *bytes, int count, int *written) const { return ComPort_write(port, bytes, count, written); }
};

Line runLine() { return {ComPortAPI_port(), gDataBuffer}; }

} // namespace

// Reads until a read brings nothing. Returns false as soon as the reply can no longer be
// `expected`: more bytes came than it holds (zero bytes count too, though they add nothing to
// the text), or more than the buffer holds when nothing is compared. Collection stops there,
// so a unit that never falls silent (chatter, a flood of zero bytes) cannot hold the program,
// and the reply counts as a mismatch.
static bool collectReply(const Line &line, Reply &reply, const char *expected, BOOL validate) {
    const size_t enough = validate == TRUE ? std::strlen(expected) : (size_t)kReadRequest;
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        int count = 0;
        gLineFailed = !line.read(kReadRequest, &count);
        char *const data = line.buffer;
        data[count] = '\0';
        if (count == 0) {
            recordReply(reply.firstBytes, reply.received, secondsSince(start));
            return true;
        }
        reply.received += (size_t)count;
        gReplyBytes = reply.received;
        if (reply.firstBytes.size() < kShownBytes)
            reply.firstBytes.append(data, std::min((size_t)count, kShownBytes - reply.firstBytes.size()));
        if (reply.received > enough) {
            data[0] = '\0'; // as after a complete collection
            recordReply(reply.firstBytes, reply.received, secondsSince(start));
            return false;
        }
        reply.text.append(data, std::strlen(data));
    }
}

// Collects the reply; true when it is to be taken (not compared, or exactly as expected).
static bool replyAccepted(const Line &line, const char *expectedResponse, BOOL validateResponse, Reply &reply) {
    bool complete = collectReply(line, reply, expectedResponse, validateResponse);
    return validateResponse != TRUE || (complete && reply.text == expectedResponse);
}

static BOOL sendCommandOn(const Line &line, const char *commandToSend, BOOL isEchoON, BOOL validateResponse,
                          const char *expectedResponse) {
    const char *prefix = isEchoON == TRUE ? "" : "%%";
    size_t length = std::strlen(prefix) + std::strlen(commandToSend) + 2;
    if (length >= (size_t)DATA_BUFFER_SIZE) return FALSE; // never framed beyond the buffer
    std::strcpy(line.buffer, prefix);
    std::strcat(line.buffer, commandToSend);
    std::strcat(line.buffer, "\n\r");
    int written = 0;
    gLineFailed = false;
    gReplyBytes = 0;
    recordCommand(line.buffer, length);
    if (!line.write(line.buffer, (int)length, &written)) {
        consoleLine("\r\nError occurred when sending data !\r");
        gLineFailed = true;
        return FALSE;
    }
    if (expectedResponse == nullptr) return TRUE;
    Reply reply;
    return replyAccepted(line, expectedResponse, validateResponse, reply) ? TRUE : FALSE;
}

BOOL sendCommand(const char *commandToSend, BOOL isEchoON, BOOL validateResponse, const char *expectedResponse) {
    return sendCommandOn(runLine(), commandToSend, isEchoON, validateResponse, expectedResponse);
}

BOOL sendCommandOnPort(ComPort &port, char *buffer, const char *commandToSend, BOOL isEchoON, BOOL validateResponse,
                       const char *expectedResponse) {
    return sendCommandOn({port, buffer}, commandToSend, isEchoON, validateResponse, expectedResponse);
}

// Takes back the figure on screen: one or two digits and the percent sign.
static void erasePercentage(int percentage) { consolePrint(percentage <= 9 ? "\b\b" : "\b\b\b"); }

BOOL sendData(const uint8_t *dataToSend, int dataToSendLength, BOOL validateResponse, const char *expectedResponse) {
    const auto start = std::chrono::steady_clock::now();
    int dataSent = 0, percentage = 0, written = 0;
    gLineFailed = false;
    auto writeFailed = [&] {
        gLineFailed = true;
        recordImageEnd("write failed", dataSent + written, secondsSince(start));
        return FALSE;
    };
    consolePrint("1%");
    recordImageStreaming();
    while (dataSent != dataToSendLength) {
        if (dataToSendLength - dataSent > kWriteChunk) {
            if (!ComPortAPI_WriteCOM((void *)(dataToSend + dataSent), kWriteChunk, &written)) return writeFailed();
            dataSent += kWriteChunk;
            erasePercentage(percentage);
            percentage = (int)((int64_t)dataSent * 100 / dataToSendLength);
            consolePrintf("%d%%", percentage);
            recordProgress(percentage);
            continue;
        }
        if (!ComPortAPI_WriteCOM((void *)(dataToSend + dataSent), dataToSendLength - dataSent, &written))
            return writeFailed();
        erasePercentage(percentage);
        consolePrint("100%");
        recordProgress(100);
        dataSent = dataToSendLength;
        const double streamed = secondsSince(start);
        if (expectedResponse == nullptr) break;
        Reply reply;
        if (!replyAccepted(runLine(), expectedResponse, validateResponse, reply)) {
            // What the unit sent, made safe for the terminal; plain text shows as it came.
            consolePrintf("\r\nExpected : %s  received : %s\r\n", expectedResponse,
                          consoleSafeText(reply.firstBytes, reply.received).c_str());
            consoleLine("\r\nError: Expected response did  not matched !\r");
            recordImageEnd(gLineFailed ? "line failed" : "refused", dataSent, streamed);
            return FALSE;
        }
        recordImageEnd(validateResponse == TRUE ? "accepted" : "sent", dataSent, streamed);
        return TRUE;
    }
    if (expectedResponse == nullptr || dataToSendLength == 0) recordImageEnd("sent", dataSent, secondsSince(start));
    return TRUE;
}
