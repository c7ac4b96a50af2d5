#include "record/JournalLines.h"

#include "TestSupport.h"

#include "base/StringOperations.h"

#include <gtest/gtest.h>

#include <fstream>
#include <vector>

namespace {

struct Seen {
    size_t number;
    bool damaged;
    std::string text;
    unsigned long long start, end;
    bool operator==(const Seen &) const = default;
};

void append(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
}

// Reads on, taking at most `most` lines.
std::vector<Seen> readOn(JournalReader &reader, size_t most = 1000) {
    std::vector<Seen> seen;
    EXPECT_TRUE(reader.readOn([&](const JournalLine &l) {
        seen.push_back({l.number, l.damaged, std::string(l.text), l.start, l.end});
        return seen.size() < most;
    }));
    return seen;
}

} // namespace

// What each reader must agree on: the number, the damage and where a line stands.
TEST(JournalLines, NumbersDamageAndAHeldLastPiece) {
    const std::string path = scratchDir("journal-lines") + "/journal.jsonl";
    JournalReader reader(path);
    EXPECT_TRUE(readOn(reader).empty()); // no journal yet: no lines, no error
    append(path, "{\"a\":1}\n\n{\"b\"");
    EXPECT_EQ(readOn(reader), (std::vector<Seen>{{1, false, "{\"a\":1}", 0, 8}, {2, false, "", 8, 9}}));
    EXPECT_TRUE(reader.pending());
    EXPECT_EQ(journalLineCount(path), 3u); // the cut piece counts as its writer counts it
    append(path, std::string(":2}\n") + std::string(JOURNAL_LINE_MAX + 1, 'x') + "\n" + std::string(JOURNAL_LINE_MAX, 'y') +
                     "\nab" + std::string(1, '\0') + "c\n");
    const std::vector<Seen> seen = readOn(reader);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0], (Seen{3, false, "{\"b\":2}", 9, 17}));
    EXPECT_EQ(seen[1], (Seen{4, true, "", 17, 17 + JOURNAL_LINE_MAX + 2})); // one byte too long
    EXPECT_EQ(seen[2].text.size(), JOURNAL_LINE_MAX);                     // the longest there may be
    EXPECT_FALSE(seen[2].damaged);
    EXPECT_TRUE(seen[3].damaged); // a NUL byte: no line of a station's
    EXPECT_FALSE(reader.pending());
    EXPECT_EQ(journalLineCount(path), 6u);
}

TEST(JournalLines, StopsWhereAskedAndGoesOnOrBack) {
    const std::string path = scratchDir("journal-lines-stop") + "/journal.jsonl";
    append(path, "a\nbb\nccc\n");
    JournalReader reader(path);
    EXPECT_EQ(readOn(reader, 1), (std::vector<Seen>{{1, false, "a", 0, 2}}));
    EXPECT_EQ(readOn(reader, 1), (std::vector<Seen>{{2, false, "bb", 2, 5}}));
    reader.seek(1, 2);
    EXPECT_EQ(readOn(reader), (std::vector<Seen>{{2, false, "bb", 2, 5}, {3, false, "ccc", 5, 9}}));
}

// Another journal in its place, of any size, is told from this one grown, by the bytes read.
TEST(JournalLines, AnotherJournalInItsPlaceIsToldWhateverItsSize) {
    const struct {
        const char *name;
        std::string after; // the file's bytes after "a\nbb\nccc\n" and "dd" were read
        bool replaced;
        std::vector<Seen> then; // the lines read on (from its start when replaced)
    } rows[] = {
        {"grown", "a\nbb\nccc\ndd\n", false, {{4, false, "dd", 9, 12}}},
        {"shorter", "x\n", true, {{1, false, "x", 0, 2}}},
        {"the same size", "a\nbX\nccc\ndd", true, {{1, false, "a", 0, 2}, {2, false, "bX", 2, 5}, {3, false, "ccc", 5, 9}}},
        {"larger", "A\nbb\nccX\ndd\ne\n", true,
         {{1, false, "A", 0, 2}, {2, false, "bb", 2, 5}, {3, false, "ccX", 5, 9}, {4, false, "dd", 9, 12}, {5, false, "e", 12, 14}}},
        {"its held piece edited", "a\nbb\nccc\ndX\n", true,
         {{1, false, "a", 0, 2}, {2, false, "bb", 2, 5}, {3, false, "ccc", 5, 9}, {4, false, "dX", 9, 12}}},
    };
    for (const auto &row : rows) {
        const std::string path = scratchDir(std::string("journal-replaced-") + row.name) + "/journal.jsonl";
        append(path, "a\nbb\nccc\ndd");
        JournalReader reader(path);
        EXPECT_EQ(readOn(reader).size(), 3u) << row.name;
        std::ofstream(path, std::ios::binary | std::ios::trunc) << row.after;
        std::vector<Seen> seen = readOn(reader);
        EXPECT_EQ(reader.replaced(), row.replaced) << row.name;
        if (reader.replaced()) {
            EXPECT_TRUE(seen.empty()) << row.name;
            reader.seek(0, 0);
            seen = readOn(reader);
            EXPECT_FALSE(reader.replaced()) << row.name;
        }
        EXPECT_EQ(seen, row.then) << row.name;
    }
}

// What a unit's line is to every reader: a JSON object, within the nesting any record has.
TEST(JournalLines, ALineIsAUnitsOnlyAsAJsonObject) {
    const std::string deep = "{\"a\":" + std::string(JSON_NESTING_MAX, '[') + std::string(JSON_NESTING_MAX, ']') + "}";
    const std::string deepEnough = "{\"a\":" + std::string(JSON_NESTING_MAX - 1, '[') + std::string(JSON_NESTING_MAX - 1, ']') + "}";
    const struct {
        std::string text;
        bool damaged, object;
    } rows[] = {{R"({"port":"/dev/x","serial":null})", false, true},
                {R"({"port":"/dev/x"})", true, false}, // too long or zeros: its text is not looked at
                {"[1,2]", false, false},
                {"\"text\"", false, false},
                {R"({"port":)", false, false},
                {"", false, false},
                {deepEnough, false, true},
                {deep, false, false}}; // deeper than any record: never parsed
    for (const auto &row : rows) {
        const JournalLine line{1, row.damaged, row.text, 0, row.text.size() + 1};
        EXPECT_EQ(journalLineObject(line).is_object(), row.object) << row.text.substr(0, 80);
    }
}
