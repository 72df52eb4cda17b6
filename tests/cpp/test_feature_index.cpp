#include <gtest/gtest.h>

#include "core/feature_index.hpp"

using namespace quelb;

TEST(FeatureIndex, ColumnsFollowFirstAppearanceAndLookupSkipsUnknownNames) {
    FeatureIndex index;
    IndexedSample out;
    index.assign({{"b", 1.0}, {"a", 2.0}}, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].column, 0u);
    EXPECT_EQ(out[1].column, 1u);
    index.assign({{"c", 3.0}, {"b", 4.0}}, out);
    EXPECT_EQ(out[0].column, 2u);
    EXPECT_EQ(out[1].column, 0u);
    EXPECT_EQ(out[1].value, 4.0);
    EXPECT_EQ(index.size(), 3u);

    index.lookup({{"zzz", 1.0}, {"a", 5.0}}, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].column, 1u);
    EXPECT_EQ(index.size(), 3u);  // lookups never add columns

    index.clear();
    index.assign({{"a", 1.0}}, out);
    EXPECT_EQ(out[0].column, 0u);
}

TEST(FeatureIndex, NamesMovingBetweenPositionsKeepTheirColumns) {
    FeatureIndex index;
    IndexedSample out;
    index.assign({{"x", 1.0}, {"y", 2.0}, {"z", 3.0}}, out);
    for (int round = 0; round < 2; ++round) {  // the second round meets remembered positions
        index.assign({{"z", 1.0}, {"x", 2.0}, {"w", 3.0}}, out);
        EXPECT_EQ(out[0].column, 2u);
        EXPECT_EQ(out[1].column, 0u);
        EXPECT_EQ(out[2].column, 3u);
    }
    index.lookup({{"y", 1.0}, {"x", 2.0}, {"v", 3.0}}, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].column, 1u);
    EXPECT_EQ(out[1].column, 0u);
    EXPECT_EQ(index.size(), 4u);
}

TEST(FeatureIndex, ColumnsReportsEveryEntryInOrder) {
    FeatureIndex index;
    IndexedSample learned;
    index.assign({{"a", 1.0}, {"b", 2.0}}, learned);
    std::vector<std::uint32_t> columns;
    index.columns({{"b", 0.0}, {"new", 0.0}, {"a", 0.0}}, columns);
    EXPECT_EQ(columns, (std::vector<std::uint32_t>{1u, FeatureIndex::kNoColumn, 0u}));
    EXPECT_EQ(index.size(), 2u);
}
