// Search settings and the engine's error values.

#include <limits>
#include <string>

#include "core/config.hpp"
#include "core/outcome.hpp"
#include "test_support.hpp"

namespace vorn {
namespace {

TEST(SearchConfig, Defaults) {
    const SearchConfig d;
    EXPECT_EQ(d.max_complexity, 10u);
    EXPECT_EQ(d.beam_width, 1000u);
    EXPECT_EQ(d.complexity_penalty, 0.1);
    EXPECT_EQ(d.alpha, 0.0);
    EXPECT_EQ(d.l1_ratio, 0.5);
    EXPECT_EQ(d.early_exit_threshold, 1e-10);
    EXPECT_FALSE(d.exhaustive);
    EXPECT_TRUE(d.refine_constants);
}

TEST(EngineError, KindsAndMessages) {
    struct Case {
        EngineError error;
        EngineError::Kind kind;
        std::string message;
    };
    using K = EngineError::Kind;
    const Case cases[] = {
        {EngineError::no_formula(SearchConfig{}.max_complexity), K::NoFormula,
         "No formula found up to complexity 10"},
        {EngineError::no_formula(0), K::NoFormula, "No formula found up to complexity 0"},
        {EngineError::no_formula(std::numeric_limits<std::size_t>::max()), K::NoFormula,
         "No formula found up to complexity 18446744073709551615"},
        {EngineError::dimension(kDimensionMessage), K::Dimension,
         "Inputs and target vector must be non-empty and equal length."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(c.error.kind, c.kind);
        EXPECT_EQ(c.error.message(), c.message);
    }
    const Outcome<int> good(42), bad(EngineError::no_formula(3));
    EXPECT_TRUE(good.ok() && good.value() == 42);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().kind, K::NoFormula);
}

}  // namespace
}  // namespace vorn
