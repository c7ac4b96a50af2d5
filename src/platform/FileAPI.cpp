#include "platform/FileAPI.h"

#include "base/Console.h"

#include <cerrno>
#include <cstring>

FILE *fptr = nullptr;
static bool gFailed = false;
static std::string gLastError;

static void noteFailure() {
    gFailed = true;
    gLastError = errno != 0 ? std::strerror(errno) : "unknown error";
}

static BOOL openFile(const char *fileName, const char *mode) {
    errno = 0;
    fptr = std::fopen(fileName, mode);
    gFailed = false;
    if (fptr == nullptr) {
        noteFailure();
        consoleLine("ERROR: File does not exists");
        return FALSE;
    }
    return TRUE;
}

BOOL FileAPI_CreateNewFile(const char *fileName, bool &exists) {
    fptr = platformCreateNewFile(fileName, exists, gLastError);
    gFailed = fptr == nullptr;
    return fptr != nullptr ? TRUE : FALSE;
}

static bool noFileOpen() {
    if (fptr != nullptr) return false;
    consoleLine("ERROR: File does not exists or Not opened !");
    return true;
}

BOOL FileAPI_CreateFile(const char *fileName, BOOL isBinary) { return openFile(fileName, isBinary == TRUE ? "wb" : "w"); }

BOOL FileAPI_OpenFile_ToWrite(const char *fileName, BOOL isBinary) {
    return openFile(fileName, isBinary == TRUE ? "ab" : "a");
}

BOOL FileAPI_OpenFile_ToRead(const char *fileName, BOOL isBinary) { return openFile(fileName, isBinary == TRUE ? "rb" : "r"); }

BOOL FileAPI_writeToFile(const char *stringToWrite) {
    return FileAPI_writeToFileBinary(stringToWrite, (uint32_t)std::strlen(stringToWrite));
}

BOOL FileAPI_writeToFileBinary(const void *dataToWrite, uint32_t dataLength) {
    if (noFileOpen()) return FALSE;
    errno = 0;
    if (dataLength > 0 && std::fwrite(dataToWrite, 1, dataLength, fptr) != dataLength) noteFailure();
    return TRUE;
}

BOOL FileAPI_CloseFile() {
    if (noFileOpen()) return FALSE;
    errno = 0;
    if (std::fclose(fptr) != 0) noteFailure();
    fptr = nullptr;
    return TRUE;
}

BOOL FileAPI_hasFailed() { return gFailed ? TRUE : FALSE; }

std::string FileAPI_lastError() { return gLastError; }
