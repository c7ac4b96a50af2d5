#ifndef FILEAPI_H_
#define FILEAPI_H_

#include "platform/Platform.h"

#include <cstdint>
#include <cstdio>
#include <string>

// The one open file. isBinary exactly TRUE (1) selects binary mode; anything else text mode.

extern FILE *fptr;

// Create or empty ("wb"/"w"), open at the end ("ab"/"a"), open to read ("rb"/"r").
// TRUE when open; else "ERROR: File does not exists" and FALSE, no file open.
BOOL FileAPI_CreateFile(const char *fileName, BOOL isBinary);
BOOL FileAPI_OpenFile_ToWrite(const char *fileName, BOOL isBinary);
BOOL FileAPI_OpenFile_ToRead(const char *fileName, BOOL isBinary);
// Creates fileName as a new binary file, exclusively and never through a link, with no
// message: TRUE, or FALSE with the reason in FileAPI_lastError and `exists` when the name is
// taken.
BOOL FileAPI_CreateNewFile(const char *fileName, bool &exists);
// Write to / close the open file: TRUE; with none open, a message and FALSE.
BOOL FileAPI_writeToFile(const char *stringToWrite);
BOOL FileAPI_writeToFileBinary(const void *dataToWrite, uint32_t dataLength);
BOOL FileAPI_CloseFile();
// TRUE when a write or close since the last open stored less than asked or failed.
BOOL FileAPI_hasFailed();
// The reason of the last failure, for messages.
std::string FileAPI_lastError();

#endif
