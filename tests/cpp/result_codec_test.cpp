#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "result/result_codec.hpp"
#include "test_support.hpp"

namespace vorn {
namespace {

using namespace test;

SearchResult sample_result() {
    // VORN(Plus(C, v_{2}), Sin(C)) with fitted constants at full precision.
    Expression e = expr({param(0, {0.1234567890123457, 0.0}), var(2), op(op_ids::Plus),
                         param(1, {-3.0000000000000004, 0.0}), op(op_ids::Sin), op(op_ids::Vorn)},
                        "VORN(Plus(C, v_{2}), Sin(C))");
    return SearchResult{std::move(e), OperatorRegistry::shared_builtins(), 0.015625};
}

std::vector<std::uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

TEST(ResultCodec, RoundTripIsExact) {
    const SearchResult original = sample_result();
    const auto bytes = bytes_of(encode_result(original));
    const DecodedResult decoded = decode_result(bytes);
    ASSERT_TRUE(decoded.result) << decoded.problem;
    const SearchResult& r = *decoded.result;
    EXPECT_EQ(r.formula(), original.formula());
    EXPECT_EQ(r.complexity(), 6u);
    EXPECT_EQ(r.expression.num_vars, 3);
    EXPECT_EQ(r.expression.num_params, 2);
    EXPECT_TRUE(same_bits(r.error, original.error));
    const std::vector<double> at{0.5, -1.0, 0.25};
    EXPECT_TRUE(same_bits(r.eval_at(at), original.eval_at(at)));
    EXPECT_EQ(encode_result(r), encode_result(original));
    EXPECT_FALSE(r.is_constant);

    SearchResult constant = sample_result();
    constant.is_constant = true;
    const DecodedResult flagged = decode_result(bytes_of(encode_result(constant)));
    ASSERT_TRUE(flagged.result);
    EXPECT_TRUE(flagged.result->is_constant);
}

TEST(ResultCodec, RefusesWhatASearchCannotHaveWritten) {
    const std::string good = encode_result(sample_result());
    constexpr std::size_t kHeader = 19, kToken = 20;
    auto patched = [&](std::size_t at, std::vector<std::uint8_t> with) {
        auto b = bytes_of(good);
        std::memcpy(b.data() + at, with.data(), with.size());
        return b;
    };
    const double nan = kNaN;
    std::vector<std::uint8_t> nan_bytes(8);
    std::memcpy(nan_bytes.data(), &nan, 8);
    const struct {
        const char* what;
        std::vector<std::uint8_t> bytes;
        const char* problem;
    } cases[] = {
        {"empty", {}, "not a saved vorn_sr"},
        {"bad magic", patched(0, {'X'}), "not a saved vorn_sr"},
        {"newer format", patched(4, {2, 0}), "format 2, and this vorn_sr reads format 1 only; a newer"},
        {"unknown flags", patched(6, {2}), "unknown flags"},
        {"NaN error", patched(7, nan_bytes), "error is not a finite"},
        {"truncated", std::vector<std::uint8_t>(good.begin(), good.end() - 1), "truncated"},
        {"no tokens", patched(15, {0, 0, 0, 0}), "holds 0 tokens"},
        {"operator id out of range", patched(kHeader + 2 * kToken + 2, {23, 0}), "not a valid operator"},
        {"wrong arity", patched(kHeader + 2 * kToken + 1, {1}), "not a valid operator"},
        {"variable 255", patched(kHeader + kToken + 1, {255}), "not a valid variable"},
        {"slot out of order", patched(kHeader + 1, {1}), "not a valid fitted constant"},
        {"NaN constant", patched(kHeader + 4, nan_bytes), "not a valid fitted constant"},
        {"unknown kind", patched(kHeader, {7}), "unknown kind"},
        {"operator first", patched(kHeader, {4, 2, op_ids::Plus, 0, 0, 0, 0, 0, 0, 0, 0, 0}), "too few operands"},
        {"two formulas", patched(kHeader + 5 * kToken, {2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
         "do not form one formula"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const DecodedResult decoded = decode_result(c.bytes);
        EXPECT_FALSE(decoded.result);
        EXPECT_NE(decoded.problem.find(c.problem), std::string::npos) << decoded.problem;
    }
}

// Every single-byte corruption is either refused or decodes to a formula that
// evaluates; none may crash (the sanitizer build runs this too).
TEST(ResultCodec, FlippedBytesNeverCrash) {
    const auto good = bytes_of(encode_result(sample_result()));
    std::mt19937 rng(7);
    const std::vector<double> at{0.5, -1.0, 0.25};
    for (std::size_t i = 0; i < good.size(); ++i) {
        auto b = good;
        b[i] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
        const DecodedResult decoded = decode_result(b);
        if (decoded.result) (void)decoded.result->eval_at(at);
        else EXPECT_FALSE(decoded.problem.empty());
    }
}

}  // namespace
}  // namespace vorn
