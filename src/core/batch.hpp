#pragma once
// A batch of samples read row by row: a strided table of doubles, a compressed sparse row
// matrix, or samples already converted. Reading touches only native memory, so batch loops run
// without the interpreter. Row i reads as the sample {name: value} of its cells in column order
// (CSR: in stored order), leaving out NaN cells: in a table NaN marks a missing value.
// Rows with categories (for the encoders) are always samples already converted: mixed_row(i).
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/feature_map.hpp"
#include "core/mixed_sample.hpp"

namespace quelb {

class RowSource {
public:
    RowSource() = default;  // no rows
    // Cells of float64; strides in bytes, either sign. The memory must outlive the source.
    static RowSource dense(const char* base, std::size_t n_rows, std::size_t n_cols, std::ptrdiff_t row_stride,
                           std::ptrdiff_t col_stride, std::vector<std::string> names);
    // indptr has n_rows + 1 entries; each index is a valid column of `names`, none repeated in
    // a row (the caller checks).
    static RowSource csr(const double* data, const std::int64_t* indices, const std::int64_t* indptr,
                         std::size_t n_rows, std::vector<std::string> names);
    static RowSource samples(std::vector<FeatureMap> rows);
    // Rows that may hold categories; only encoders and pipelines led by one read them.
    static RowSource mixed(std::vector<MixedSample> rows);

    std::size_t size() const { return n_rows_; }
    const std::vector<std::string>& names() const { return names_; }
    bool has_categories() const { return kind_ == Kind::mixed; }
    const MixedSample& mixed_row(std::size_t i) const { return mixed_[i]; }

private:
    friend class RowCursor;
    enum class Kind { dense, csr, samples, mixed };
    RowSource(Kind kind, std::size_t n_rows, std::vector<std::string> names = {});
    Kind kind_ = Kind::samples;
    std::size_t n_rows_ = 0;
    std::vector<std::string> names_;
    const char* base_ = nullptr;
    std::ptrdiff_t row_stride_ = 0, col_stride_ = 0;
    const double* data_ = nullptr;
    const std::int64_t* indices_ = nullptr;
    const std::int64_t* indptr_ = nullptr;
    std::vector<FeatureMap> rows_;
    std::vector<MixedSample> mixed_;
};

// Reads the rows of a source into one sample reused from row to row: a dense row with every
// cell present only overwrites the values of the previous full row. Rows with categories have no
// numeric reading: at() throws SampleTypeError for them.
class RowCursor {
public:
    explicit RowCursor(const RowSource& rows) : rows_(rows) {}
    const FeatureMap& at(std::size_t i);

private:
    const RowSource& rows_;
    FeatureMap sample_;
    bool full_ = false;  // sample_ holds every column, in column order
};

// Receives the rows a batch transforms, in order.
class RowSink {
public:
    virtual ~RowSink() = default;
    virtual void add(FeatureMap&& row) = 0;
};

// Keeps the rows as they are.
class RowList : public RowSink {
public:
    void add(FeatureMap&& row) override { rows.push_back(std::move(row)); }
    std::vector<FeatureMap> rows;
};

// Lays the rows out as a table: a column per name in order of first appearance, NaN in the
// cells of names a row lacks. A row naming the same features as the one before reuses its
// layout without a lookup.
//
// Given room for the table beforehand (`cells`, n_rows x width, row-major), rows that all name
// the same `width` features in the same order go straight there, with no copy kept: in_place()
// then tells that `cells` holds the whole table. The first row that differs moves the rows
// written so far back into the general layout.
class RowTable : public RowSink {
public:
    RowTable() = default;
    RowTable(double* cells, std::size_t n_rows, std::size_t width);
    void add(FeatureMap&& row) override;  // only reads the row
    std::size_t n_rows() const { return n_direct_ + layout_of_row_.size(); }
    const std::vector<std::string>& names() const { return names_; }
    // Every one of the n_rows rows given to the constructor is in its cells.
    bool in_place() const { return direct_ && n_direct_ == room_rows_ && names_.size() == width_; }
    // Writes the n_rows() x names().size() cells, row-major.
    void fill(double* cells) const;

private:
    bool same_as_last(const FeatureMap& row) const;
    void leave_cells();

    std::vector<std::string> names_;
    std::vector<std::vector<std::uint32_t>> layouts_;  // column of each entry of a row
    std::vector<std::uint32_t> layout_of_row_;
    std::vector<double> values_;  // the rows' values, one after the other
    std::vector<std::string> last_names_;
    // The rows written straight to cells_ (all of layout 0, the identity), while direct_.
    double* cells_ = nullptr;
    std::size_t room_rows_ = 0, width_ = 0, n_direct_ = 0;
    bool direct_ = false;
};

}  // namespace quelb
