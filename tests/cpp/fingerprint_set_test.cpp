#include <gtest/gtest.h>
#include <omp.h>

#include <atomic>
#include <random>
#include <set>
#include <vector>

#include "engine/fingerprint_set.hpp"

namespace vorn {
namespace {

// Keys with few distinct values, so that many share most of their fields
// and some repeat.
std::vector<FingerprintKey> random_keys(std::size_t n, std::uint32_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<FingerprintKey> keys(n);
    for (auto& key : keys)
        for (auto& v : key.values) v = static_cast<std::int64_t>(rng() % 5) - 2;
    return keys;
}

TEST(FingerprintSet, AgreesWithAnOrderedSetAcrossGrowth) {
    const auto keys = random_keys(60000, 1);
    FingerprintSet set;
    std::set<std::vector<std::int64_t>> reference;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const std::vector<std::int64_t> as_vector(keys[i].values.begin(), keys[i].values.end());
        const bool fresh = reference.insert(as_vector).second;
        const std::size_t hash = FingerprintSet::hash_of(keys[i]);
        ASSERT_EQ(set.contains_while_no_insert(keys[i], hash), !fresh) << i;
        ASSERT_EQ(set.insert(keys[i], hash), fresh) << i;
        ASSERT_TRUE(set.contains_while_no_insert(keys[i], hash));
    }
    EXPECT_EQ(set.size(), reference.size());
    EXPECT_LT(reference.size(), keys.size());  // the table did see repeats
    // Keys that differ from a stored one in a single field are not found.
    FingerprintKey probe = keys.front();
    probe.values[9] = 1000;
    EXPECT_FALSE(set.contains_while_no_insert(probe, FingerprintSet::hash_of(probe)));
}

TEST(FingerprintSet, ConcurrentInsertsAdmitEachKeyOnce) {
    const auto keys = random_keys(40000, 2);
    std::set<std::vector<std::int64_t>> distinct;
    for (const auto& key : keys) distinct.insert({key.values.begin(), key.values.end()});
    FingerprintSet set;
    std::atomic<std::size_t> admitted{0};
#pragma omp parallel num_threads(2)
    {
        // Both threads insert every key, in opposite orders.
        const bool reverse = omp_get_thread_num() == 1;
        for (std::size_t i = 0; i < keys.size(); ++i)
            if (set.insert(keys[reverse ? keys.size() - 1 - i : i])) ++admitted;
    }
    EXPECT_EQ(admitted.load(), distinct.size());
    EXPECT_EQ(set.size(), distinct.size());
}

}  // namespace
}  // namespace vorn
