// The station's lock on both systems: held while the file at its path is the one held.
#include "platform/Platform.h"
#include "TestSupport.h"

#include <filesystem>
#include <fstream>

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
