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

TEST(SampleColumns, ProjectionShowsOnlyTheChosenFeaturesTheSampleHolds) {
    SampleColumns columns;
    columns.load({{"a", 1.0}, {"b", 2.0}, {"c", 3.0}}, true);  // columns 0, 1, 2
    columns.load({{"c", 30.0}, {"a", 10.0}}, false);
    columns.project({2, 1});  // c and b, in that order; the sample lacks b
    ASSERT_EQ(columns.entries().size(), 1u);
    EXPECT_EQ(columns.entries()[0].column, 2u);
    EXPECT_EQ(columns.entries()[0].value, 30.0);
    EXPECT_EQ(columns.value_or_zero(0), 0.0);  // hidden
    EXPECT_EQ(columns.value_or_zero(2), 30.0);
    EXPECT_EQ(columns.loaded().size(), 2u);

    columns.project({0});
    EXPECT_EQ(columns.value_or_zero(0), 10.0);
    EXPECT_EQ(columns.value_or_zero(2), 0.0);
    columns.show_all();
    EXPECT_EQ(columns.entries().size(), 2u);
    EXPECT_EQ(columns.value_or_zero(0), 10.0);
    EXPECT_EQ(columns.value_or_zero(2), 30.0);

    // A new load shows the whole new sample, whatever was projected before.
    columns.project({1});
    columns.load({{"b", 5.0}, {"a", 6.0}}, false);
    EXPECT_EQ(columns.entries().size(), 2u);
    EXPECT_EQ(columns.value_or_zero(0), 6.0);
    EXPECT_EQ(columns.value_or_zero(2), 0.0);
}

TEST(SampleColumns, ContentVersionChangesExactlyWhenTheLoadedSampleDoes) {
    SampleColumns columns;
    columns.load({{"a", 1.0}, {"b", 2.0}}, true);
    std::uint64_t version = columns.content_version();
    const auto changed = [&] {
        const bool moved = columns.content_version() != version;
        version = columns.content_version();
        return moved;
    };
    // The same sample again, read with or without adding names, and projections between loads.
    columns.project({1});
    columns.load({{"a", 1.0}, {"b", 2.0}}, false);
    EXPECT_FALSE(changed());
    columns.load({{"a", 1.0}, {"b", 2.0}}, true);
    EXPECT_FALSE(changed());
    // A value differing in its sign bit only, another order, a new name, a name without a column.
    columns.load({{"a", 1.0}, {"b", 2.0}, {"z", 0.0}}, false);
    EXPECT_FALSE(changed());  // "z" has no column: the loaded sample is the same
    columns.load({{"a", 1.0}, {"b", 2.0}, {"z", 0.0}}, true);
    EXPECT_TRUE(changed());
    columns.load({{"a", 1.0}, {"b", 2.0}, {"z", -0.0}}, true);
    EXPECT_TRUE(changed());
    columns.load({{"b", 2.0}, {"a", 1.0}, {"z", -0.0}}, true);
    EXPECT_TRUE(changed());
    columns.load({{"b", 2.0}, {"a", 1.0}, {"z", -0.0}}, true);
    EXPECT_FALSE(changed());
    columns.load({{"b", 2.0}, {"a", 1.0}}, true);
    EXPECT_TRUE(changed());
}
