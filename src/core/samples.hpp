#pragma once

#include <cstddef>
#include <initializer_list>
#include <span>
#include <vector>

namespace vorn {

// The data rows of one search: one contiguous block of doubles, row after
// row, read as x + 0i where a formula uses them. A matrix (every row equally
// long, what NumPy and most callers hand over) needs nothing but its width;
// rows of different lengths keep a table of row offsets, and a formula
// reading a variable beyond a short row is invalid on that row.
class Samples {
public:
    Samples() = default;
    // Row i is values[i·width .. (i+1)·width); the block is taken over, not copied.
    static Samples matrix(std::vector<double> values, std::size_t rows, std::size_t width);
    // Row i is values[offsets[i] .. offsets[i+1]); offsets start at 0, never
    // decrease and end at values.size().
    static Samples ragged(std::vector<double> values, std::vector<std::size_t> offsets);
    // A matrix when the rows are equally long, else ragged.
    template <class Rows>
    static Samples from_rows(const Rows& rows);

    // Literal rows, for small fixed data sets.
    Samples(std::initializer_list<std::initializer_list<double>> rows) { *this = from_rows(rows); }
    Samples(const std::vector<std::vector<double>>& rows) { *this = from_rows(rows); }

    std::size_t size() const { return rows_; }
    bool empty() const { return rows_ == 0; }
    // The number of values of the first row (0 without rows).
    std::size_t first_width() const { return rows_ == 0 ? 0 : row(0).size(); }
    std::span<const double> row(std::size_t i) const {
        if (offsets_.empty()) return {values_.data() + i * width_, width_};
        return {values_.data() + offsets_[i], offsets_[i + 1] - offsets_[i]};
    }

private:
    std::vector<double> values_;
    std::size_t rows_ = 0;
    std::size_t width_ = 0;
    std::vector<std::size_t> offsets_;  // empty for a matrix
};

inline Samples Samples::matrix(std::vector<double> values, std::size_t rows, std::size_t width) {
    Samples s;
    s.values_ = std::move(values);
    s.rows_ = rows;
    s.width_ = width;
    return s;
}

inline Samples Samples::ragged(std::vector<double> values, std::vector<std::size_t> offsets) {
    Samples s;
    s.values_ = std::move(values);
    s.rows_ = offsets.empty() ? 0 : offsets.size() - 1;
    s.offsets_ = std::move(offsets);
    return s;
}

template <class Rows>
Samples Samples::from_rows(const Rows& rows) {
    std::size_t total = 0;
    bool uniform = true;
    const std::size_t width = rows.size() == 0 ? 0 : std::size(*std::begin(rows));
    for (const auto& row : rows) {
        total += std::size(row);
        uniform = uniform && std::size(row) == width;
    }
    std::vector<double> values;
    values.reserve(total);
    std::vector<std::size_t> offsets;
    if (!uniform) offsets.reserve(rows.size() + 1);
    for (const auto& row : rows) {
        if (!uniform) offsets.push_back(values.size());
        values.insert(values.end(), std::begin(row), std::end(row));
    }
    if (!uniform) {
        offsets.push_back(values.size());
        return ragged(std::move(values), std::move(offsets));
    }
    return matrix(std::move(values), rows.size(), width);
}

}  // namespace vorn
