#ifndef FLATTEN_H_
#define FLATTEN_H_

#include "platform/Platform.h"

#include <cstdint>

#define CONCAT_BUFFER_SIZE (4 * 1024 * 1024)

extern uint8_t *gDataConcatenated; // flat image: CONCAT_BUFFER_SIZE bytes + 16 spare
extern int gDataConcatenatedLenght;
extern uint32_t gDataConcatenatedCheckSum;

// Flattens the Intel HEX text (consumed) into gDataConcatenated; sets gDataConcatenatedLenght.
BOOL ValidateFwAndConcatenateData(char *gHexData);
// The same for a text that stays as it is (the image table's own).
BOOL flattenImageText(const char *text);
// Replaces every "\r" and "\n" of str by ch; TRUE.
BOOL StrRemoveNL(char *str, char ch);
// gDataConcatenatedCheckSum over the first gDataConcatenatedLenght bytes: 0 minus each byte.
uint32_t computeDataConcatenatedCheckSum();
// A flat image buffer: CONCAT_BUFFER_SIZE bytes of 0xFF, then 16 zeros.
uint8_t *allocateDataConcatenated();

#endif
