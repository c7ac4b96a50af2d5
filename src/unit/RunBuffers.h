#ifndef RUNBUFFERS_H_
#define RUNBUFFERS_H_

// The buffers that live for a whole run, allocated at its start and released at its end.

#define DATA_BUFFER_SIZE (1024 * 1000)

extern char *gHexFirmware;  // MCU Intel HEX text copy, consumed by one flattening
extern char *gHexFPGA_Code; // chosen FPGA Intel HEX text copy
extern char *gDataBuffer;   // command and reply buffer, DATA_BUFFER_SIZE bytes

// A writable zero-terminated copy of row `row` of the image table (fileDataLength + 16 bytes).
char *copyImageText(int row);
// Allocates gHexFirmware (with the MCU text), gDataConcatenated and gDataBuffer; false if out of memory.
bool allocateRunBuffers();
void releaseRunBuffers();

#endif
