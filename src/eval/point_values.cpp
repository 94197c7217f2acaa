#include "eval/point_values.hpp"

#include "core/parallel.hpp"

namespace vorn {

namespace {

template <class Input>
void evaluate(std::span<const Expression> expressions, std::size_t points, Input&& input,
                     OperatorTable operators, std::vector<Complex>& values,
                     std::vector<std::uint8_t>& defined) {
    values.assign(expressions.size() * points, Complex{});
    defined.assign(expressions.size() * points, 0);
    parallel_for(expressions.size(), 4, [&](std::size_t e) {
        thread_local EvalScratch scratch;
        const Expression& expression = expressions[e];
        scratch.formula.compile(expression.tokens, operators);
        for (std::size_t k = 0; k < points; ++k) {
            const auto v = scratch.formula.eval(input(k, expression), {}, scratch.stack);
            if (!v) continue;
            values[e * points + k] = *v;
            defined[e * points + k] = 1;
        }
    });
}

}  // namespace

PointValues PointValues::at_probes(std::span<const Expression> expressions, OperatorTable operators) {
    PointValues out;
    out.points_ = kProbes.size();
    evaluate(
        expressions, out.points_,
        [](std::size_t k, const Expression& e) { return probe_inputs(k, e.num_vars); }, operators,
        out.values_, out.defined_);
    return out;
}

std::optional<FingerprintKey> composed_fingerprint(const OperatorCall& op, const OperandValues& left,
                                                   const OperandValues& right) {
    FingerprintKey key;
    for (std::size_t k = 0; k < kProbes.size(); ++k) {
        const auto value = composed_value(op, left, right, k);
        if (!value) return std::nullopt;
        key.values[2 * k] = quantize(value->re);
        key.values[2 * k + 1] = quantize(value->im);
    }
    return key;
}

}  // namespace vorn
