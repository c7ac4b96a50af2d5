// The journal stays one whole JSON object a line whatever the disk does.
#include "station/StationJournal.h"

#include "record/JournalLines.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <functional>
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
// on a line of its own instead of being glued to it, even after a write that failed and was undone.
TEST(StationJournal, ACutLastLineKeepsTheNextApart) {
    const std::string dir = testing::TempDir() + "journal-cut-" + std::to_string(getpid());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/journal.jsonl") << R"({"unit":1})" "\n" R"({"unit":2,"sum)";
    StationJournal journal;
    ASSERT_EQ(journal.open(dir), "");
    EXPECT_EQ(journal.lines(), 2u);
    {
        FileSizeLimit full(std::filesystem::file_size(dir + "/journal.jsonl") + 3); // a write undone first
        EXPECT_NE(journal.appendLine(R"({"unit":3})"), "");
    }
    ASSERT_EQ(journal.retry(), "");
    EXPECT_EQ(contents(dir + "/journal.jsonl"), R"({"unit":1})" "\n" R"({"unit":2,"sum)" "\n" R"({"unit":3})" "\n");
    EXPECT_EQ(journal.lines(), 3u);
    EXPECT_EQ(journal.close(), "");
    std::filesystem::remove_all(dir);
}

// The journal cut or added to by hand while the station runs (`truncate -s -3`, an editor), and a
// write that failed and was undone on such an end: each unit's line is still a line of its own,
// and the station counts the lines as every reader of the journal numbers them.
TEST(StationJournal, AJournalCutWhileItRunsKeepsEachLineApartAndCounted) {
    const std::string dir = testing::TempDir() + "journal-cut-running-" + std::to_string(getpid());
    const std::string path = dir + "/journal.jsonl";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    StationJournal journal;
    ASSERT_EQ(journal.open(dir), "");
    const auto cut = [&](size_t bytes) { std::filesystem::resize_file(path, std::filesystem::file_size(path) - bytes); };
    const auto add = [&](const std::string &line) {
        ASSERT_EQ(journal.appendLine(line), "");
        EXPECT_EQ(journal.lines(), journalLineCount(path));
    };
    const struct {
        std::function<void()> hand;
        std::string line, journal;
    } rows[] = {
        {[] {}, R"({"u":1})", "{\"u\":1}\n"},
        {[&] { cut(3); }, R"({"u":2})", "{\"u\":\n{\"u\":2}\n"},           // inside a line: it stays, damaged
        {[&] { cut(8); }, R"({"u":3})", "{\"u\":\n{\"u\":3}\n"},           // a whole line gone
        {[&] { std::ofstream(path, std::ios::app) << "{}\n{}\n{"; }, R"({"u":4})", "{\"u\":\n{\"u\":3}\n{}\n{}\n{\n{\"u\":4}\n"},
    };
    for (const auto &row : rows) {
        row.hand();
        add(row.line);
        EXPECT_EQ(contents(path), row.journal) << row.line;
    }
    EXPECT_EQ(journal.lines(), 6u);
    cut(4);
    {
        FileSizeLimit full(std::filesystem::file_size(path) + 4); // the write fails part-way, undone
        EXPECT_NE(journal.appendLine(R"({"u":5,"summary":"updated"})"), "");
    }
    EXPECT_EQ(journal.retry(), "");
    EXPECT_EQ(contents(path), "{\"u\":\n{\"u\":3}\n{}\n{}\n{\n{\"u\"\n{\"u\":5,\"summary\":\"updated\"}\n");
    EXPECT_EQ(journal.lines(), journalLineCount(path));
    EXPECT_EQ(journal.close(), "");
    std::filesystem::remove_all(dir);
}

} // namespace
