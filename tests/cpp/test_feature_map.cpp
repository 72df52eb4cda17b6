#include <gtest/gtest.h>

#include <string>

#include "core/feature_map.hpp"
#include "core/same_name.hpp"

using quelb::FeatureMap;

TEST(FeatureMap, FirstValueOfARepeatedNameWins) {
    FeatureMap x{{"a", 1.0}, {"b", 2.0}, {"a", 3.0}};
    EXPECT_EQ(x.size(), 2u);
    EXPECT_EQ(x.at("a"), 1.0);
    EXPECT_FALSE(x.emplace("b", 9.0).second);
    EXPECT_EQ(x.at("b"), 2.0);
    x.insert_or_assign("b", 9.0);
    EXPECT_EQ(x.at("b"), 9.0);
}

TEST(FeatureMap, LookupsAgreeAcrossScanAndIndexSizes) {
    FeatureMap x;
    for (int i = 0; i < 300; ++i) {
        x["f" + std::to_string(i)] = i;
        // Every name inserted so far is found, whichever lookup strategy the size selects.
        ASSERT_EQ(x.at("f0"), 0.0);
        ASSERT_EQ(x.at("f" + std::to_string(i)), i);
        ASSERT_EQ(x.find("missing"), x.end());
    }
    EXPECT_EQ(x.size(), 300u);
    EXPECT_THROW(x.at("nope"), std::out_of_range);
}

TEST(FeatureMap, EraseKeepsTheRestFindable) {
    FeatureMap x;
    for (int i = 0; i < 100; ++i) x["f" + std::to_string(i)] = i;
    for (int i = 0; i < 100; i += 2) EXPECT_EQ(x.erase("f" + std::to_string(i)), 1u);
    EXPECT_EQ(x.erase("f0"), 0u);
    EXPECT_EQ(x.size(), 50u);
    for (int i = 1; i < 100; i += 2) EXPECT_EQ(x.at("f" + std::to_string(i)), i);
    // Erasing while iterating visits every entry once.
    int visited = 0;
    for (auto it = x.begin(); it != x.end();) {
        ++visited;
        it = x.erase(it);
    }
    EXPECT_EQ(visited, 50);
    EXPECT_TRUE(x.empty());
}

TEST(FeatureMap, EqualityIgnoresOrderAndCopiesAreIndependent) {
    FeatureMap a{{"x", 1.0}, {"y", 2.0}};
    FeatureMap b{{"y", 2.0}, {"x", 1.0}};
    EXPECT_EQ(a, b);
    FeatureMap c = a;
    c["x"] = 5.0;
    EXPECT_NE(a, c);
    EXPECT_EQ(a.at("x"), 1.0);
}

TEST(FeatureMap, SameNameSeesADifferenceAtEveryPositionAndLength) {
    for (std::size_t n = 0; n <= 24; ++n) {
        const std::string name(n, 'a');
        ASSERT_TRUE(quelb::same_name(name, std::string(n, 'a')));
        ASSERT_FALSE(quelb::same_name(name, std::string(n + 1, 'a')));
        for (std::size_t i = 0; i < n; ++i) {
            std::string other = name;
            other[i] = 'b';
            ASSERT_FALSE(quelb::same_name(name, other)) << n << " " << i;
        }
    }
}

TEST(FeatureMap, CopyOntoASampleOfTheSameSizeTakesItsNamesAndOrder) {
    FeatureMap a{{"first", 1.0}, {"second", 2.0}};
    FeatureMap b{{"second", 3.0}, {"a much longer name", 4.0}};
    b = a;
    ASSERT_EQ(b.size(), 2u);
    EXPECT_EQ(b.begin()->first, "first");
    EXPECT_EQ(b.at("second"), 2.0);
    EXPECT_FALSE(b.contains("a much longer name"));
}
