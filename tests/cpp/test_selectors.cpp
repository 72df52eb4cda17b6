#include <gtest/gtest.h>

#include "preprocessing/selectors.hpp"

using namespace quelb;

// The in-place transform (used by pipelines) drops exactly what the copying one drops, wherever
// the dropped entries sit in the sample.
TEST(Selectors, InPlaceAndCopyingTransformsAgree) {
    VarianceThreshold variance;
    SelectKBest best({3});
    for (double v : {1.0, 2.0, 4.0}) {
        const FeatureMap x{{"c0", 5.0}, {"v1", v}, {"c2", 5.0}, {"v3", -v}, {"c4", 5.0}, {"v5", v * v}};
        variance.learn_one(x);
        best.learn_one(x, v);
    }
    const FeatureMap probe{{"c0", 1.0}, {"v1", 2.0}, {"c2", 3.0}, {"new", 4.0}, {"v3", 5.0}, {"c4", 6.0}, {"v5", 7.0}};
    for (ITransformer* t : {static_cast<ITransformer*>(&variance), static_cast<ITransformer*>(&best)}) {
        FeatureMap in_place = probe;
        t->transform_one_inplace(in_place);
        EXPECT_EQ(in_place, t->transform_one(probe));
    }
    EXPECT_EQ(variance.transform_one(probe),
              (FeatureMap{{"v1", 2.0}, {"new", 4.0}, {"v3", 5.0}, {"v5", 7.0}}));
    EXPECT_EQ(best.transform_one(probe), (FeatureMap{{"v1", 2.0}, {"v5", 7.0}, {"c0", 1.0}}));
}
