#include "eval/error_measure.hpp"

namespace vorn {

void ConstantSums::add(std::span<const Token> tokens, std::span<const double> params) {
    std::size_t next = 0;
    for (const Token& t : tokens) {
        if (t.kind == TokenKind::RealConst) add(t.value.re);
        if (t.kind == TokenKind::Param) add(params.empty() ? t.value.re : params[next++]);
    }
}

}  // namespace vorn
