#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/expression.hpp"
#include "core/samples.hpp"
#include "eval/interpreter.hpp"

namespace vorn {

// A formula compiled for evaluation over many rows, one node per token, with
// the operand positions resolved once. Every node's value is kept, so a value
// can be recomputed from its operands' stored values without evaluating the
// rest of the formula again. The arithmetic is exactly that of eval_internal:
// the same operator calls on the same operands, the same value limit.
class FormulaTape {
public:
    // False when the tokens do not form one well-formed formula, or when the
    // Param slots are not 0, 1, 2, ... in token order (the layout that
    // composition produces). Callers then evaluate the plain way.
    bool compile(std::span<const Token> tokens, OperatorTable operators);

    std::size_t size() const { return nodes_.size(); }
    std::size_t root() const { return nodes_.size() - 1; }

    // Evaluates the nodes that do not depend on a parameter. False when one of
    // them is undefined on this row: then no parameter values can help.
    bool eval_static(std::span<const double> row, Complex* values) const;
    // Evaluates the nodes that depend on a parameter, reading the others from
    // `values`. False at the first undefined node.
    bool eval_dynamic(std::span<const Complex> params, Complex* values) const;

    // The same over `count` consecutive rows stored one after another, size()
    // values each, one node at a time across the rows so that the operator is
    // resolved once per node rather than once per value; nodes that read no
    // variable are computed once for the whole block. Rows with alive[r]
    // clear are skipped; alive[r] is cleared where a node is undefined.
    void eval_dynamic_rows(std::span<const Complex> params, Complex* values, std::size_t count,
                           std::uint8_t* alive) const;
    // For each of `count` rows whose `values` hold a complete evaluation (and
    // are not modified): the root value with parameter j moved to `moved`,
    // recomputing only the ancestors of j. out[r] receives it and defined[r]
    // tells whether it exists; rows with alive[r] clear are skipped.
    void eval_moved_rows(std::size_t j, Complex moved, const Complex* values, std::size_t count,
                         const std::uint8_t* alive, Complex* out, std::uint8_t* defined) const;

    // Evaluation on the real axis, a block of up to kRealBlock rows at a time,
    // laid out node by node: node i's value at row r of the block is
    // values[i * kRealBlock + r], its real part (the imaginary part is a
    // zero). Each row carries a state:
    //   kRowReal: every node so far is on the real axis, its value exact;
    //   kRowUndefined: a node is undefined there (eval_internal has no value);
    //   kRowOffAxis: a node may have left the real axis, so the row's values
    //     say nothing and it is for the complex evaluation.
    // Rows not kRowReal on entry are skipped. The arithmetic is the
    // operators' real kernels, a node across the block at once.
    static constexpr std::size_t kRealBlock = 32;
    static constexpr std::uint8_t kRowUndefined = 0, kRowReal = 1, kRowOffAxis = 2;

    // Whether real evaluation can apply at all: every operator has a real
    // kernel and every constant and parameter default is on the real axis.
    bool real_ready() const { return real_ready_; }
    // The nodes without parameters on rows begin .. begin + n of `rows`.
    void real_static_rows(const Samples& rows, std::size_t begin, std::size_t n, double* values,
                          std::uint8_t* state) const;
    // The nodes with parameters; parameter slot j takes params[j].
    void real_dynamic_rows(std::span<const double> params, double* values, std::size_t n,
                           std::uint8_t* state) const;
    // Copies the values of the nodes without parameters, which a trial does
    // not recompute, from one block to another.
    void real_copy_static(const double* from, double* to) const;
    // As eval_moved_rows: the root with parameter j moved to `moved`, from a
    // complete evaluation in `values` (not modified), into out[r] and
    // out_state[r].
    void real_moved_rows(std::size_t j, double moved, const double* values, std::size_t n,
                         const std::uint8_t* state, double* out, std::uint8_t* out_state) const;

private:
    struct Node {
        std::optional<OperatorCall> op;  // none for a leaf
        std::uint16_t left = 0;        // operand positions; a unary node reads `left`
        std::uint16_t right = 0;
        std::uint8_t arity = 0;
        bool dynamic = false;  // depends on a parameter
        bool uniform = false;  // reads no variable: the same value on every row
        Token token{};
    };

    // Computes node `at` from its operands' values; false where undefined.
    bool apply(std::size_t at, Complex* values) const;
    // Node `at` across `count` rows stored one after another; rows with
    // alive[r] clear are skipped, and cleared where the node is undefined.
    void apply_rows(std::size_t at, Complex* values, std::size_t count, std::uint8_t* alive) const;
    // Node `at` across a block on the real axis.
    void real_apply(std::size_t at, double* values, std::size_t n, std::uint8_t* state) const;
    // A parameter leaf's value, as eval_internal reads it: the supplied value
    // of its slot, else its default.
    static Complex param_value(const Node& node, std::span<const Complex> params);
    // Path step i of a moved evaluation: its node applied to `carried` (the
    // path operand) and the stored value of its other operand.
    bool step(std::size_t i, const Complex* values, Complex& carried) const;

    std::vector<Node> nodes_;
    std::vector<std::uint16_t> static_nodes_;
    std::vector<std::uint16_t> dynamic_nodes_;
    std::vector<std::uint16_t> uniform_dynamic_;     // the dynamic nodes that read no variable
    std::vector<std::uint16_t> varying_dynamic_;     // and those that do
    std::vector<std::uint16_t> param_nodes_;         // node of slot j
    std::vector<std::uint16_t> path_offsets_;        // ancestors of slot j: paths_[off[j] .. off[j+1])
    std::vector<std::uint16_t> paths_;
    std::vector<std::uint8_t> path_from_left_;       // the path enters paths_[i] as its left operand
    std::vector<std::uint16_t> path_uniform_;        // leading steps of path j that read no variable
    std::vector<std::uint16_t> stack_;
    std::vector<std::uint16_t> parents_;             // compile's scratch
    bool real_ready_ = false;
};

}  // namespace vorn
