#include "TestSupport.h"

#include "unit/RunBuffers.h"

#include <cstdio>
#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

void RunBuffers::SetUp() { ASSERT_TRUE(allocateRunBuffers()); }

void RunBuffers::TearDown() { releaseRunBuffers(); }

std::string readFile(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

namespace {
// Removes the scratch folders of this process once all tests have run.
std::vector<std::filesystem::path> gScratchDirs;
class ScratchCleanup : public ::testing::Environment {
    void TearDown() override {
        std::error_code ignored;
        for (const auto &dir : gScratchDirs) std::filesystem::remove_all(dir, ignored);
    }
};
::testing::Environment *const gCleanup = ::testing::AddGlobalTestEnvironment(new ScratchCleanup);
} // namespace

std::string scratchDir(const std::string &name) {
    // Per process: the test runs of several builds may share the machine at once.
    const std::string owner = std::to_string(getpid());
    std::filesystem::path dir = std::filesystem::temp_directory_path() / ("fwupgrade-test-" + owner + "-" + name);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    gScratchDirs.push_back(dir);
    return dir.string();
}

std::string hexRecord(int type, unsigned address, const std::string &data) {
    unsigned sum = (unsigned)data.size() + (address >> 8) + (address & 0xFF) + (unsigned)type;
    char text[16];
    std::snprintf(text, sizeof text, ":%02X%04X%02X", (unsigned)data.size(), address & 0xFFFF, type);
    std::string line = text;
    for (unsigned char c : data) {
        std::snprintf(text, sizeof text, "%02X", c);
        line += text;
        sum += c;
    }
    std::snprintf(text, sizeof text, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + text;
}

std::string hexImage(const std::string &bytes) {
    std::string text;
    for (size_t at = 0; at < bytes.size(); at += 16) {
        if (at % 0x10000 == 0 && at != 0) text += hexRecord(4, 0, std::string{0, (char)(at >> 16)});
        text += hexRecord(0, (unsigned)at, bytes.substr(at, 16));
    }
    return text + hexRecord(1, 0, "");
}
