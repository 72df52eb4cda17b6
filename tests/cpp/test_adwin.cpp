#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "drift/adwin.hpp"

using namespace quelb;

TEST(ADWINNative, StepFromZerosToOnesIsCutAtThreeTicks) {
    ADWIN detector;
    std::vector<int> drifts;
    for (int i = 1; i <= 2000; ++i) {
        detector.update(i <= 1000 ? 0.0 : 1.0);
        if (detector.drift_detected()) drifts.push_back(i);
        if (i == 1024) {
            EXPECT_EQ(detector.width(), 56.0);
            EXPECT_DOUBLE_EQ(detector.estimation(), 24.0 / 56.0);
        }
    }
    EXPECT_EQ(drifts, (std::vector<int>{1024, 1056, 1088}));
}

TEST(ADWINNative, RejectsUnusableClockAndBucketCounts) {
    EXPECT_THROW(ADWIN(ADWINOptions{0.002, 0}), std::invalid_argument);
    EXPECT_THROW(ADWIN(ADWINOptions{0.002, -3}), std::invalid_argument);
    EXPECT_THROW(ADWIN(ADWINOptions{0.002, 32, 1}), std::invalid_argument);
    EXPECT_NO_THROW(ADWIN(ADWINOptions{0.002, 1, 2}));
}
