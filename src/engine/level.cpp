#include "engine/level.hpp"

namespace vorn {

void Level::push(Expression expression) {
    skeletons.push_back(operator_skeleton(expression));
    expressions.push_back(std::move(expression));
}

std::string operator_skeleton(const Expression& expression) {
    std::string out;
    for (const Token& t : expression.tokens) {
        if (t.kind != TokenKind::Op) continue;
        if (!out.empty()) out += '-';
        out += std::to_string(t.op_id);
    }
    return out;
}

}  // namespace vorn
