#ifndef EXCHANGE_H_
#define EXCHANGE_H_

#include "platform/Platform.h"
#include "unit/ComPortAPI.h"

#include <cstdint>

// Frames the command ("%%" in front unless isEchoON is TRUE, "\n\r" behind) and writes it.
// With expectedResponse null: TRUE once written. Else collects the reply until a silent
// read; FALSE when validateResponse is TRUE and it differs (or the write failed).
BOOL sendCommand(const char *commandToSend, BOOL isEchoON, BOOL validateResponse, const char *expectedResponse);
// The same on a port of its own, with a buffer of its own (DATA_BUFFER_SIZE bytes): detection's
// probes, each on its thread.
BOOL sendCommandOnPort(ComPort &port, char *buffer, const char *commandToSend, BOOL isEchoON, BOOL validateResponse,
                       const char *expectedResponse);
// True when the reply of this thread's last sendCommand or sendData ended because the line failed (a
// read reported an error or a hang-up), not because the unit fell silent.
bool exchangeLineFailed();
// How many bytes came in reply to this thread's last command (0: silence).
size_t exchangeReplyBytes();
// Streams the block in 10240-byte writes with the percentage display, then as sendCommand.
BOOL sendData(const uint8_t *dataToSend, int dataToSendLength, BOOL validateResponse, const char *expectedResponse);

#endif
