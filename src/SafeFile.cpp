#include "SafeFile.h"

#include "Console.h"
#include "FileAPI.h"

#include <cstdio>

std::string safeFileTemporaryName(const char *fileName) { return std::string(fileName) + ".part"; }

bool safeFileCommit(const char *fileName, bool writeFailed) {
    const std::string temporary = safeFileTemporaryName(fileName);
    if (!writeFailed && !FileAPI_hasFailed()) {
        const std::string reason = platformReplaceFile(temporary.c_str(), fileName);
        if (reason.empty()) return true;
        consolePrintf("\r\nERROR: Cannot write %s: %s\r\n", fileName, reason.c_str());
    } else {
        consolePrintf("\r\nERROR: Cannot write %s: %s\r\n", fileName, FileAPI_lastError().c_str());
    }
    std::remove(temporary.c_str());
    return false;
}
