#include "engine/checkpoint.hpp"

#include <cstring>

#include "core/byte_io.hpp"
#include "engine/rounds.hpp"
#include "result/formula_codec.hpp"

namespace vorn {

namespace {

constexpr char kMagic[4] = {'V', 'S', 'C', 'K'};

// Bounds a crafted file cannot exceed without being refused before anything
// is allocated for it.
constexpr std::uint64_t kMaxLevels = 1u << 16;
constexpr std::uint64_t kMaxTokens = 1u << 16;

void put_formula(ByteWriter& out, const Expression& e) {
    out.put(static_cast<std::uint32_t>(e.tokens.size()));
    encode_tokens(out, e.tokens);
}

void put_counters(ByteWriter& out, const LevelStats& s) {
    for (const std::uint64_t v : {s.generated, s.admitted, s.scored, s.refined, s.retained}) out.put(v);
}

// A count read from the bytes, refused when it is beyond `limit` or beyond
// what the remaining bytes could hold at `min_bytes` each.
std::optional<std::size_t> get_count(ByteReader& in, std::uint64_t limit, std::size_t min_bytes) {
    const auto n = in.get<std::uint64_t>();
    if (in.overrun() || n > limit || n > in.remaining() / std::max<std::size_t>(min_bytes, 1)) return std::nullopt;
    return static_cast<std::size_t>(n);
}

}  // namespace

std::string encode_checkpoint(const SearchCheckpoint& c) {
    ByteWriter out;
    out.put_bytes(std::string_view(kMagic, 4));
    out.put(kCheckpointFormatVersion);
    for (const std::size_t v : {c.max_complexity, c.rounds, c.round, c.level, c.levels_finished, c.n_vars})
        out.put(static_cast<std::uint64_t>(v));
    out.put(static_cast<std::uint64_t>(c.levels.size()));
    for (const auto& level : c.levels) {
        out.put(static_cast<std::uint64_t>(level.size()));
        for (const Expression& e : level) put_formula(out, e);
    }
    out.put(static_cast<std::uint64_t>(c.front.size()));
    for (const auto& entry : c.front) {
        out.put_double(entry.error);
        put_formula(out, entry.expression);
    }
    out.put(static_cast<std::uint64_t>(c.counters.size()));
    for (const LevelStats& s : c.counters) put_counters(out, s);
    return std::move(out).take();
}

std::optional<SearchCheckpoint> decode_checkpoint(std::span<const std::uint8_t> bytes,
                                                  const OperatorRegistry& registry, std::string& problem) {
    const auto refuse = [&](std::string why) {
        problem = std::move(why);
        return std::optional<SearchCheckpoint>{};
    };
    if (bytes.size() < 6 || std::memcmp(bytes.data(), kMagic, 4) != 0)
        return refuse("the search state is not a vorn_sr search state");
    ByteReader in(bytes.subspan(4));
    const auto version = in.get<std::uint16_t>();
    if (version > kCheckpointFormatVersion)
        return refuse("the search state is in format " + std::to_string(version) +
                      ", but this vorn_sr reads formats up to " + std::to_string(kCheckpointFormatVersion) +
                      "; upgrade vorn_sr to resume it");
    if (version != kCheckpointFormatVersion)
        return refuse("the search state is in an unknown format " + std::to_string(version));

    SearchCheckpoint c;
    for (std::size_t* field : {&c.max_complexity, &c.rounds, &c.round, &c.level, &c.levels_finished, &c.n_vars}) {
        const auto v = in.get<std::uint64_t>();
        if (v > kMaxLevels) return refuse("the search state has an out-of-range field");
        *field = static_cast<std::size_t>(v);
    }
    if (in.overrun()) return refuse("the search state is truncated");
    if (c.rounds == 0 || c.round >= c.rounds || c.level < 1 || c.level > c.max_complexity ||
        c.levels_finished < 1 || c.levels_finished > c.max_complexity || c.n_vars < 1 || c.n_vars > kMaxVars)
        return refuse("the search state's round, level or feature count is out of range");

    const auto read_formula = [&](std::string_view what) -> std::optional<Expression> {
        const auto tokens = in.get<std::uint32_t>();
        if (in.overrun() || tokens == 0 || tokens > kMaxTokens) {
            problem = std::string(what) + " is truncated or malformed";
            return std::nullopt;
        }
        std::string why;
        auto e = decode_formula(in, tokens, registry, why, /*finite_constants=*/false);
        if (!e) {
            problem = std::string(what) + " is malformed: " + why;
            return std::nullopt;
        }
        // Evaluation indexes the data's columns by these, so they are checked
        // before anything is evaluated.
        if (e->num_vars > c.n_vars) {
            problem = std::string(what) + " uses a variable beyond the data's " + std::to_string(c.n_vars);
            return std::nullopt;
        }
        return e;
    };

    const auto n_levels = get_count(in, kMaxLevels, 8);
    if (!n_levels || *n_levels != c.level + 1) return refuse("the search state's levels do not match its level");
    c.levels.resize(*n_levels);
    for (std::size_t k = 0; k < *n_levels; ++k) {
        const auto count = get_count(in, ~std::uint64_t{0}, 4 + kTokenBytes);
        if (!count || (k == 0 && *count != 0)) return refuse("the search state's level " + std::to_string(k) + " is malformed");
        c.levels[k].reserve(*count);
        for (std::size_t i = 0; i < *count; ++i) {
            auto e = read_formula("formula " + std::to_string(i) + " of level " + std::to_string(k));
            if (!e) return std::nullopt;
            // Composition assumes a kept formula of level k has k tokens.
            if (e->complexity() != k)
                return refuse("formula " + std::to_string(i) + " of level " + std::to_string(k) +
                              " has the wrong complexity");
            c.levels[k].push_back(std::move(*e));
        }
    }
    const auto n_front = get_count(in, ~std::uint64_t{0}, 8 + 4 + kTokenBytes);
    if (!n_front) return refuse("the search state's front is malformed");
    for (std::size_t i = 0; i < *n_front; ++i) {
        const double error = in.get_double();
        auto e = read_formula("front entry " + std::to_string(i));
        if (!e) return std::nullopt;
        if (!c.front.empty() && c.front.back().expression.complexity() >= e->complexity())
            return refuse("the search state's front is out of order");
        c.front.push_back({error, std::move(*e)});
    }
    const auto n_counters = get_count(in, kMaxLevels, 5 * 8);
    if (!n_counters) return refuse("the search state's counters are malformed");
    c.counters.resize(*n_counters);
    for (LevelStats& s : c.counters)
        for (std::uint64_t* v : {&s.generated, &s.admitted, &s.scored, &s.refined, &s.retained})
            *v = in.get<std::uint64_t>();
    if (in.overrun() || in.remaining() != 0) return refuse("the search state is truncated or padded");
    return c;
}

std::optional<std::string> resume_problem(const SearchCheckpoint& c, const SearchConfig& config,
                                          std::size_t n_vars) {
    if (c.n_vars != n_vars)
        return "it was written for data with " + std::to_string(c.n_vars) + " features, not " +
               std::to_string(n_vars);
    if (c.rounds != round_plan(config).size()) return std::string("it was written by another strategy");
    if (c.max_complexity != config.max_complexity) {
        // Only the first round's levels are the same whatever the maximum:
        // later rounds start from a front that the earlier rounds' maximum
        // shaped.
        if (c.round != 0 || c.level > config.max_complexity)
            return "it was written with max_complexity=" + std::to_string(c.max_complexity) +
                   ", and a search with max_complexity=" + std::to_string(config.max_complexity) +
                   " never passes through its state";
    }
    return std::nullopt;
}

}  // namespace vorn
