// The plant's database: text as the driver gets it, the table it makes.
#include "plant/PlantFollower.h"
#include "plant/PlantOdbc.h"
#include "plant/PlantSender.h"
#include "plant/PlantTable.h"

#include <gtest/gtest.h>

namespace {

TEST(PlantFollower, TextGoesToTheDriverAsUtf16CutWhole) {
    const struct {
        std::string text;
        size_t max;
        std::u16string units;
    } cases[] = {
        {"O'Brien\"; --", 64, u"O'Brien\"; --"},
        {"\xc3\x9cnit \xe2\x82\xac", 64, u"\u00dcnit \u20ac"},
        {"\xf0\x9d\x84\x9e", 64, u"\U0001d11e"},
        {"a\xf0\x9d\x84\x9e", 2, u"a"},          // a pair is never cut in two
        {"a\xff\xc3", 64, u"a\ufffd\ufffd"},     // bytes that are no UTF-8
        {"\xed\xa0\x80", 64, u"\ufffd"},         // a lone surrogate written as UTF-8
    };
    for (const auto &c : cases) EXPECT_EQ(odbcUtf16(c.text, c.max), c.units) << c.text;
}

TEST(PlantFollower, TheTableItMakesHasTheUniqueKeyThatKeepsALineOnce) {
    const std::string sql = plantCreateTable("fwupgrade_unit");
    EXPECT_EQ(sql.rfind("CREATE TABLE fwupgrade_unit (station_key VARCHAR(64) NOT NULL, line_no BIGINT NOT NULL, ", 0), 0u);
    EXPECT_NE(sql.find(", PRIMARY KEY (station_key, line_no))"), std::string::npos);
}

TEST(PlantFollower, ALongLineIsStoredCutWithAMarkNeverInsideACharacter) {
    const struct {
        std::string line;
        std::string stored;
    } cases[] = {
        {std::string(8000, 'a'), std::string(8000, 'a')}, // as long as the column: whole
        {std::string(9995, 'a'), std::string(7963, 'a') + " ...[cut: 2032 bytes]"},
        {std::string(7961, 'a') + "\xe2\x82\xac" + std::string(100, 'b'), std::string(7961, 'a') + " ...[cut: 103 bytes]"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(plantStoredLine(c.line), c.stored);
        EXPECT_LE(plantStoredLine(c.line).size(), PLANT_LINE_MAX);
    }
}

// A sender whose call came back (and that ended) between the deadline read and the giving up is
// joined, not counted stuck: three such and no sender would ever start again.
TEST(PlantFollower, ASenderThatEndedIsNeverCountedStuck) {
    const struct {
        bool ended;
        bool abandoned;
        int running;
    } rows[] = {{false, true, 1}, {true, false, 0}};
    for (const auto &row : rows) {
        PlantShared shared;
        PlantTicket ticket;
        ticket.ended = row.ended;
        EXPECT_EQ(plantTicketAbandon(shared, ticket), row.abandoned) << row.ended;
        EXPECT_EQ(ticket.abandoned, row.abandoned);
        EXPECT_EQ(shared.abandonedRunning, row.running);
    }
}

} // namespace
