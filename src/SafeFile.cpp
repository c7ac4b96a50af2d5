#include "SafeFile.h"

#include "Console.h"
#include "FileAPI.h"

#include <cstdio>

std::string safeFileTemporaryName(const char *fileName) { return std::string(fileName) + ".part"; }

bool safeFileCommit(const char *fileName, bool writeFailed) {
    const std::string temporary = safeFileTemporaryName(fileName);
    const bool written = !writeFailed && !FileAPI_hasFailed();
    const std::string reason = written ? platformReplaceFile(temporary.c_str(), fileName) : FileAPI_lastError();
    if (written && reason.empty()) return true;
    consolePrintf("\r\nERROR: Cannot write %s: %s\r\n", fileName, reason.c_str());
    std::remove(temporary.c_str());
    return false;
}
