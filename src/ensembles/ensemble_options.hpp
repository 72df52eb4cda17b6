#pragma once
// What the ensembles' options share: the check of the learning weights' Poisson mean, the thread
// count their constructors take besides their options, and the order earlier builds saved the
// options in where it is not the constructor's (see core/options.hpp).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "core/options.hpp"
#include "core/rng.hpp"
#include "core/state.hpp"
#include "core/thread_team.hpp"
#include "trees/leaf_budget.hpp"

namespace quelb {

// The options every bagging ensemble starts its constructor with. n_models takes effect at the
// next reset, seed at the next reset (and for trees made later), lambda_value at the next sample.
struct BaggingOptions {
    int n_models = 10;
    int seed = 0;
    double lambda_value = 6.0;  // mean of the members' Poisson learning weights

    static constexpr auto fields() {
        using O = BaggingOptions;
        return std::make_tuple(option("n_models", &O::n_models, kArgument | kProperty, "number of members"),
                               option("seed", &O::seed, kArgument | kProperty,
                                      "seed of the ensemble's random generator"),
                               option("lambda_value", &O::lambda_value, kArgument, poisson_mean_check,
                                      "mean of the Poisson weight each member learns a sample with"));
    }

    // Bytes the members' trees may hold together; None: no limit. Each member's trees share an
    // equal part (see DriftAwareMember::share_budget), so that the members learning on threads
    // decide alone. Keyword-only and last of the options of the ensembles of Hoeffding trees,
    // which list it; saved after the members (see save_max_bytes).
    std::optional<std::int64_t> max_bytes;

    static constexpr auto max_bytes_field() {
        return max_bytes_option(&BaggingOptions::max_bytes,
                                "bytes the members' trees may hold together, None for no limit; each member's "
                                "trees share an equal part, beyond which their least promising leaves stop "
                                "collecting split statistics");
    }
    // One member's part of max_bytes among n members.
    std::optional<std::int64_t> member_budget(std::size_t n) const { return budget_share(max_bytes, n); }
    void save_max_bytes(StateWriter& out) const { write_max_bytes(out, max_bytes); }
    // States before format version `since` hold none.
    void load_max_bytes(StateReader& in, std::uint32_t since) {
        max_bytes.reset();
        if (in.format_version() >= since) max_bytes = read_max_bytes(in);
    }
};

// The options of the bagging ensembles whose members' trees an ADWIN detector replaces on drift:
// the detector's delta and the trees' grace period and depth, read when a member or tree is made.
// Each ensemble lists them with its other options, describing its own grace period.
struct DriftAwareTreesOptions : BaggingOptions {
    double drift_delta = 0.002;
    int grace_period = 50;
    int max_depth = 20;

    static constexpr auto drift_delta_field() {
        return option("drift_delta", &DriftAwareTreesOptions::drift_delta, kArgument,
                      "ADWIN delta of each member's drift detector");
    }
    static constexpr auto max_depth_field() {
        return option("max_depth", &DriftAwareTreesOptions::max_depth, kArgument,
                      "depth at which the members' leaves stop splitting");
    }
};

// An ensemble's options and the keyword-only n_threads option, held by the team of threads its
// batch methods run on (0: one thread per core). How the object runs, not what it learns: copies
// take the option alone, and states leave it out (pickling keeps it beside the state).
template <class Options>
struct WithThreads : Options {
    WithThreads() = default;
    WithThreads(const Options& options, int n_threads = 1) : Options(options) { threads.n_threads = n_threads; }

    Threads threads;

    static constexpr auto fields() {
        return std::tuple_cat(Options::fields(), std::make_tuple(option("n_threads", &WithThreads::threads,
                                                                        kArgument | kKeywordOnly | kUnsaved,
                                                                        "threads the batch methods use (0: one per core)")));
    }
};

namespace detail {

// The position in `fields` of the option held by Member.
template <auto Member, class Fields, std::size_t... I>
constexpr std::size_t option_position(const Fields& fields, std::index_sequence<I...>) {
    std::size_t found = sizeof...(I);
    const auto match = [&](const auto& field, std::size_t i) {
        if constexpr (std::is_same_v<std::decay_t<decltype(field.member)>, decltype(Member)>) {
            if (field.member == Member) found = i;
        }
    };
    (match(std::get<I>(fields), I), ...);
    return found;
}

template <class Options, auto Member>
constexpr auto option_of() {
    constexpr auto fields = Options::fields();
    constexpr std::size_t n = std::tuple_size_v<std::decay_t<decltype(fields)>>;
    constexpr std::size_t i = option_position<Member>(fields, std::make_index_sequence<n>{});
    static_assert(i < n, "not one of the options");
    return std::get<i>(fields);
}

}  // namespace detail

// The options of Options held by Members, in that order: the order of states saved by earlier
// builds, where it differs from the constructor's. Each keeps its name and check.
template <class Options, auto... Members>
struct SavedOrder : Options {
    static constexpr auto fields() { return std::make_tuple(detail::option_of<Options, Members>()...); }

    static void save(StateWriter& out, const Options& options) {
        SavedOrder saved;
        static_cast<Options&>(saved) = options;
        save_options(out, saved);
    }
    // `options` changes only once every listed option is read and accepted.
    static void load(StateReader& in, Options& options) {
        SavedOrder saved;
        load_options(in, saved);
        options = saved;
    }
};

}  // namespace quelb
