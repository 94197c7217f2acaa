#include "engine/remote_scoring.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "core/byte_io.hpp"
#include "core/internal_error.hpp"
#include "core/parallel.hpp"
#include "engine/level_scorer.hpp"
#include "result/formula_codec.hpp"

namespace vorn {

namespace {

constexpr char kDataMagic[4] = {'V', 'S', 'D', 'T'};
constexpr char kLevelMagic[4] = {'V', 'S', 'L', 'V'};
constexpr char kCandidatesMagic[4] = {'V', 'S', 'C', 'A'};
constexpr char kOutcomesMagic[4] = {'V', 'S', 'O', 'C'};
// left (u32), right (u32), left level (u32), operator id (u16), arity (u8)
constexpr std::size_t kCandidateBytes = 4 + 4 + 4 + 2 + 1;
constexpr std::size_t kOutcomeBytes = 1 + 8 + 8;
constexpr std::uint8_t kHasScore = 1, kRefined = 2;

ByteWriter start(const char (&magic)[4]) {
    ByteWriter out;
    out.put_bytes(std::string_view(magic, 4));
    out.put(kScoringFormatVersion);
    return out;
}

// Checks the magic and the version; the reader then stands after them.
bool open(ByteReader& in, std::span<const std::uint8_t> bytes, const char (&magic)[4], const char* what,
          std::string& problem) {
    if (bytes.size() < 6 || std::memcmp(bytes.data(), magic, 4) != 0) {
        problem = std::string("the bytes are not ") + what;
        return false;
    }
    in = ByteReader(bytes.subspan(4));
    const auto version = in.get<std::uint16_t>();
    if (version != kScoringFormatVersion) {
        problem = std::string(what) + " in format " + std::to_string(version) + ", but this vorn_sr reads format " +
                  std::to_string(kScoringFormatVersion) + " only";
        return false;
    }
    return true;
}

// AllComplex is set when real_fast_path is off, so that bytes without it
// keep the default.
enum ConfigFlag : std::uint8_t { Exhaustive = 1, Refine = 2, SeedConstant = 4, Reuse = 8, AllComplex = 16 };

void put_config(ByteWriter& out, const SearchConfig& c) {
    out.put(static_cast<std::uint64_t>(c.max_complexity));
    out.put(static_cast<std::uint64_t>(c.beam_width));
    out.put_double(c.complexity_penalty);
    out.put_double(c.alpha);
    out.put_double(c.l1_ratio);
    out.put_double(c.early_exit_threshold);
    out.put(static_cast<std::uint8_t>((c.exhaustive ? Exhaustive : 0) | (c.refine_constants ? Refine : 0) |
                                      (c.seed_constant_leaf ? SeedConstant : 0) |
                                      (c.reuse_computed_values ? Reuse : 0) |
                                      (c.real_fast_path ? 0 : AllComplex)));
    out.put(static_cast<std::uint64_t>(c.row_value_budget_bytes));
    const EngineSettings& e = c.engine;
    out.put(e.operator_mask);
    out.put(static_cast<std::uint8_t>(e.fit));
    out.put_double(e.relative_exit_threshold);
    out.put(static_cast<std::uint8_t>(e.scaled_ranking));
    out.put(static_cast<std::uint64_t>(e.deepening_rounds));
    out.put(static_cast<std::uint64_t>(e.first_round_beam));
    out.put(static_cast<std::uint8_t>(e.power_laws));
    out.put(static_cast<std::uint8_t>(e.constant_free_round));
}

SearchConfig get_config(ByteReader& in) {
    SearchConfig c;
    c.max_complexity = in.get<std::uint64_t>();
    c.beam_width = in.get<std::uint64_t>();
    c.complexity_penalty = in.get_double();
    c.alpha = in.get_double();
    c.l1_ratio = in.get_double();
    c.early_exit_threshold = in.get_double();
    const auto flags = in.get<std::uint8_t>();
    c.exhaustive = flags & Exhaustive;
    c.refine_constants = flags & Refine;
    c.seed_constant_leaf = flags & SeedConstant;
    c.reuse_computed_values = flags & Reuse;
    c.real_fast_path = !(flags & AllComplex);
    c.row_value_budget_bytes = in.get<std::uint64_t>();
    EngineSettings& e = c.engine;
    e.operator_mask = in.get<std::uint32_t>() & kAllOperators;
    e.fit = in.get<std::uint8_t>() == static_cast<std::uint8_t>(FitMethod::LevenbergMarquardt)
                ? FitMethod::LevenbergMarquardt
                : FitMethod::DiagonalGaussNewton;
    e.relative_exit_threshold = in.get_double();
    e.scaled_ranking = in.get<std::uint8_t>() != 0;
    e.deepening_rounds = in.get<std::uint64_t>();
    e.first_round_beam = in.get<std::uint64_t>();
    e.power_laws = in.get<std::uint8_t>() != 0;
    e.constant_free_round = in.get<std::uint8_t>() != 0;
    return c;
}

// Reads `count` doubles, refusing counts the bytes cannot hold before
// allocating anything.
bool get_doubles(ByteReader& in, std::uint64_t count, std::vector<double>& out) {
    if (count > in.remaining() / 8) return false;
    out.resize(count);
    for (double& v : out) v = in.get_double();
    return true;
}

}  // namespace

std::string encode_scoring_data(const Samples& samples, std::span<const double> targets,
                                const SearchConfig& config) {
    ByteWriter out = start(kDataMagic);
    put_config(out, config);
    const std::size_t width = samples.first_width();
    bool uniform = true;
    for (std::size_t i = 0; i < samples.size() && uniform; ++i) uniform = samples.row(i).size() == width;
    out.put(static_cast<std::uint64_t>(samples.size()));
    out.put(static_cast<std::uint8_t>(uniform));
    if (uniform) out.put(static_cast<std::uint32_t>(width));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const auto row = samples.row(i);
        if (!uniform) out.put(static_cast<std::uint32_t>(row.size()));
        for (const double v : row) out.put_double(v);
    }
    out.put(static_cast<std::uint64_t>(targets.size()));
    for (const double t : targets) out.put_double(t);
    return std::move(out).take();
}

std::string encode_level(std::size_t k, const Level& level) {
    ByteWriter out = start(kLevelMagic);
    out.put(static_cast<std::uint32_t>(k));
    out.put(static_cast<std::uint32_t>(level.size()));
    for (const Expression& e : level.expressions) {
        out.put(static_cast<std::uint32_t>(e.tokens.size()));
        encode_tokens(out, e.tokens);
    }
    return std::move(out).take();
}

std::string encode_candidates(std::size_t k, std::span<const CandidateRef> candidates) {
    ByteWriter out = start(kCandidatesMagic);
    out.put(static_cast<std::uint32_t>(k));
    out.put(static_cast<std::uint64_t>(candidates.size()));
    for (const CandidateRef& c : candidates) {
        out.put(c.left);
        out.put(c.right);
        out.put(c.left_level);
        out.put(c.op_id);
        out.put(c.arity);
    }
    return std::move(out).take();
}

std::string encode_outcomes(std::span<const CandidateOutcome> outcomes) {
    ByteWriter out = start(kOutcomesMagic);
    out.put(static_cast<std::uint64_t>(outcomes.size()));
    for (const CandidateOutcome& o : outcomes) {
        out.put(static_cast<std::uint8_t>((o.has_score ? kHasScore : 0) | (o.refined ? kRefined : 0)));
        out.put_double(o.score);
        out.put_double(o.rank);
    }
    return std::move(out).take();
}

bool decode_outcomes(std::span<const std::uint8_t> bytes, std::span<CandidateOutcome> out,
                     std::string& problem) {
    ByteReader in(bytes);
    if (!open(in, bytes, kOutcomesMagic, "candidate outcomes", problem)) return false;
    const auto count = in.get<std::uint64_t>();
    if (count != out.size() || in.remaining() != count * kOutcomeBytes) {
        problem = "the outcomes do not match the candidates sent";
        return false;
    }
    for (CandidateOutcome& o : out) {
        const auto flags = in.get<std::uint8_t>();
        o.has_score = flags & kHasScore;
        o.refined = flags & kRefined;
        o.score = in.get_double();
        o.rank = in.get_double();
    }
    return true;
}

std::optional<ScoringWorkspace> ScoringWorkspace::from_data(std::span<const std::uint8_t> bytes,
                                                            std::string& problem) {
    ByteReader in(bytes);
    if (!open(in, bytes, kDataMagic, "search data", problem)) return std::nullopt;
    ScoringWorkspace w;
    w.config_ = get_config(in);
    const auto rows = in.get<std::uint64_t>();
    const bool uniform = in.get<std::uint8_t>() != 0;
    std::vector<double> values;
    bool ok = rows >= 1 && rows <= in.remaining();
    if (ok && uniform) {
        const auto width = in.get<std::uint32_t>();
        ok = width <= kMaxVars && (width == 0 || rows <= in.remaining() / 8 / width) &&
             get_doubles(in, rows * width, values);
        if (ok) w.samples_ = Samples::matrix(std::move(values), rows, width);
    } else if (ok) {
        std::vector<std::size_t> offsets{0};
        for (std::uint64_t i = 0; ok && i < rows; ++i) {
            const auto length = in.get<std::uint32_t>();
            ok = length <= kMaxVars && length <= in.remaining() / 8 && !in.overrun();
            for (std::uint32_t j = 0; ok && j < length; ++j) values.push_back(in.get_double());
            offsets.push_back(values.size());
        }
        if (ok) w.samples_ = Samples::ragged(std::move(values), std::move(offsets));
    }
    const auto targets = ok ? in.get<std::uint64_t>() : 0;
    ok = ok && targets == rows && get_doubles(in, targets, w.targets_) && !in.overrun() && in.remaining() == 0;
    if (!ok) {
        problem = "the search data is truncated or malformed";
        return std::nullopt;
    }
    w.registry_ = OperatorRegistry::shared_builtins();
    w.levels_.resize(1);
    return w;
}

bool ScoringWorkspace::add_level(std::span<const std::uint8_t> bytes, std::string& problem) {
    ByteReader in(bytes);
    if (!open(in, bytes, kLevelMagic, "a retained level", problem)) return false;
    const auto k = in.get<std::uint32_t>();
    if (k != levels_.size()) {
        problem = "level " + std::to_string(k) + " arrived after level " + std::to_string(levels_held());
        return false;
    }
    const auto count = in.get<std::uint32_t>();
    Level level;
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto tokens = in.get<std::uint32_t>();
        auto formula = tokens == k ? decode_formula(in, tokens, *registry_, problem) : std::nullopt;
        if (!formula) {
            problem = "formula " + std::to_string(i) + " of level " + std::to_string(k) + " is malformed" +
                      (problem.empty() ? "" : ": " + problem);
            return false;
        }
        level.expressions.push_back(std::move(*formula));
    }
    if (in.overrun() || in.remaining() != 0) {
        problem = "level " + std::to_string(k) + " is truncated or padded";
        return false;
    }
    // The same stored values the driver keeps, within the same memory budget;
    // scores are identical with or without them.
    const std::size_t bytes_needed = RowValues::bytes_at_most(level.size(), samples_.size());
    if (config_.reuse_computed_values && row_value_bytes_ + bytes_needed <= config_.row_value_budget_bytes) {
        level.row_values =
            RowValues::at_rows(level.expressions, samples_, registry_->operators(), config_.real_fast_path);
        row_value_bytes_ += bytes_needed;
    }
    levels_.push_back(std::move(level));
    return true;
}

std::optional<std::string> ScoringWorkspace::score(std::span<const std::uint8_t> bytes,
                                                   std::string& problem) const {
    ByteReader in(bytes);
    if (!open(in, bytes, kCandidatesMagic, "candidates", problem)) return std::nullopt;
    const auto k = in.get<std::uint32_t>();
    const auto count = in.get<std::uint64_t>();
    if (k != levels_.size() || k < 2 || count > in.remaining() / kCandidateBytes ||
        in.remaining() != count * kCandidateBytes) {
        problem = "the candidates are not of level " + std::to_string(levels_.size()) + " or are truncated";
        return std::nullopt;
    }
    const auto& metas = registry_->metas();
    std::vector<CandidateRef> candidates(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        CandidateRef& c = candidates[i];
        c.left = in.get<std::uint32_t>();
        c.right = in.get<std::uint32_t>();
        c.left_level = in.get<std::uint32_t>();
        c.op_id = in.get<std::uint16_t>();
        c.arity = in.get<std::uint8_t>();
        // A candidate composes retained formulas of lower levels whose token
        // counts add up to k, with an operator of its own arity.
        bool ok = c.op_id < metas.size() && metas[c.op_id].arity == c.arity &&
                  (c.arity == 1 || c.arity == 2) && c.left_level >= 1 && c.left_level < k &&
                  c.left < levels_[c.left_level].size();
        if (ok && c.arity == 1) ok = c.left_level == k - 1;
        if (ok && c.arity == 2) {
            const std::size_t right_level = c.right_level(k);
            ok = c.left_level + 1 < k && right_level >= 1 && c.right < levels_[right_level].size() &&
                 levels_[c.left_level].expressions[c.left].num_params +
                         levels_[right_level].expressions[c.right].num_params <=
                     kMaxParams;
        }
        if (!ok) {
            problem = "candidate " + std::to_string(i) + " does not compose retained formulas of level " +
                      std::to_string(k);
            return std::nullopt;
        }
    }
    std::vector<CandidateOutcome> outcomes(count);
    const ScoringInputs inputs{levels_, samples_, targets_, config_, *registry_};
    parallel_for(count, 16, [&](std::size_t i) { outcomes[i] = score_candidate_ref(inputs, k, candidates[i]); });
    return encode_outcomes(outcomes);
}

LevelScorer::Result ShippingScorer::score_level(const ScoringInputs& inputs, std::size_t k,
                                                std::span<const CandidateRef> candidates,
                                                std::span<CandidateOutcome> out, StopSignal& stop) {
    std::optional<std::string> data;
    // Levels arrive in order; a level at or below one already shipped starts
    // a new round of levels, whose level 1 may differ: the other side starts
    // afresh from the data.
    if (k < levels_shipped_ + 2) levels_shipped_ = 0;
    if (levels_shipped_ == 0) {
        data = encode_scoring_data(inputs.samples, inputs.targets, inputs.config);
        traffic_.data_bytes += data->size();
    }
    std::vector<std::string> new_levels;
    for (std::size_t level = levels_shipped_ + 1; level < k; ++level) {
        new_levels.push_back(encode_level(level, inputs.levels[level]));
        traffic_.level_bytes += new_levels.back().size();
    }
    levels_shipped_ = k - 1;
    const std::size_t count = std::max<std::size_t>(1, std::min(chunk_count(candidates.size()), candidates.size()));
    std::vector<std::string> chunks;
    std::vector<std::size_t> starts;
    for (std::size_t c = 0; c < count; ++c) {
        const std::size_t begin = candidates.size() * c / count, end = candidates.size() * (c + 1) / count;
        starts.push_back(begin);
        chunks.push_back(encode_candidates(k, candidates.subspan(begin, end - begin)));
        traffic_.candidate_bytes += chunks.back().size();
    }
    if (!submit(k, data, new_levels, chunks)) {
        levels_shipped_ = 0;  // nothing can be assumed to have arrived
        return Result::Failed;
    }
    constexpr double kSlice = 0.05;
    std::optional<std::vector<std::string>> answers;
    bool failed = false;
    while (!(answers = wait(kSlice, failed)) && !failed)
        if (stop.check_now()) break;
    if (!answers) {
        cancel();
        if (!failed) return Result::Stopped;
        levels_shipped_ = 0;
        return Result::Failed;
    }
    if (answers->size() != count)
        throw InternalError("a remote scorer answered " + std::to_string(answers->size()) + " chunks of " +
                            std::to_string(count));
    std::string problem;
    for (std::size_t c = 0; c < count; ++c) {
        const std::size_t end = c + 1 < count ? starts[c + 1] : candidates.size();
        const auto& blob = (*answers)[c];
        traffic_.outcome_bytes += blob.size();
        if (!decode_outcomes({reinterpret_cast<const std::uint8_t*>(blob.data()), blob.size()},
                             out.subspan(starts[c], end - starts[c]), problem))
            throw InternalError("a remote scorer answered with bad outcomes: " + problem);
    }
    return Result::Done;
}

}  // namespace vorn
