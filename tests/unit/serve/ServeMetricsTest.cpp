// What --serve hands to Prometheus: label values escaped as the text format wants.
#include "serve/ServeMetrics.h"

#include <gtest/gtest.h>

namespace {

TEST(ServeMetrics, LabelValuesEscapedAsTheFormatWants) {
    EXPECT_EQ(serveMetricLabel("plain"), "plain");
    EXPECT_EQ(serveMetricLabel("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
}

} // namespace
