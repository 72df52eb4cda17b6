#pragma once
// The two flags of a drift detector with a warning level, as the last update left them.

namespace quelb {

class DetectorFlags {
public:
    bool drift_detected() const { return drift_detected_; }
    bool warning_detected() const { return warning_detected_; }

protected:
    bool drift_detected_ = false;
    bool warning_detected_ = false;
};

}  // namespace quelb
