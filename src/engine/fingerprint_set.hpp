#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <unordered_set>

#include "core/signature.hpp"

namespace vorn {

// Every fingerprint admitted during one search. Sharded, one mutex per shard,
// so that concurrent test-and-insert operations rarely contend; for one key
// exactly one of several concurrent insertions succeeds.
class FingerprintSet {
public:
    static constexpr std::size_t kShards = 64;

    FingerprintSet() : shards_(std::make_unique<Shard[]>(kShards)) {}

    static std::size_t shard_of(const FingerprintKey& key) { return key.hash() % kShards; }

    // Atomic test-and-insert: true when the key was not there before.
    bool insert(const FingerprintKey& key) {
        Shard& shard = shards_[shard_of(key)];
        std::lock_guard lock(shard.mutex);
        return shard.keys.insert(key).second;
    }

    bool contains(const FingerprintKey& key) const {
        const Shard& shard = shards_[shard_of(key)];
        std::lock_guard lock(shard.mutex);
        return shard.keys.count(key) != 0;
    }

    std::size_t size() const {
        std::size_t n = 0;
        for (std::size_t s = 0; s < kShards; ++s) {
            std::lock_guard lock(shards_[s].mutex);
            n += shards_[s].keys.size();
        }
        return n;
    }

private:
    struct Shard {
        mutable std::mutex mutex;
        std::unordered_set<FingerprintKey, FingerprintKeyHash> keys;
    };
    std::unique_ptr<Shard[]> shards_;
};

}  // namespace vorn
