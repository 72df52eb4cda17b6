// Heap bytes a tree holds per leaf. Every allocation of this program is counted, so the figure
// includes what a leaf keeps in its vectors' spare capacity and each tree's share of its nodes and
// scratch buffers: the live heap of a trained tree divided by its leaves.
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "trees/hoeffding_tree_classifier.hpp"
#include "trees/hoeffding_tree_regressor.hpp"

namespace {
std::size_t live_bytes = 0;
}  // namespace

void release(void* p) noexcept;

void* operator new(std::size_t size) {
    void* p = std::malloc(size ? size : 1);
    if (!p) throw std::bad_alloc();
    live_bytes += malloc_usable_size(p);
    return p;
}
void release(void* p) noexcept {
    if (p) live_bytes -= malloc_usable_size(p);
    std::free(p);
}
void operator delete(void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }

namespace {

// Samples of n Gaussian features; the label and target depend on the first three, stepwise, so
// that the trees keep splitting.
std::vector<std::pair<quelb::FeatureMap, double>> stream(int n_features, int n_samples) {
    std::mt19937_64 gen(7);
    std::normal_distribution<double> normal;
    std::vector<std::string> names;
    for (int i = 0; i < n_features; ++i) names.push_back("feature_" + std::to_string(i));
    std::vector<std::pair<quelb::FeatureMap, double>> rows;
    for (int s = 0; s < n_samples; ++s) {
        quelb::FeatureMap x;
        for (const auto& name : names) x.emplace(name, normal(gen));
        const double score = (x.at(names[0]) > 0.3 ? 2.0 : -1.0) + (x.at(names[1]) > -0.5 ? 1.5 : 0.0) +
                             (n_features > 2 && x.at(names[2]) > 1.0 ? 1.0 : 0.0) + 0.3 * normal(gen);
        rows.emplace_back(std::move(x), score);
    }
    return rows;
}

template <class Make, class Learn, class Leaves>
void report(const char* name, int n_features, int n_samples, Make make, Learn learn, Leaves leaves) {
    const auto rows = stream(n_features, n_samples);
    const std::size_t before = live_bytes;
    auto* tree = make();
    for (const auto& [x, y] : rows) learn(*tree, x, y);
    const std::size_t bytes = live_bytes - before;
    const std::size_t n = leaves(*tree);
    std::printf("%-44s %3d features  %5zu leaves  %8.0f bytes per leaf\n", name, n_features, n,
                static_cast<double>(bytes) / static_cast<double>(n));
    delete tree;
}

}  // namespace

int main() {
    for (int n_features : {6, 100}) {
        const int n_samples = n_features > 10 ? 20000 : 60000;
        report(
            "HoeffdingTreeClassifier (Gaussian)", n_features, n_samples,
            [] { return new quelb::HoeffdingTreeClassifier(); },
            [](quelb::HoeffdingTreeClassifier& t, const quelb::FeatureMap& x, double y) {
                t.learn_one(x, y > 1.0 ? 1 : 0);
            },
            [](const quelb::HoeffdingTreeClassifier& t) { return t.n_leaves(); });
        report(
            "HoeffdingTreeClassifier (5 classes)", n_features, n_samples,
            [] { return new quelb::HoeffdingTreeClassifier(); },
            [](quelb::HoeffdingTreeClassifier& t, const quelb::FeatureMap& x, double y) {
                t.learn_one(x, y < -0.5 ? 0 : y < 0.5 ? 1 : y < 1.5 ? 2 : y < 2.5 ? 3 : 4);
            },
            [](const quelb::HoeffdingTreeClassifier& t) { return t.n_leaves(); });
        for (auto criterion : {quelb::SplitCriterion::mean_split, quelb::SplitCriterion::variance_reduction}) {
            const std::string name = std::string("HoeffdingTreeRegressor (") + quelb::split_criterion_name(criterion) + ")";
            report(
                name.c_str(), n_features, n_samples,
                [criterion] {
                    return new quelb::HoeffdingTreeRegressor(
                        quelb::regressor_tree_options(200, 1e-07, 0.05, 20, 0.01, criterion));
                },
                [](quelb::HoeffdingTreeRegressor& t, const quelb::FeatureMap& x, double y) { t.learn_one(x, y); },
                [](const quelb::HoeffdingTreeRegressor& t) {
                    std::size_t leaves = 0;
                    for (std::uint32_t i = 0; i < t.n_nodes(); ++i) leaves += t.node(i).is_leaf ? 1 : 0;
                    return leaves;
                });
        }
    }
}
