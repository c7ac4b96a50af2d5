#include "plant/PlantKey.h"

#include "platform/FileRead.h"
#include "platform/Platform.h"
#include "platform/SafeFile.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>

const char *const PLANT_KEY_FILE = "records-db-key";

bool plantKeyRead(const std::string &dir, std::string &key, std::string &why) {
    const std::string path = dir + "/" + PLANT_KEY_FILE;
    std::string text;
    why.clear();
    if (!fileReadWhole(path, 256, text)) {
        std::error_code code;
        if (std::filesystem::exists(path, code)) why = path + " cannot be read";
        return false;
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    const bool control = std::any_of(text.begin(), text.end(), [](char c) { return (unsigned char)c < 0x20 || c == 0x7f; });
    if (text.empty() || text.size() > 64 || control) { // a key is shown on consoles and pages: plain text only
        why = path + " does not hold a station key";
        return false;
    }
    key = text;
    return true;
}

// The key file made by an exclusive create, for a folder where no link can be made (FAT, some
// SMB shares): a name another follower took first is left to it. "" or why not.
static std::string keyCreated(const std::string &path, const std::string &key) {
    bool exists = false;
    std::string reason;
    FILE *file = platformCreateNewFile(path.c_str(), exists, reason);
    if (file == nullptr) return exists ? "" : reason;
    const bool written = std::fwrite(key.data(), 1, key.size(), file) == key.size() && std::fputc('\n', file) != EOF &&
                         (reason = platformSyncFile(file)).empty();
    if (std::fclose(file) != 0 || !written) {
        std::remove(path.c_str()); // never a key file half-written
        return reason.empty() ? "it cannot be written" : reason;
    }
    return "";
}

// Written whole under a name of its own, then linked into place: a link fails when another
// follower's key got there first, and that one is taken. Where links cannot be made at all, an
// exclusive create in place.
bool plantKeyKeep(const std::string &dir, std::string &key, std::string &why) {
    const std::string path = dir + "/" + PLANT_KEY_FILE;
    const std::string temporary = path + "." + std::to_string(platformProcessId()) + ".new";
    std::string reason;
    if (!safeFileWrite(temporary.c_str(), key + "\n", reason)) {
        why = "cannot keep the station key in " + dir + ": " + reason;
        return false;
    }
    std::error_code code, ignored;
    std::filesystem::create_hard_link(temporary, path, code);
    std::filesystem::remove(temporary, ignored);
    if (code && !std::filesystem::exists(std::filesystem::symlink_status(path, ignored)) &&
        !(reason = keyCreated(path, key)).empty()) {
        why = "cannot keep the station key in " + dir + ": " + reason;
        return false;
    }
    if (plantKeyRead(dir, key, why)) return true;
    if (why.empty()) why = "cannot keep the station key in " + dir;
    return false;
}

std::string plantKeyMade() {
    const std::string host = platformHostName().substr(0, 40);
    std::mt19937_64 random(std::random_device{}() ^
                           (uint64_t)std::chrono::steady_clock::now().time_since_epoch().count());
    char tail[20];
    std::snprintf(tail, sizeof tail, "%016llx", (unsigned long long)random());
    return (host.empty() ? std::string("station") : host) + "-" + tail;
}

std::string plantKeyOfContent(size_t number, const std::string &storedLine) {
    // FNV-1a, 64 bits, twice (two offsets): a name, not a secret; the same on every platform.
    const std::string text = std::to_string(number) + "\n" + storedLine;
    uint64_t a = 0xcbf29ce484222325ull, b = 0x84222325cbf29ce4ull;
    for (unsigned char c : text) {
        a = (a ^ c) * 0x100000001b3ull;
        b = (b ^ c) * 0x100000001b3ull;
    }
    char hex[40];
    std::snprintf(hex, sizeof hex, "%016llx%016llx", (unsigned long long)a, (unsigned long long)b);
    return std::string("archive-") + hex;
}
