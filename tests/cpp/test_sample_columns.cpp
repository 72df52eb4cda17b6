#include <gtest/gtest.h>

#include "core/sample_columns.hpp"

using namespace quelb;

TEST(SampleColumns, ReadsTheLoadedSampleByColumn) {
    SampleColumns columns;
    columns.load({{"a", 1.5}, {"b", -2.0}}, true);
    EXPECT_EQ(columns.entries().size(), 2u);
    EXPECT_EQ(columns.value_or_zero(0), 1.5);
    EXPECT_EQ(columns.value_or_zero(1), -2.0);
    EXPECT_EQ(columns.value_or_zero(7), 0.0);  // no such column
    EXPECT_EQ(columns.index().name(1), "b");

    // Without adding, unknown names are skipped; values of the previous sample are gone.
    columns.load({{"c", 3.0}, {"b", 4.0}}, false);
    ASSERT_EQ(columns.entries().size(), 1u);
    EXPECT_EQ(columns.entries()[0].column, 1u);
    EXPECT_EQ(columns.value_or_zero(0), 0.0);
    EXPECT_EQ(columns.value_or_zero(1), 4.0);

    columns.load({{"c", 3.0}}, true);
    EXPECT_EQ(columns.value_or_zero(2), 3.0);
    EXPECT_EQ(columns.value_or_zero(1), 0.0);
}
