#include "core/contracts.hpp"

namespace quelb {

void ITransformer::learn_one(const FeatureMap& x, double /*y*/) { learn_one(x); }

FeatureMap ITransformer::transform_one(const FeatureMap& x) {
    FeatureMap copy = x;
    transform_one_inplace(copy);
    return copy;
}

bool ITransformer::is_supervised() const { return false; }

void ITransformer::set_feature_order(const std::vector<std::string>& /*names*/) {}

}  // namespace quelb
