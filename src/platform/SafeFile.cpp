#include "platform/SafeFile.h"

#include "base/Console.h"
#include "platform/FileAPI.h"

#include <chrono>
#include <cstdio>
#include <random>

static std::string gTemporary;

// The folder that holds fileName, as a name to open.
static std::string folderOf(const std::string &fileName) {
    const size_t slash = fileName.find_last_of("/\\");
    return slash == std::string::npos ? "." : slash == 0 ? fileName.substr(0, 1) : fileName.substr(0, slash);
}

static void fail(const char *fileName, const std::string &reason) {
    consolePrintf("\r\nERROR: Cannot write %s: %s\r\n", fileName, reason.c_str());
}

// Creates the temporary file beside fileName under a name nobody can have prepared (a file or
// link already there is never opened); false with the reason.
static bool createTemporary(const char *fileName, std::string &reason) {
    reason = platformNotARegularFile(fileName);
    if (!reason.empty()) return false;
    std::random_device device;
    std::mt19937_64 random(device() ^ (uint64_t)std::chrono::steady_clock::now().time_since_epoch().count());
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".%016llx.part", (unsigned long long)random());
        gTemporary = std::string(fileName) + suffix;
        bool exists = false;
        if (FileAPI_CreateNewFile(gTemporary.c_str(), exists)) return true;
        if (!exists) break;
    }
    reason = "cannot create " + gTemporary + ": " + FileAPI_lastError();
    return false;
}

bool safeFileBegin(const char *fileName) {
    std::string reason;
    if (createTemporary(fileName, reason)) return true;
    fail(fileName, reason);
    return false;
}

// Puts the file on disk, closes it and renames it over fileName, or removes it: "" when
// fileName is complete, else why not.
static std::string commit(const char *fileName) {
    // On disk before the rename: a power cut never leaves an empty file under the final name.
    const std::string unsynced = fptr != nullptr ? platformSyncFile(fptr) : "";
    FileAPI_CloseFile();
    std::string reason;
    if (FileAPI_hasFailed()) reason = "writing " + gTemporary + " failed: " + FileAPI_lastError();
    else if (!unsynced.empty()) reason = "writing " + gTemporary + " failed: " + unsynced;
    else if (!(reason = platformReplaceFile(gTemporary.c_str(), fileName)).empty())
        reason = "cannot rename " + gTemporary + " to it: " + reason;
    if (!reason.empty()) std::remove(gTemporary.c_str());
    else platformSyncFolder(folderOf(fileName)); // the new name on disk too; the file is whole either way
    return reason;
}

bool safeFileCommit(const char *fileName) {
    const std::string reason = commit(fileName);
    if (!reason.empty()) fail(fileName, reason);
    return reason.empty();
}

bool safeFileWrite(const char *fileName, const std::string &content, std::string &reason) {
    if (!createTemporary(fileName, reason)) return false;
    FileAPI_writeToFileBinary(content.data(), (uint32_t)content.size());
    reason = commit(fileName);
    return reason.empty();
}

bool safeFileCanWrite(const char *fileName, std::string &reason) {
    if (!createTemporary(fileName, reason)) return false;
    FileAPI_CloseFile();
    std::remove(gTemporary.c_str());
    return true;
}
