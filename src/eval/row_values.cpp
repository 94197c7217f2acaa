#include "eval/row_values.hpp"

#include <cmath>

#include "core/parallel.hpp"
#include "eval/interpreter.hpp"

namespace vorn {

RowValues RowValues::at_rows(std::span<const Expression> expressions, const Samples& rows,
                             OperatorTable operators, bool real_axis) {
    RowValues out;
    const std::size_t n = rows.size();
    out.rows_ = n;
    out.re_.assign(expressions.size() * n, 0.0);
    out.flags_.assign(expressions.size() * n, 0);
    out.im_.resize(expressions.size());
    parallel_for(expressions.size(), 4, [&](std::size_t e) {
        thread_local EvalScratch scratch;
        scratch.formula.compile(expressions[e].tokens, operators);
        double* re = out.re_.data() + e * n;
        std::uint8_t* flags = out.flags_.data() + e * n;
        std::vector<double>& im = out.im_[e];
        if (!real_axis) im.assign(n, 0.0);
        for (std::size_t k = 0; k < n; ++k) {
            const auto v = scratch.formula.eval(rows.row(k), {}, scratch.stack);
            if (!v) continue;
            re[k] = v->re;
            flags[k] = kValueDefined;
            if (im.empty() && v->im != 0.0) {
                // Off the axis here: from now on the imaginary parts are
                // kept, those of the rows before being zeros.
                im.assign(n, 0.0);
                for (std::size_t j = 0; j < k; ++j)
                    if (flags[j] & kImaginaryZeroNegative) im[j] = -0.0;
            }
            if (!im.empty()) {
                im[k] = v->im;
            } else if (std::signbit(v->im)) {
                flags[k] |= kImaginaryZeroNegative;
            }
        }
    });
    return out;
}

}  // namespace vorn
