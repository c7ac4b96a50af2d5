#ifndef _AUTOGEN_BINIMAGE_H_
#define _AUTOGEN_BINIMAGE_H_

// The Intel HEX images carried by the program; BinImage.cpp is generated at build time.
// Row 0: MCU firmware, row 1: FPGA image for TX units, row 2: FPGA image for RX units.

typedef struct {
    char filePath[70];       // file name without directory, zero padded
    char filePathLength;     // characters of the name
    const char *fileData;    // file bytes unchanged, then one zero
    int fileDataLength;      // file size, the zero not counted
} autogen_files;

// Sized file + 1 where they are defined.
extern const char K482915_MCU_61_1_04_hex[];
extern const char K482915_TX_XC7A75_1_04_mcs[];
extern const char K482915_RX_XC7A75_1_04_mcs[];

extern const autogen_files AUTOGEN_FILES[3];
// Each file's SHA-256 as the generator read it: 64 lowercase hex digits, rows as AUTOGEN_FILES.
extern const char AUTOGEN_FILES_SHA256[3][65];

#endif
