#pragma once
// Per-feature records of a transformer: one Record per feature name it has learned, kept in a
// dense array reached through a FeatureIndex, so each name of a sample is looked up once.
#include <cstdint>
#include <type_traits>
#include <vector>

#include "core/feature_index.hpp"

namespace quelb {

template <class Record>
class FeatureRecords {
public:
    // fn(record, value) for every feature of x; a name seen for the first time first gets a
    // value-initialised (all-zero) record.
    template <class Fn>
    void learn(const FeatureMap& x, Fn fn) {
        index_.assign(x, learned_);
        if (records_.size() < index_.size()) records_.resize(index_.size());
        for (const auto& [column, value] : learned_) fn(records_[column], value);
    }

    // fn(entry, record) for every entry of x (a FeatureMap, const or not), in x's iteration order;
    // record is nullptr for a name never learned. Records are only read.
    template <class Map, class Fn>
    void visit(Map& x, Fn fn) {
        index_.columns(x, columns_);
        std::size_t i = 0;
        for (auto& entry : x) {
            const std::uint32_t column = columns_[i++];
            fn(entry, column == FeatureIndex::kNoColumn ? nullptr : &records_[column]);
        }
    }

    void clear() {
        index_.clear();
        records_.clear();
    }

    // The index and one record per column (a double, or a Record with save_state/load_state).
    void save_state(StateWriter& out) const {
        index_.save_state(out);
        out.size(records_.size());
        for (const Record& record : records_) {
            if constexpr (std::is_same_v<Record, double>) {
                out.f64(record);
            } else {
                record.save_state(out);
            }
        }
    }
    void load_state(StateReader& in) {
        index_.load_state(in);
        // visit reads the record of every column the index holds.
        if (in.size() != index_.size()) in.fail("feature records do not match the feature index");
        records_.assign(index_.size(), Record{});
        for (Record& record : records_) {
            if constexpr (std::is_same_v<Record, double>) {
                record = in.f64();
            } else {
                record.load_state(in);
            }
        }
    }

    std::size_t heap_bytes() const { return memory::owned_all(index_, records_, learned_, columns_); }

private:
    FeatureIndex index_;
    std::vector<Record> records_;  // by column
    // Scratch space reused between calls.
    IndexedSample learned_;
    std::vector<std::uint32_t> columns_;
};

}  // namespace quelb
