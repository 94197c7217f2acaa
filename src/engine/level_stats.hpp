#pragma once

#include <cstdint>

namespace vorn {

// Work counters of one level of a search.
struct LevelStats {
    std::uint64_t generated = 0;  // compositions built and fingerprinted
    std::uint64_t admitted = 0;   // with a fingerprint new to the search
    std::uint64_t scored = 0;     // admitted and given a finite score
    std::uint64_t refined = 0;    // whose constants went through refinement
    std::uint64_t retained = 0;

    LevelStats& operator+=(const LevelStats& other) {
        generated += other.generated;
        admitted += other.admitted;
        scored += other.scored;
        refined += other.refined;
        retained += other.retained;
        return *this;
    }
};

}  // namespace vorn
