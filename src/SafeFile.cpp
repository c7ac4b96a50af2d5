#include "SafeFile.h"

#include "Console.h"
#include "FileAPI.h"

#include <chrono>
#include <cstdio>
#include <random>
#include <string>

static std::string gTemporary;

static void fail(const char *fileName, const std::string &reason) {
    consolePrintf("\r\nERROR: Cannot write %s: %s\r\n", fileName, reason.c_str());
}

bool safeFileBegin(const char *fileName) {
    const std::string notRegular = platformNotARegularFile(fileName);
    if (!notRegular.empty()) {
        fail(fileName, notRegular);
        return false;
    }
    std::random_device device;
    std::mt19937_64 random(device() ^ (uint64_t)std::chrono::steady_clock::now().time_since_epoch().count());
    // A name nobody can have prepared: a file or link already there is never opened.
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".%016llx.part", (unsigned long long)random());
        gTemporary = std::string(fileName) + suffix;
        bool exists = false;
        if (FileAPI_CreateNewFile(gTemporary.c_str(), exists)) return true;
        if (!exists) break;
    }
    fail(fileName, "cannot create " + gTemporary + ": " + FileAPI_lastError());
    return false;
}

bool safeFileCommit(const char *fileName) {
    std::string reason;
    if (FileAPI_hasFailed()) reason = "writing " + gTemporary + " failed: " + FileAPI_lastError();
    else if (!(reason = platformReplaceFile(gTemporary.c_str(), fileName)).empty())
        reason = "cannot rename " + gTemporary + " to it: " + reason;
    if (reason.empty()) return true;
    fail(fileName, reason);
    std::remove(gTemporary.c_str());
    return false;
}
