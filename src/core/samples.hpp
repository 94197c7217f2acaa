#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/complex.hpp"

namespace vorn {

// The data rows of one search as Complex values (x + 0i), stored flat with row
// offsets. Rows may differ in length: a formula reading a variable beyond a
// short row is invalid on that row, exactly as with separate row vectors.
class Samples {
public:
    Samples() = default;

    template <class Rows>
    static Samples from_rows(const Rows& rows) {
        Samples s;
        s.offsets_.reserve(rows.size() + 1);
        s.offsets_.push_back(0);
        for (const auto& row : rows) {
            for (const double v : row) s.values_.push_back(Complex{v, 0.0});
            s.offsets_.push_back(s.values_.size());
        }
        return s;
    }

    std::size_t size() const { return offsets_.empty() ? 0 : offsets_.size() - 1; }
    bool empty() const { return size() == 0; }
    std::span<const Complex> row(std::size_t i) const {
        return {values_.data() + offsets_[i], offsets_[i + 1] - offsets_[i]};
    }

private:
    std::vector<Complex> values_;
    std::vector<std::size_t> offsets_;
};

}  // namespace vorn
