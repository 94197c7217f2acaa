#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "eval/fingerprint.hpp"

namespace vorn {

// Every fingerprint admitted during one search. Sharded, one mutex per shard,
// so that concurrent test-and-insert operations rarely contend; for one key
// exactly one of several concurrent insertions succeeds.
//
// A search admits millions of keys and this set is its largest structure, so
// each shard stores its keys densely in fixed-size chunks and finds them
// through an open-addressing table of 8-byte slots (a 32-bit tag of the hash
// and the key's position). That is about 95 bytes per key, against about 120
// for a node-based hash set. Keys are always compared in full.
class FingerprintSet {
public:
    static constexpr std::size_t kShards = 64;

    FingerprintSet() : shards_(std::make_unique<Shard[]>(kShards)) {}

    // Empties the set, releasing its memory; not during a pass.
    void clear() { shards_ = std::make_unique<Shard[]>(kShards); }

    // Lookups take the key's hash along with the key, so that a caller who
    // needs the shard as well hashes each key once.
    static std::size_t hash_of(const FingerprintKey& key) { return key.hash(); }
    static std::size_t shard_of(std::size_t hash) { return hash % kShards; }

    // Atomic test-and-insert: true when the key was not there before.
    bool insert(const FingerprintKey& key, std::size_t hash) {
        Shard& shard = shards_[shard_of(hash)];
        std::lock_guard lock(shard.mutex);
        return shard.insert(key, hash);
    }
    bool insert(const FingerprintKey& key) { return insert(key, hash_of(key)); }

    // Membership without taking the shard's lock. Only for a phase in which
    // no thread inserts: any number of readers may run together, but one
    // concurrent insert (which may grow the table) is a data race.
    bool contains_while_no_insert(const FingerprintKey& key, std::size_t hash) const {
        return shards_[shard_of(hash)].find(key, hash);
    }

    std::size_t size() const {
        std::size_t n = 0;
        for (std::size_t s = 0; s < kShards; ++s) {
            std::lock_guard lock(shards_[s].mutex);
            n += shards_[s].count;
        }
        return n;
    }

private:
    struct Shard {
        static constexpr std::size_t kChunk = 1024;

        mutable std::mutex mutex;
        std::vector<std::unique_ptr<FingerprintKey[]>> chunks;
        std::vector<std::uint64_t> slots;  // 0: empty; else tag << 32 | (position + 1)
        std::size_t count = 0;

        // The shard index takes the low bits of the hash; the table start and
        // the tag take others.
        static std::uint64_t tag_of(std::size_t hash) { return (hash >> 32) & 0xffffffffull; }
        static std::size_t start_of(std::size_t hash) { return hash >> 6; }

        const FingerprintKey& at(std::size_t position) const {
            return chunks[position / kChunk][position % kChunk];
        }

        bool find(const FingerprintKey& key, std::size_t hash) const {
            if (slots.empty()) return false;
            const std::size_t mask = slots.size() - 1;
            const std::uint64_t tag = tag_of(hash);
            for (std::size_t i = start_of(hash) & mask;; i = (i + 1) & mask) {
                const std::uint64_t slot = slots[i];
                if (slot == 0) return false;
                if ((slot >> 32) == tag && at((slot & 0xffffffffull) - 1) == key) return true;
            }
        }

        bool insert(const FingerprintKey& key, std::size_t hash) {
            if (find(key, hash)) return false;
            // At most three quarters full, so probe runs stay short.
            if ((count + 1) * 4 > slots.size() * 3) grow();
            if (count % kChunk == 0) chunks.push_back(std::make_unique<FingerprintKey[]>(kChunk));
            chunks.back()[count % kChunk] = key;
            place(tag_of(hash) << 32 | (count + 1), start_of(hash));
            ++count;
            return true;
        }

        void place(std::uint64_t slot, std::size_t start) {
            const std::size_t mask = slots.size() - 1;
            std::size_t i = start & mask;
            while (slots[i] != 0) i = (i + 1) & mask;
            slots[i] = slot;
        }

        void grow() {
            slots.assign(slots.empty() ? 64 : slots.size() * 2, 0);
            for (std::size_t position = 0; position < count; ++position) {
                const std::size_t hash = at(position).hash();
                place(tag_of(hash) << 32 | (position + 1), start_of(hash));
            }
        }
    };
    std::unique_ptr<Shard[]> shards_;
};

}  // namespace vorn
