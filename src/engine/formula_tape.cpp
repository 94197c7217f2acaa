#include "engine/formula_tape.hpp"

#include <limits>

namespace vorn {

bool FormulaTape::compile(std::span<const Token> tokens, OperatorTable operators) {
    nodes_.clear();
    static_nodes_.clear();
    dynamic_nodes_.clear();
    param_nodes_.clear();
    path_offsets_.clear();
    paths_.clear();
    path_from_left_.clear();
    stack_.clear();
    if (tokens.empty() || tokens.size() > std::numeric_limits<std::uint16_t>::max()) return false;

    std::vector<std::uint16_t>& parent = parents_;
    parent.assign(tokens.size(), 0);
    for (const Token& token : tokens) {
        const auto at = static_cast<std::uint16_t>(nodes_.size());
        Node node;
        node.token = token;
        if (token.kind == TokenKind::Op) {
            node.arity = token.arity();
            if (node.arity > 2 || stack_.size() < node.arity || token.op_id >= operators.size() ||
                operators[token.op_id]->arity() != node.arity)
                return false;
            node.op.emplace(*operators[token.op_id]);
            if (node.arity == 2) {
                node.right = stack_.back();
                stack_.pop_back();
            }
            if (node.arity >= 1) {
                node.left = stack_.back();
                stack_.pop_back();
                parent[node.left] = at;
                node.dynamic = nodes_[node.left].dynamic;
            }
            if (node.arity == 2) {
                parent[node.right] = at;
                node.dynamic = node.dynamic || nodes_[node.right].dynamic;
            }
        } else if (token.kind == TokenKind::Param) {
            if (token.slot() != param_nodes_.size()) return false;
            node.dynamic = true;
            param_nodes_.push_back(at);
        }
        (node.dynamic ? dynamic_nodes_ : static_nodes_).push_back(at);
        nodes_.push_back(node);
        stack_.push_back(at);
    }
    if (stack_.size() != 1) return false;

    // Postfix order puts every ancestor after its descendants, so walking up
    // from a parameter lists its ancestors in evaluation order.
    const std::size_t top = nodes_.size() - 1;
    for (const std::uint16_t leaf : param_nodes_) {
        path_offsets_.push_back(static_cast<std::uint16_t>(paths_.size()));
        for (std::size_t at = leaf; at != top;) {
            const std::size_t child = at;
            at = parent[at];
            paths_.push_back(static_cast<std::uint16_t>(at));
            path_from_left_.push_back(nodes_[at].left == child ? 1 : 0);
        }
    }
    path_offsets_.push_back(static_cast<std::uint16_t>(paths_.size()));
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

bool FormulaTape::eval_static(std::span<const Complex> row, Complex* values) const {
    for (const std::uint16_t at : static_nodes_) {
        const Node& node = nodes_[at];
        switch (node.token.kind) {
            case TokenKind::ComplexConst:
                values[at] = node.token.value;
                break;
            case TokenKind::RealConst:
                values[at] = Complex{node.token.value.re, 0.0};
                break;
            case TokenKind::Var:
                if (node.token.index() >= row.size()) return false;
                values[at] = row[node.token.index()];
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

bool FormulaTape::eval_dynamic(std::span<const Complex> params, Complex* values) const {
    for (const std::uint16_t at : dynamic_nodes_) {
        const Node& node = nodes_[at];
        if (!node.op) {
            const std::size_t slot = node.token.slot();
            values[at] = slot < params.size() ? params[slot] : node.token.value;
        } else if (!apply(at, values)) {
            return false;
        }
    }
    return true;
}

void FormulaTape::eval_dynamic_rows(std::span<const Complex> params, Complex* values,
                                    std::size_t count, std::uint8_t* alive) const {
    const std::size_t width = nodes_.size();
    for (const std::uint16_t at : dynamic_nodes_) {
        const Node& node = nodes_[at];
        if (!node.op) {
            const std::size_t slot = node.token.slot();
            const Complex value = slot < params.size() ? params[slot] : node.token.value;
            for (std::size_t r = 0; r < count; ++r) values[r * width + at] = value;
            continue;
        }
        for (std::size_t r = 0; r < count; ++r)
            if (alive[r] && !apply(at, values + r * width)) alive[r] = 0;
    }
}

void FormulaTape::eval_moved_rows(std::size_t j, Complex moved, const Complex* values,
                                  std::size_t count, const std::uint8_t* alive, Complex* out,
                                  std::uint8_t* defined) const {
    const std::size_t width = nodes_.size();
    for (std::size_t r = 0; r < count; ++r) {
        out[r] = moved;
        defined[r] = alive[r];
    }
    // out[r] carries the moved value up the path; the other operand of each
    // step is unchanged and read from the stored evaluation.
    for (std::size_t i = path_offsets_[j]; i < path_offsets_[j + 1]; ++i) {
        const Node& node = nodes_[paths_[i]];
        const bool from_left = path_from_left_[i] != 0;
        const std::size_t other = from_left ? node.right : node.left;
        for (std::size_t r = 0; r < count; ++r) {
            if (!defined[r]) continue;
            Complex operands[2] = {out[r], Complex{}};
            if (node.arity == 2) {
                const Complex fixed = values[r * width + other];
                if (from_left) {
                    operands[1] = fixed;
                } else {
                    operands[0] = fixed;
                    operands[1] = out[r];
                }
            }
            Complex value;
            if (!(*node.op)(operands, value) || !within_value_limit(value)) {
                defined[r] = 0;
                continue;
            }
            out[r] = value;
        }
    }
}

}  // namespace vorn
