#include "eval/formula_tape.hpp"

#include <algorithm>
#include <limits>

namespace vorn {

bool FormulaTape::compile(std::span<const Token> tokens, OperatorTable operators) {
    nodes_.clear();
    static_nodes_.clear();
    dynamic_nodes_.clear();
    uniform_dynamic_.clear();
    varying_dynamic_.clear();
    param_nodes_.clear();
    path_uniform_.clear();
    path_offsets_.clear();
    paths_.clear();
    path_from_left_.clear();
    stack_.clear();
    real_ready_ = false;
    if (tokens.empty() || tokens.size() > std::numeric_limits<std::uint16_t>::max()) return false;
    bool real_ready = true;

    std::vector<std::uint16_t>& parent = parents_;
    parent.assign(tokens.size(), 0);
    for (const Token& token : tokens) {
        const auto at = static_cast<std::uint16_t>(nodes_.size());
        Node node;
        node.token = token;
        node.uniform = token.kind != TokenKind::Var;
        if (token.kind == TokenKind::Op) {
            node.arity = token.arity;
            if (node.arity > 2 || stack_.size() < node.arity || token.op_id >= operators.size() ||
                operators[token.op_id]->arity() != node.arity)
                return false;
            node.op.emplace(*operators[token.op_id]);
            real_ready = real_ready && node.op->has_real();
            if (node.arity == 2) {
                node.right = stack_.back();
                stack_.pop_back();
            }
            if (node.arity >= 1) {
                node.left = stack_.back();
                stack_.pop_back();
                parent[node.left] = at;
                node.dynamic = nodes_[node.left].dynamic;
                node.uniform = nodes_[node.left].uniform;
            }
            if (node.arity == 2) {
                parent[node.right] = at;
                node.dynamic = node.dynamic || nodes_[node.right].dynamic;
                node.uniform = node.uniform && nodes_[node.right].uniform;
            }
        } else if (token.kind == TokenKind::Param) {
            if (token.param_slot != param_nodes_.size()) return false;
            node.dynamic = true;
            param_nodes_.push_back(at);
        }
        if (token.kind == TokenKind::ComplexConst || token.kind == TokenKind::Param)
            real_ready = real_ready && token.value.im == 0.0;
        (node.dynamic ? dynamic_nodes_ : static_nodes_).push_back(at);
        if (node.dynamic) (node.uniform ? uniform_dynamic_ : varying_dynamic_).push_back(at);
        nodes_.push_back(node);
        stack_.push_back(at);
    }
    if (stack_.size() != 1) return false;

    // Postfix order puts every ancestor after its descendants, so walking up
    // from a parameter lists its ancestors in evaluation order.
    const std::size_t top = nodes_.size() - 1;
    for (const std::uint16_t leaf : param_nodes_) {
        path_offsets_.push_back(static_cast<std::uint16_t>(paths_.size()));
        std::uint16_t uniform_steps = 0;
        for (std::size_t at = leaf; at != top;) {
            const std::size_t child = at;
            at = parent[at];
            paths_.push_back(static_cast<std::uint16_t>(at));
            path_from_left_.push_back(nodes_[at].left == child ? 1 : 0);
            // Ancestors of a node reading a variable read it too, so the
            // uniform steps come first.
            if (nodes_[at].uniform) ++uniform_steps;
        }
        path_uniform_.push_back(uniform_steps);
    }
    path_offsets_.push_back(static_cast<std::uint16_t>(paths_.size()));
    real_ready_ = real_ready;
    return true;
}

bool FormulaTape::apply(std::size_t at, Complex* values) const {
    const Node& node = nodes_[at];
    Complex operands[2] = {};
    if (node.arity >= 1) operands[0] = values[node.left];
    if (node.arity == 2) operands[1] = values[node.right];
    Complex value;
    if (!(*node.op)(operands, value) || !within_value_limit(value)) return false;
    values[at] = value;
    return true;
}

bool FormulaTape::eval_static(std::span<const double> row, Complex* values) const {
    for (const std::uint16_t at : static_nodes_) {
        const Node& node = nodes_[at];
        switch (node.token.kind) {
            case TokenKind::ComplexConst:
                values[at] = node.token.value;
                break;
            case TokenKind::RealConst:
                values[at] = real_complex(node.token.value.re);
                break;
            case TokenKind::Var:
                if (node.token.var_index >= row.size()) return false;
                values[at] = real_complex(row[node.token.var_index]);
                break;
            case TokenKind::Param:
                break;  // never static
            case TokenKind::Op:
                if (!apply(at, values)) return false;
                break;
        }
    }
    return true;
}

Complex FormulaTape::param_value(const Node& node, std::span<const Complex> params) {
    const std::size_t slot = node.token.param_slot;
    return slot < params.size() ? params[slot] : node.token.value;
}

bool FormulaTape::eval_dynamic(std::span<const Complex> params, Complex* values) const {
    for (const std::uint16_t at : dynamic_nodes_) {
        const Node& node = nodes_[at];
        if (!node.op) {
            values[at] = param_value(node, params);
        } else if (!apply(at, values)) {
            return false;
        }
    }
    return true;
}

namespace {

// The first row a block evaluation may read complete values from.
std::size_t first_alive(const std::uint8_t* alive, std::size_t count) {
    std::size_t r = 0;
    while (r < count && !alive[r]) ++r;
    return r;
}

}  // namespace

void FormulaTape::eval_dynamic_rows(std::span<const Complex> params, Complex* values,
                                    std::size_t count, std::uint8_t* alive) const {
    const std::size_t width = nodes_.size();
    const std::size_t source = first_alive(alive, count);
    if (source == count) return;
    // Nodes that read no variable have one value for all rows: computed on
    // one row, copied to the others.
    Complex* source_values = values + source * width;
    for (const std::uint16_t at : uniform_dynamic_) {
        const Node& node = nodes_[at];
        if (!node.op) {
            source_values[at] = param_value(node, params);
        } else if (!apply(at, source_values)) {
            for (std::size_t r = 0; r < count; ++r) alive[r] = 0;
            return;
        }
    }
    for (std::size_t r = 0; r < count; ++r) {
        if (!alive[r] || r == source) continue;
        for (const std::uint16_t at : uniform_dynamic_) values[r * width + at] = source_values[at];
    }
    for (const std::uint16_t at : varying_dynamic_) apply_rows(at, values, count, alive);
}

void FormulaTape::apply_rows(std::size_t at, Complex* values, std::size_t count, std::uint8_t* alive) const {
    const std::size_t width = nodes_.size();
    const Node& node = nodes_[at];
    const Operator::Kernel kernel = node.op->kernel();
    if (kernel == nullptr) {
        for (std::size_t r = 0; r < count; ++r)
            if (alive[r] && !apply(at, values + r * width)) alive[r] = 0;
        return;
    }
    // The kernel reads arity() operands, so a unary node's second one is
    // never looked at.
    const std::size_t left = node.left, right = node.arity == 2 ? node.right : node.left;
    for (std::size_t r = 0; r < count; ++r) {
        if (!alive[r]) continue;
        Complex* row = values + r * width;
        const Complex operands[2] = {row[left], row[right]};
        Complex value;
        if (kernel(operands, value) && within_value_limit(value))
            row[at] = value;
        else
            alive[r] = 0;
    }
}

bool FormulaTape::step(std::size_t i, const Complex* values, Complex& carried) const {
    const Node& node = nodes_[paths_[i]];
    Complex operands[2] = {carried, Complex{}};
    if (node.arity == 2) {
        if (path_from_left_[i] != 0) {
            operands[1] = values[node.right];
        } else {
            operands[0] = values[node.left];
            operands[1] = carried;
        }
    }
    Complex value;
    if (!(*node.op)(operands, value) || !within_value_limit(value)) return false;
    carried = value;
    return true;
}

void FormulaTape::eval_moved_rows(std::size_t j, Complex moved, const Complex* values,
                                  std::size_t count, const std::uint8_t* alive, Complex* out,
                                  std::uint8_t* defined) const {
    const std::size_t width = nodes_.size();
    const std::size_t begin = path_offsets_[j], end = path_offsets_[j + 1];
    const std::size_t uniform_end = begin + path_uniform_[j];
    for (std::size_t r = 0; r < count; ++r) defined[r] = alive[r];
    const std::size_t source = first_alive(alive, count);
    if (source == count) return;
    // The steps that read no variable give the same value on every row.
    Complex carried = moved;
    for (std::size_t i = begin; i < uniform_end; ++i) {
        if (!step(i, values + source * width, carried)) {
            for (std::size_t r = 0; r < count; ++r) defined[r] = 0;
            return;
        }
    }
    for (std::size_t r = 0; r < count; ++r) out[r] = carried;
    // out[r] carries the moved value up the rest of the path; the other
    // operand of each step is unchanged and read from the stored evaluation.
    for (std::size_t i = uniform_end; i < end; ++i) {
        const Node& node = nodes_[paths_[i]];
        const Operator::Kernel kernel = node.op->kernel();
        if (kernel == nullptr) {
            for (std::size_t r = 0; r < count; ++r)
                if (defined[r] && !step(i, values + r * width, out[r])) defined[r] = 0;
            continue;
        }
        // The carried value is the left operand unless the path enters from
        // the right; a binary step reads its other operand from the row.
        const bool binary = node.arity == 2;
        const std::size_t carried_at = binary && path_from_left_[i] == 0 ? 1 : 0;
        const std::size_t other = carried_at == 0 ? node.right : node.left;
        for (std::size_t r = 0; r < count; ++r) {
            if (!defined[r]) continue;
            Complex operands[2] = {};
            operands[carried_at] = out[r];
            if (binary) operands[1 - carried_at] = values[r * width + other];
            Complex value;
            if (kernel(operands, value) && within_value_limit(value))
                out[r] = value;
            else
                defined[r] = 0;
        }
    }
}

namespace {

constexpr std::size_t kB = FormulaTape::kRealBlock;

// Values the rows kernels vouch for: other than zero, within the limit.
bool settled(double v) {
    const double magnitude = v < 0.0 ? -v : v;
    return magnitude > 0.0 && magnitude < kValueLimit;
}

// Where the rows kernel left a value open, the one-row kernel says what holds.
void settle(const OperatorCall& op, double x, double y, double& out, std::uint8_t& state) {
    const double operands[2] = {x, y};
    double value = 0.0;
    if (!op.real(operands, value)) {
        state = FormulaTape::kRowOffAxis;
    } else if (!within_value_limit(Complex{value, 0.0})) {
        state = FormulaTape::kRowUndefined;
    } else {
        out = value;
    }
}

// Every row still on the real axis takes `state`.
void set_real_rows(std::uint8_t* state, std::size_t n, std::uint8_t to) {
    for (std::size_t r = 0; r < n; ++r)
        if (state[r] == FormulaTape::kRowReal) state[r] = to;
}

}  // namespace

void FormulaTape::real_apply(std::size_t at, double* values, std::size_t n, std::uint8_t* state) const {
    const Node& node = nodes_[at];
    double* out = values + at * kB;
    const double* x = values + node.left * kB;
    const double* y = values + node.right * kB;
    if (node.uniform) {
        // The same value on every row: computed once.
        std::uint8_t one = kRowReal;
        double value = 0.0;
        settle(*node.op, x[0], y[0], value, one);
        if (one != kRowReal) {
            set_real_rows(state, n, one);
            return;
        }
        for (std::size_t r = 0; r < n; ++r) out[r] = value;
        return;
    }
    const double* operands[2] = {x, y};
    node.op->real_rows(operands, out, n);
    for (std::size_t r = 0; r < n; ++r)
        if (state[r] == kRowReal && !settled(out[r])) settle(*node.op, x[r], y[r], out[r], state[r]);
}

void FormulaTape::real_static_rows(const Samples& rows, std::size_t begin, std::size_t n, double* values,
                                   std::uint8_t* state) const {
    for (const std::uint16_t at : static_nodes_) {
        const Node& node = nodes_[at];
        double* out = values + at * kB;
        switch (node.token.kind) {
            case TokenKind::ComplexConst:
            case TokenKind::RealConst:
                for (std::size_t r = 0; r < n; ++r) out[r] = node.token.value.re;
                break;
            case TokenKind::Var:
                for (std::size_t r = 0; r < n; ++r) {
                    const std::span<const double> row = rows.row(begin + r);
                    if (node.token.var_index < row.size()) {
                        out[r] = row[node.token.var_index];
                    } else {
                        out[r] = 0.0;
                        if (state[r] == kRowReal) state[r] = kRowUndefined;
                    }
                }
                break;
            case TokenKind::Param:
                break;  // never static
            case TokenKind::Op:
                real_apply(at, values, n, state);
                break;
        }
    }
}

void FormulaTape::real_dynamic_rows(std::span<const double> params, double* values, std::size_t n,
                                    std::uint8_t* state) const {
    for (const std::uint16_t at : dynamic_nodes_) {
        const Node& node = nodes_[at];
        if (node.op) {
            real_apply(at, values, n, state);
            continue;
        }
        const std::size_t slot = node.token.param_slot;
        const double value = slot < params.size() ? params[slot] : node.token.value.re;
        double* out = values + at * kB;
        for (std::size_t r = 0; r < n; ++r) out[r] = value;
    }
}

void FormulaTape::real_copy_static(const double* from, double* to) const {
    for (const std::uint16_t at : static_nodes_)
        std::copy(from + at * kB, from + (at + 1) * kB, to + at * kB);
}

void FormulaTape::real_moved_rows(std::size_t j, double moved, const double* values, std::size_t n,
                                  const std::uint8_t* state, double* out, std::uint8_t* out_state) const {
    const std::size_t begin = path_offsets_[j], end = path_offsets_[j + 1];
    const std::size_t uniform_end = begin + path_uniform_[j];
    for (std::size_t r = 0; r < n; ++r) out_state[r] = state[r];
    // The steps that read no variable give the same value on every row.
    double carried = moved;
    for (std::size_t i = begin; i < uniform_end; ++i) {
        const Node& node = nodes_[paths_[i]];
        const bool from_left = path_from_left_[i] != 0;
        const double other = values[(from_left ? node.right : node.left) * kB];
        std::uint8_t one = kRowReal;
        double value = 0.0;
        settle(*node.op, from_left ? carried : other, from_left ? other : carried, value, one);
        if (one != kRowReal) {
            set_real_rows(out_state, n, one);
            return;
        }
        carried = value;
    }
    for (std::size_t r = 0; r < n; ++r) out[r] = carried;
    // out carries the moved value up the rest of the path; the other operand
    // of each step is unchanged and read from the stored evaluation.
    double next[kB];
    for (std::size_t i = uniform_end; i < end; ++i) {
        const Node& node = nodes_[paths_[i]];
        const bool from_left = path_from_left_[i] != 0;
        const double* other = values + (from_left ? node.right : node.left) * kB;
        const double* operands[2] = {from_left ? out : other, from_left ? other : out};
        node.op->real_rows(operands, next, n);
        for (std::size_t r = 0; r < n; ++r) {
            if (out_state[r] != kRowReal) continue;
            if (!settled(next[r])) settle(*node.op, operands[0][r], operands[1][r], next[r], out_state[r]);
        }
        for (std::size_t r = 0; r < n; ++r) out[r] = next[r];
    }
}

}  // namespace vorn
