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
    stack_.clear();
    if (tokens.empty() || tokens.size() > std::numeric_limits<std::uint16_t>::max()) return false;

    std::vector<std::uint16_t>& parent = saved_parents_;
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
            at = parent[at];
            paths_.push_back(static_cast<std::uint16_t>(at));
        }
    }
    path_offsets_.push_back(static_cast<std::uint16_t>(paths_.size()));
    saved_.resize(nodes_.size());
    return true;
}

bool FormulaTape::apply(const Node& node, Complex* values) const {
    Complex operands[2] = {};
    if (node.arity >= 1) operands[0] = values[node.left];
    if (node.arity == 2) operands[1] = values[node.right];
    const auto value = (*node.op)(operands);
    if (!value || !within_value_limit(*value)) return false;
    values[&node - nodes_.data()] = *value;
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
                if (!apply(node, values)) return false;
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
        } else if (!apply(node, values)) {
            return false;
        }
    }
    return true;
}

std::optional<Complex> FormulaTape::eval_moved(std::size_t j, Complex moved, Complex* values) {
    const std::uint16_t leaf = param_nodes_[j];
    const std::size_t begin = path_offsets_[j];
    const std::size_t end = path_offsets_[j + 1];
    saved_[0] = values[leaf];
    for (std::size_t i = begin; i < end; ++i) saved_[1 + i - begin] = values[paths_[i]];

    values[leaf] = moved;
    bool ok = true;
    for (std::size_t i = begin; i < end && ok; ++i) ok = apply(nodes_[paths_[i]], values);
    const Complex top = values[root()];

    values[leaf] = saved_[0];
    for (std::size_t i = begin; i < end; ++i) values[paths_[i]] = saved_[1 + i - begin];
    if (!ok) return std::nullopt;
    return top;
}

}  // namespace vorn
