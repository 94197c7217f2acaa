#include "engine/level.hpp"

namespace vorn {

void Level::push(Expression expression) {
    skeletons.push_back(operator_skeleton_hash(expression));
    expressions.push_back(std::move(expression));
}

SkeletonHash operator_skeleton_hash(const Expression& expression) {
    SkeletonHash hash;
    for (const Token& t : expression.tokens)
        if (t.kind == TokenKind::Op) hash = hash.then(SkeletonHash::of_op(t.op_id));
    return hash;
}

}  // namespace vorn
