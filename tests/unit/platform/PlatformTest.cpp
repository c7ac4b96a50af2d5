// The station's lock on both systems: held while the file at its path is the one held.
#include "platform/FileRead.h"
#include "platform/Platform.h"
#include "TestSupport.h"

#include <cstring>
#include <filesystem>
#include <fstream>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

// Not once its folder was moved away, nor made again with another station's lock in it.
TEST(Platform, AHoldLastsWhileItsFileIsTheOneNamed) {
    const std::string dir = scratchDir("hold"), moved = scratchDir("hold-moved"), lock = dir + "/station.lock";
    std::string why;
    ASSERT_EQ(platformHoldFile(lock, "station 1\n", why), HOLD_TAKEN) << why;
    EXPECT_TRUE(std::ifstream(lock).is_open() && platformStillHolding(lock)); // a reader changes nothing
    std::filesystem::remove(moved);
    std::filesystem::rename(dir, moved);
    EXPECT_FALSE(platformStillHolding(lock));
    std::filesystem::create_directory(dir);
    std::ofstream(lock) << "station 2\n";
    EXPECT_FALSE(platformStillHolding(lock));
}

} // namespace

#ifndef _WIN32
// A secret's file is read as ssh reads a key file: its owner's (this user or root) alone.
TEST(Platform, ASecretsFileIsReadOnlyWhenItsOwnersAlone) {
    const std::string path = scratchDir("secret") + "/records-db";
    struct Row {
        unsigned mode;
        bool otherOwner; // root only: the file given to another user
        const char *refused;
    } rows[] = {{0600, false, ""}, {0400, false, ""}, {0620, false, "its group or others may write it"},
                {0602, false, "its group or others may write it"}, {0600, true, "another user owns it"}};
    for (const Row &row : rows) {
        std::ofstream(path) << "DSN=plant;Pwd=x\n";
        std::filesystem::permissions(path, std::filesystem::perms(row.mode));
        if (row.otherOwner && (geteuid() != 0 || chown(path.c_str(), 65534, 65534) != 0)) continue;
        std::string text, refused;
        EXPECT_EQ(fileReadOwnersOnly(path, 1024, text, refused), *row.refused == '\0') << std::oct << row.mode;
        EXPECT_EQ(refused.substr(0, std::strlen(row.refused)), row.refused) << refused;
        std::filesystem::remove(path);
    }
}
#endif
