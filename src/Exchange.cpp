// Command and data exchange with the unit: framing, reply collection, streaming.
#include "ComPortAPI.h"
#include "Console.h"
#include "FwUpgrade.h"

#include <cstring>
#include <string>

static const int kReadRequest = DATA_BUFFER_SIZE - 1; // leaves room for the terminating zero
static const int kWriteChunk = 10240;

// Reads until a read brings nothing. A reply is a text: each read's share ends at its first
// zero byte. Returns false as soon as the reply can no longer be `expected`: it outgrew it,
// or would not fit the buffer. Collection stops there, so a unit that never falls silent
// (endless chatter) cannot hold the program, and the reply counts as a mismatch.
static bool collectReply(std::string &reply, const char *expected, BOOL validate) {
    const size_t enough = validate == TRUE ? std::strlen(expected) : (size_t)kReadRequest;
    for (;;) {
        int count = 0;
        ComPortAPI_ReadCOM(gDataBuffer, kReadRequest, &count);
        gDataBuffer[count] = '\0';
        if (count == 0) return true;
        size_t piece = std::strlen(gDataBuffer);
        bool fits = reply.size() + piece <= (size_t)kReadRequest;
        if (fits) reply.append(gDataBuffer, piece);
        if (!fits || reply.size() > enough) {
            gDataBuffer[0] = '\0'; // as after a complete collection
            return false;
        }
    }
}

// Collects the reply; true when it is to be taken (not compared, or exactly as expected).
static bool replyAccepted(const char *expectedResponse, BOOL validateResponse, std::string &reply) {
    bool complete = collectReply(reply, expectedResponse, validateResponse);
    return validateResponse != TRUE || (complete && reply == expectedResponse);
}

BOOL sendCommand(const char *commandToSend, BOOL isEchoON, BOOL validateResponse, const char *expectedResponse) {
    const char *prefix = isEchoON == TRUE ? "" : "%%";
    size_t length = std::strlen(prefix) + std::strlen(commandToSend) + 2;
    if (length >= (size_t)DATA_BUFFER_SIZE) return FALSE; // never framed beyond the buffer
    std::strcpy(gDataBuffer, prefix);
    std::strcat(gDataBuffer, commandToSend);
    std::strcat(gDataBuffer, "\n\r");
    int written = 0;
    if (!ComPortAPI_WriteCOM(gDataBuffer, (int)length, &written)) {
        consolePrint("\r\nError occurred when sending data !\r");
        consolePrint("\n");
        return FALSE;
    }
    if (expectedResponse == nullptr) return TRUE;
    std::string reply;
    return replyAccepted(expectedResponse, validateResponse, reply) ? TRUE : FALSE;
}

// Takes back the figure on screen: one or two digits and the percent sign.
static void erasePercentage(int percentage) { consolePrint(percentage <= 9 ? "\b\b" : "\b\b\b"); }

BOOL sendData(const uint8_t *dataToSend, int dataToSendLength, BOOL validateResponse, const char *expectedResponse) {
    int dataSent = 0, percentage = 0, written = 0;
    consolePrint("1%");
    while (dataSent != dataToSendLength) {
        if (dataToSendLength - dataSent > kWriteChunk) {
            if (!ComPortAPI_WriteCOM((void *)(dataToSend + dataSent), kWriteChunk, &written)) return FALSE;
            dataSent += kWriteChunk;
            erasePercentage(percentage);
            percentage = (int)((int64_t)dataSent * 100 / dataToSendLength);
            consolePrintf("%d%%", percentage);
            continue;
        }
        if (!ComPortAPI_WriteCOM((void *)(dataToSend + dataSent), dataToSendLength - dataSent, &written))
            return FALSE;
        erasePercentage(percentage);
        consolePrint("100%");
        dataSent = dataToSendLength;
        if (expectedResponse == nullptr) return TRUE;
        std::string reply;
        if (!replyAccepted(expectedResponse, validateResponse, reply)) {
            consolePrint("\r\nExpected : ");
            consolePrint(expectedResponse);
            consolePrint("  received : ");
            consolePrint(reply.c_str());
            consolePrint("\r\n");
            consolePrint("\r\nError: Expected response did  not matched !\r");
            consolePrint("\n");
            return FALSE;
        }
        return TRUE;
    }
    return TRUE;
}
