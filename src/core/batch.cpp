#include "core/batch.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_map>
#include <utility>

#include "core/same_name.hpp"

namespace quelb {

RowSource::RowSource(Kind kind, std::size_t n_rows, std::vector<std::string> names)
    : kind_(kind), n_rows_(n_rows), names_(std::move(names)) {}

RowSource RowSource::dense(const char* base, std::size_t n_rows, std::size_t n_cols, std::ptrdiff_t row_stride,
                           std::ptrdiff_t col_stride, std::vector<std::string> names) {
    RowSource out(Kind::dense, n_rows, std::move(names));
    out.names_.resize(n_cols);
    out.base_ = base;
    out.row_stride_ = row_stride;
    out.col_stride_ = col_stride;
    return out;
}

RowSource RowSource::csr(const double* data, const std::int64_t* indices, const std::int64_t* indptr,
                         std::size_t n_rows, std::vector<std::string> names) {
    RowSource out(Kind::csr, n_rows, std::move(names));
    out.data_ = data;
    out.indices_ = indices;
    out.indptr_ = indptr;
    return out;
}

RowSource RowSource::samples(std::vector<FeatureMap> rows) {
    RowSource out(Kind::samples, rows.size());
    out.rows_ = std::move(rows);
    return out;
}

RowSource RowSource::mixed(std::vector<MixedSample> rows) {
    RowSource out(Kind::mixed, rows.size());
    out.mixed_ = std::move(rows);
    return out;
}

namespace {

// Unaligned-safe read of a cell (a strided view may start anywhere).
inline double cell(const char* p) {
    double v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace

const FeatureMap& RowCursor::at(std::size_t i) {
    switch (rows_.kind_) {
    case RowSource::Kind::samples:
        return rows_.rows_[i];
    case RowSource::Kind::dense: {
        const std::size_t n_cols = rows_.names_.size();
        const char* row = rows_.base_ + static_cast<std::ptrdiff_t>(i) * rows_.row_stride_;
        if (full_) {
            auto it = sample_.begin();
            std::size_t j = 0;
            for (; j < n_cols; ++j, ++it) {
                const double v = cell(row + static_cast<std::ptrdiff_t>(j) * rows_.col_stride_);
                if (std::isnan(v)) break;
                it->second = v;
            }
            if (j == n_cols) return sample_;
        }
        sample_.clear();
        for (std::size_t j = 0; j < n_cols; ++j) {
            const double v = cell(row + static_cast<std::ptrdiff_t>(j) * rows_.col_stride_);
            if (!std::isnan(v)) sample_.append_unique(rows_.names_[j], v);
        }
        full_ = sample_.size() == n_cols;
        return sample_;
    }
    case RowSource::Kind::csr: {
        sample_.clear();
        full_ = false;
        for (std::int64_t k = rows_.indptr_[i]; k < rows_.indptr_[i + 1]; ++k) {
            const double v = rows_.data_[k];
            if (!std::isnan(v)) sample_.append_unique(rows_.names_[static_cast<std::size_t>(rows_.indices_[k])], v);
        }
        return sample_;
    }
    case RowSource::Kind::mixed:
        throw SampleTypeError("a sample with categories needs an encoder to turn it into numbers");
    }
    return sample_;
}

RowTable::RowTable(double* cells, std::size_t n_rows, std::size_t width)
    : cells_(cells), room_rows_(n_rows), width_(width), direct_(n_rows > 0 && width > 0) {}

bool RowTable::same_as_last(const FeatureMap& row) const {
    if (layouts_.empty() || row.size() != last_names_.size()) return false;
    std::size_t k = 0;
    for (const auto& entry : row) {
        if (!same_name(entry.first, last_names_[k++])) return false;
    }
    return true;
}

void RowTable::leave_cells() {
    direct_ = false;
    layout_of_row_.assign(n_direct_, 0);
    values_.assign(cells_, cells_ + n_direct_ * width_);
    n_direct_ = 0;
}

void RowTable::add(FeatureMap&& row) {
    const bool same = same_as_last(row);
    if (direct_) {
        // The first row sets the layout of the cells when it has width_ names.
        if (n_direct_ < room_rows_ && (same || (layouts_.empty() && row.size() == width_))) {
            if (!same) {
                std::vector<std::uint32_t> identity(row.size());
                for (std::uint32_t k = 0; k < identity.size(); ++k) identity[k] = k;
                for (const auto& entry : row) {
                    names_.push_back(entry.first);
                    last_names_.push_back(entry.first);
                }
                layouts_.push_back(std::move(identity));
            }
            double* cells = cells_ + n_direct_++ * width_;
            for (const auto& entry : row) *cells++ = entry.second;
            return;
        }
        leave_cells();
    }
    if (!same) {
        std::vector<std::uint32_t> layout;
        last_names_.clear();
        for (const auto& entry : row) {
            std::uint32_t column = 0;
            while (column < names_.size() && names_[column] != entry.first) ++column;
            if (column == names_.size()) names_.push_back(entry.first);
            layout.push_back(column);
            last_names_.push_back(entry.first);
        }
        layouts_.push_back(std::move(layout));
    }
    layout_of_row_.push_back(static_cast<std::uint32_t>(layouts_.size() - 1));
    for (const auto& entry : row) values_.push_back(entry.second);
}

void RowTable::fill(double* cells) const {
    if (direct_) {
        std::copy(cells_, cells_ + n_direct_ * width_, cells);
        return;
    }
    const std::size_t n_cols = names_.size();
    std::fill(cells, cells + n_rows() * n_cols, std::numeric_limits<double>::quiet_NaN());
    std::size_t v = 0;
    for (std::size_t i = 0; i < n_rows(); ++i) {
        for (std::uint32_t column : layouts_[layout_of_row_[i]]) cells[i * n_cols + column] = values_[v++];
    }
}

}  // namespace quelb
