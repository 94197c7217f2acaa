#include "engine/generate.hpp"

#include <omp.h>

#include <atomic>

#include "core/internal_error.hpp"
#include "eval/fingerprint.hpp"
#include "core/parallel.hpp"

namespace vorn {

namespace {

void append_shifted(std::vector<Token>& out, const std::vector<Token>& tokens, std::uint8_t shift) {
    for (Token t : tokens) {
        if (t.kind == TokenKind::Param) t.param_slot = static_cast<std::uint8_t>(t.param_slot + shift);
        out.push_back(t);
    }
}

bool too_many_params(const Expression& left, const Expression& right) {
    return static_cast<std::size_t>(left.num_params) + right.num_params > kMaxParams;
}

// Runs one pass. `compose(outer, out)` appends, in pass order, the
// compositions of one outer operand whose fingerprint no earlier pass
// admitted, each with the shard of its key; `key_of(ref)` computes that key
// again. Survivors are then admitted shard by shard, each shard by one thread
// walking them in pass order, so the first of several equal fingerprints
// always wins, whatever the thread count. Recomputing a key costs less than
// holding 80 bytes for every survivor of a large pass.
template <class Compose, class KeyOf>
void run_pass(std::size_t outer_count, FingerprintSet& seen, Compose&& compose, KeyOf&& key_of,
              std::vector<CandidateRef>& admitted, GenerationCounts& counts, StopSignal* stop) {
    std::vector<std::vector<CandidateRef>> survivors(outer_count);
    std::vector<std::uint64_t> generated(outer_count, 0);
    parallel_for(outer_count, 1, [&](std::size_t i) { generated[i] = compose(i, survivors[i]); }, stop);
    if (stop && stop->stopped()) return;
    for (const std::uint64_t g : generated) counts.generated += g;

    std::vector<std::vector<std::uint8_t>> is_new(outer_count);
    for (std::size_t i = 0; i < outer_count; ++i) is_new[i].assign(survivors[i].size(), 0);
    std::atomic<bool> lost{false};
#pragma omp parallel
    {
        const std::size_t threads = static_cast<std::size_t>(omp_get_num_threads());
        const std::size_t me = static_cast<std::size_t>(omp_get_thread_num());
        std::size_t walked = 0;
        for (std::size_t i = 0; i < outer_count && !(stop && stop->stopped()); ++i) {
            for (std::size_t e = 0; e < survivors[i].size(); ++e) {
                if (stop && ++walked % 4096 == 0) {
                    stop->poll();
                    if (stop->stopped()) break;
                }
                const CandidateRef& ref = survivors[i][e];
                if (ref.shard % threads != me) continue;
                // Keys are recomputed exactly; a missing one would be a bug,
                // reported after the parallel region rather than thrown in it.
                const auto key = key_of(ref);
                if (!key) {
                    lost = true;
                    continue;
                }
                is_new[i][e] = seen.insert(*key) ? 1 : 0;
            }
        }
    }
    if (lost) throw InternalError("a surviving composition lost its fingerprint");
    if (stop && stop->stopped()) return;
    for (std::size_t i = 0; i < outer_count; ++i) {
        for (std::size_t e = 0; e < survivors[i].size(); ++e) {
            if (!is_new[i][e]) continue;
            admitted.push_back(survivors[i][e]);
            ++counts.admitted;
        }
        std::vector<CandidateRef>().swap(survivors[i]);
    }
}

// Keeps the candidate if its key is new to every earlier pass. Nothing is
// inserted into `seen` during this half of a pass, so it is read unlocked.
void admit_if_new(CandidateRef ref, const std::optional<FingerprintKey>& key,
                  const FingerprintSet& seen, std::vector<CandidateRef>& out) {
    if (!key) return;
    const std::size_t hash = FingerprintSet::hash_of(*key);
    if (seen.contains_while_no_insert(*key, hash)) return;
    ref.shard = static_cast<std::uint8_t>(FingerprintSet::shard_of(hash));
    out.push_back(ref);
}

// The same, fingerprinting the scratch tokens.
void consider(const CandidateRef& ref, std::size_t num_vars, const std::vector<Token>& tokens,
              OperatorTable operators, const FingerprintSet& seen, EvalScratch& scratch,
              std::vector<CandidateRef>& out) {
    admit_if_new(ref, fingerprint_tokens(tokens, num_vars, operators, scratch), seen, out);
}

}  // namespace

Expression compose_unary(const Expression& parent, std::size_t op_id, const OperatorMeta& meta) {
    Expression e;
    e.tokens.reserve(parent.tokens.size() + 1);
    e.tokens = parent.tokens;
    e.tokens.push_back(Token::op(1, op_id));
    e.text.reserve(meta.name.size() + parent.text.size() + 2);
    e.text += meta.name;
    e.text += '(';
    e.text += parent.text;
    e.text += ')';
    e.num_vars = parent.num_vars;
    e.num_params = parent.num_params;
    return e;
}

std::optional<Expression> compose_binary(const Expression& left, const Expression& right,
                                         std::size_t op_id, const OperatorMeta& meta) {
    if (too_many_params(left, right)) return std::nullopt;
    Expression e;
    e.tokens.reserve(left.tokens.size() + right.tokens.size() + 1);
    e.tokens = left.tokens;
    append_shifted(e.tokens, right.tokens, left.num_params);
    e.tokens.push_back(Token::op(2, op_id));
    e.text.reserve(meta.name.size() + left.text.size() + right.text.size() + 4);
    e.text += meta.name;
    e.text += '(';
    e.text += left.text;
    e.text += ", ";
    e.text += right.text;
    e.text += ')';
    e.num_vars = std::max(left.num_vars, right.num_vars);
    e.num_params = static_cast<std::uint8_t>(left.num_params + right.num_params);
    return e;
}

void candidate_tokens(const CandidateRef& ref, std::size_t level, const std::vector<Level>& levels,
                      std::vector<Token>& out) {
    out.clear();
    const Expression& left = levels[ref.left_level].expressions[ref.left];
    out.insert(out.end(), left.tokens.begin(), left.tokens.end());
    if (ref.arity == 2) {
        const std::size_t right_level = ref.right_level(level);
        append_shifted(out, levels[right_level].expressions[ref.right].tokens, left.num_params);
    }
    out.push_back(Token::op(ref.arity, ref.op_id));
}

Expression materialize(const CandidateRef& ref, std::size_t level, const std::vector<Level>& levels,
                       const OperatorRegistry& registry) {
    const Expression& left = levels[ref.left_level].expressions[ref.left];
    const OperatorMeta& meta = registry.metas()[ref.op_id];
    if (ref.arity == 1) return compose_unary(left, ref.op_id, meta);
    const Expression& right = levels[ref.right_level(level)].expressions[ref.right];
    auto e = compose_binary(left, right, ref.op_id, meta);
    if (!e) throw InternalError("a candidate with more than 255 parameters was admitted");
    return std::move(*e);
}

std::vector<CandidateRef> generate_level(std::size_t k, const std::vector<Level>& levels,
                                         const OperatorRegistry& registry, FingerprintSet& seen,
                                         GenerationCounts& counts, StopSignal* stop, bool reuse,
                                         std::uint32_t operator_mask) {
    const OperatorTable operators = registry.operators();
    const auto& metas = registry.metas();
    const auto allowed = [&](std::uint8_t arity) {
        std::vector<std::size_t> ids = registry.ids_by_arity(arity);
        std::erase_if(ids, [&](std::size_t id) { return id >= 32 || !((operator_mask >> id) & 1u); });
        return ids;
    };
    const std::vector<std::size_t> unary = allowed(1);
    const std::vector<std::size_t> binary = allowed(2);
    std::vector<CandidateRef> admitted;
    std::vector<OperatorCall> calls;
    calls.reserve(operators.size());
    for (const OperatorPtr& op : operators) calls.emplace_back(*op);
    const auto has_probes = [&](std::size_t level) { return reuse && !levels[level].probe_values.empty(); };
    // A candidate's fingerprint, from its operands' probe values when they
    // are stored, else from its tokens.
    const auto key_of = [&](const CandidateRef& ref) -> std::optional<FingerprintKey> {
        const Level& left = levels[ref.left_level];
        const std::size_t right_level = ref.right_level(k);
        if (ref.arity == 1 && has_probes(ref.left_level))
            return composed_fingerprint(calls[ref.op_id], left.at_probes(ref.left), {});
        if (ref.arity == 2 && has_probes(ref.left_level) && has_probes(right_level))
            return composed_fingerprint(calls[ref.op_id], left.at_probes(ref.left),
                                        levels[right_level].at_probes(ref.right));
        thread_local std::vector<Token> tokens;
        thread_local EvalScratch scratch;
        candidate_tokens(ref, k, levels, tokens);
        std::size_t num_vars = left.expressions[ref.left].num_vars;
        if (ref.arity == 2)
            num_vars = std::max<std::size_t>(num_vars, levels[right_level].expressions[ref.right].num_vars);
        return fingerprint_tokens(tokens, num_vars, operators, scratch);
    };

    // Unary pass over the parents of level k-1.
    const Level& parents = levels[k - 1];
    const bool parents_cached = has_probes(k - 1);
    run_pass(
        parents.size(), seen,
        [&](std::size_t i, std::vector<CandidateRef>& out) {
            thread_local std::vector<Token> tokens;
            thread_local EvalScratch scratch;
            const Expression& parent = parents.expressions[i];
            if (!parents_cached) {
                tokens.assign(parent.tokens.begin(), parent.tokens.end());
                tokens.emplace_back();
            }
            for (const std::size_t u : unary) {
                const CandidateRef ref{static_cast<std::uint32_t>(i), 0,
                                       static_cast<std::uint32_t>(k - 1),
                                       static_cast<std::uint16_t>(u), 1};
                if (parents_cached) {
                    admit_if_new(ref, composed_fingerprint(calls[u], parents.at_probes(i), {}),
                                 seen, out);
                    continue;
                }
                tokens.back() = Token::op(1, u);
                consider(ref, parent.num_vars, tokens, operators, seen, scratch, out);
            }
            return static_cast<std::uint64_t>(unary.size());
        },
        key_of, admitted, counts, stop);

    // Binary passes, left complexity ascending.
    for (std::size_t l = 1; l + 2 <= k; ++l) {
        const std::size_t r = k - 1 - l;
        const Level& lefts = levels[l];
        const Level& rights = levels[r];
        const bool cached = has_probes(l) && has_probes(r);
        run_pass(
            lefts.size(), seen,
            [&](std::size_t i, std::vector<CandidateRef>& out) {
                thread_local std::vector<Token> tokens;
                thread_local EvalScratch scratch;
                std::uint64_t generated = 0;
                const Expression& left = lefts.expressions[i];
                for (std::size_t j = 0; j < rights.size(); ++j) {
                    const Expression& right = rights.expressions[j];
                    if (too_many_params(left, right)) continue;
                    // Compare the operand texts only once per pair.
                    const bool ordered_pair = l != r || left.text <= right.text;
                    bool built = false;
                    for (const std::size_t b : binary) {
                        if (metas[b].is_commutative && !ordered_pair) continue;
                        const CandidateRef ref{static_cast<std::uint32_t>(i),
                                               static_cast<std::uint32_t>(j),
                                               static_cast<std::uint32_t>(l),
                                               static_cast<std::uint16_t>(b), 2};
                        ++generated;
                        if (cached) {
                            admit_if_new(ref,
                                         composed_fingerprint(calls[b], lefts.at_probes(i),
                                                              rights.at_probes(j)),
                                         seen, out);
                            continue;
                        }
                        if (!built) {
                            tokens.assign(left.tokens.begin(), left.tokens.end());
                            append_shifted(tokens, right.tokens, left.num_params);
                            tokens.emplace_back();
                            built = true;
                        }
                        tokens.back() = Token::op(2, b);
                        consider(ref, std::max(left.num_vars, right.num_vars), tokens, operators,
                                 seen, scratch, out);
                    }
                }
                return generated;
            },
            key_of, admitted, counts, stop);
        if (stop && stop->stopped()) break;
    }
    return admitted;
}

}  // namespace vorn
