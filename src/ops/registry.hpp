#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ops/operator.hpp"

namespace vorn {

// What the search needs to know about an operator without calling it; copied
// once at registration.
struct OperatorMeta {
    std::string name;
    std::uint8_t arity = 0;
    bool is_commutative = false;
};

// The operators of one search in a fixed order: an operator's position is its
// id, and ids are what Op tokens store. Built once, then shared read-only by the
// driver, the workers and every result of the search.
class OperatorRegistry {
public:
    OperatorRegistry() = default;
    OperatorRegistry(OperatorRegistry&&) noexcept = default;
    OperatorRegistry& operator=(OperatorRegistry&&) noexcept = default;
    OperatorRegistry(const OperatorRegistry&) = delete;
    OperatorRegistry& operator=(const OperatorRegistry&) = delete;

    // Appends `op`; its id is the number of operators registered before it.
    // (Named `register_operator` because `register` is a C++ keyword.)
    void register_operator(OperatorPtr op);

    // Ids of the operators of that arity, ascending.
    std::vector<std::size_t> ids_by_arity(std::uint8_t arity) const;

    OperatorTable operators() const { return operators_; }
    const std::vector<OperatorMeta>& metas() const { return metas_; }
    std::size_t size() const { return operators_.size(); }

    // The five named constants (ids 0-4) followed by the eighteen built-ins.
    static OperatorRegistry with_builtins();
    static std::shared_ptr<const OperatorRegistry> shared_builtins();

private:
    std::vector<OperatorPtr> operators_;
    std::vector<OperatorMeta> metas_;
};

// Fixed ids of the built-in registry. builtin_operators.def lists the
// operators in this order, which builtin.cpp checks at compile time.
namespace op_ids {
inline constexpr std::size_t Zero = 0, One = 1, I = 2, Pi = 3, E = 4;
inline constexpr std::size_t Vorn = 5, Neg = 6, Inv = 7, Plus = 8, Times = 9, Subtract = 10,
                             Divide = 11, Exp = 12, Log = 13, Sqrt = 14, Sin = 15, Cos = 16,
                             Tan = 17, ArcSin = 18, ArcCos = 19, ArcTan = 20, Square = 21,
                             Cube = 22;
inline constexpr std::size_t Count = 23;
}  // namespace op_ids

}  // namespace vorn
