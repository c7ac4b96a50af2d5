// The journal stays one whole JSON object a line whatever the disk does.
#include "station/StationJournal.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/resource.h>

namespace {

std::string contents(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// The file size limit stands in for a full disk: a write past it fails part-way.
struct FileSizeLimit {
    rlimit saved{};
    explicit FileSizeLimit(rlim_t bytes) {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit limit = saved;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved); }
};

TEST(StationJournal, ALineTheDiskCutsIsUndoneAndWrittenWithTheNext) {
    const std::string dir = testing::TempDir() + "journal-test-" + std::to_string(getpid());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    StationJournal journal;
    ASSERT_EQ(journal.open(dir), "");
    ASSERT_EQ(journal.appendLine(R"({"unit":1})"), "");
    const std::string first = R"({"unit":1})" "\n";
    {
        FileSizeLimit full(first.size() + 5); // room for a few bytes of the next line only
        EXPECT_NE(journal.appendLine(R"({"unit":2,"summary":"updated and verified"})"), "");
        EXPECT_EQ(contents(dir + "/journal.jsonl"), first); // nothing half-written
        EXPECT_EQ(journal.kept().size(), 1u);
        EXPECT_NE(journal.appendLine(R"({"unit":3})"), "");
        EXPECT_EQ(journal.kept().size(), 2u);
    }
    EXPECT_EQ(journal.retry(), "");
    EXPECT_EQ(contents(dir + "/journal.jsonl"),
              first + R"({"unit":2,"summary":"updated and verified"})" "\n" R"({"unit":3})" "\n");
    EXPECT_EQ(journal.lines(), 3u);
    EXPECT_TRUE(journal.kept().empty());

    // The folder removed: the unit is kept, and the station is told why it cannot record.
    std::filesystem::remove_all(dir);
    EXPECT_EQ(journal.problem(false), "the folder " + dir + " is gone");
    EXPECT_NE(journal.appendLine(R"({"unit":4})"), "");
    std::filesystem::create_directories(dir);
    EXPECT_EQ(journal.problem(true), "");
    EXPECT_EQ(journal.retry(), "");
    EXPECT_EQ(contents(dir + "/journal.jsonl"), R"({"unit":4})" "\n");
    EXPECT_EQ(journal.close(), "");
    std::filesystem::remove_all(dir);
}

// A power cut left the last line without its end: it stays as it is, and the next line begins
// on a line of its own instead of being glued to it.
TEST(StationJournal, ACutLastLineKeepsTheNextApart) {
    const std::string dir = testing::TempDir() + "journal-cut-" + std::to_string(getpid());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/journal.jsonl") << R"({"unit":1})" "\n" R"({"unit":2,"sum)";
    StationJournal journal;
    ASSERT_EQ(journal.open(dir), "");
    EXPECT_EQ(journal.lines(), 2u);
    ASSERT_EQ(journal.appendLine(R"({"unit":3})"), "");
    EXPECT_EQ(contents(dir + "/journal.jsonl"), R"({"unit":1})" "\n" R"({"unit":2,"sum)" "\n" R"({"unit":3})" "\n");
    EXPECT_EQ(journal.lines(), 3u);
    EXPECT_EQ(journal.close(), "");
    std::filesystem::remove_all(dir);
}

} // namespace
