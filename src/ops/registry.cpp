#include "ops/registry.hpp"

#include "ops/builtin.hpp"

namespace vorn {

std::string Operator::to_mathematica(std::span<const std::string_view> operands) const {
    std::string out(name());
    if (operands.empty()) return out;
    out += '[';
    for (std::size_t i = 0; i < operands.size(); ++i) {
        if (i) out += ", ";
        out += operands[i];
    }
    out += ']';
    return out;
}

void OperatorRegistry::register_operator(OperatorPtr op) {
    OperatorMeta meta;
    meta.name = std::string(op->name());
    meta.arity = op->arity();
    meta.is_commutative = op->is_commutative();
    metas_.push_back(std::move(meta));
    operators_.push_back(std::move(op));
}

std::vector<std::size_t> OperatorRegistry::ids_by_arity(std::uint8_t arity) const {
    std::vector<std::size_t> ids;
    for (std::size_t id = 0; id < metas_.size(); ++id)
        if (metas_[id].arity == arity) ids.push_back(id);
    return ids;
}

OperatorRegistry OperatorRegistry::with_builtins() {
    OperatorRegistry registry;
    for (auto& constant : named_constants()) registry.register_operator(std::move(constant));
    for (auto& op : all_builtins()) registry.register_operator(std::move(op));
    return registry;
}

std::shared_ptr<const OperatorRegistry> OperatorRegistry::shared_builtins() {
    return std::make_shared<const OperatorRegistry>(with_builtins());
}

}  // namespace vorn
