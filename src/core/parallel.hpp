#pragma once

#include <cstddef>
#include <exception>
#include <mutex>

namespace vorn {

// Runs body(i) for i in [0, n) on the OpenMP team with a dynamic schedule.
// Each body writes only to its own output slot, so results come out in input
// order whatever the thread timing. An exception (a broken invariant) cannot
// leave an OpenMP region, so the first one is carried out and rethrown here.
// Once `stop` says stop, the remaining items are skipped; the caller checks
// `stop->stopped()` afterwards.
//
// `Stop` is anything with poll() and stopped(), so that this loop serves every
// layer without knowing the search's stop signal.
struct NeverStop {
    void poll() {}
    bool stopped() const { return false; }
};

template <class Body, class Stop = NeverStop>
void parallel_for(std::size_t n, std::size_t chunk, Body&& body, Stop* stop = nullptr) {
    std::exception_ptr failure;
    std::mutex failure_mutex;
    const long long count = static_cast<long long>(n);
    const int chunk_size = static_cast<int>(chunk == 0 ? 1 : chunk);
#pragma omp parallel for schedule(dynamic, chunk_size)
    for (long long i = 0; i < count; ++i) {
        if (stop) {
            stop->poll();
            if (stop->stopped()) continue;
        }
        try {
            body(static_cast<std::size_t>(i));
        } catch (...) {
            std::lock_guard lock(failure_mutex);
            if (!failure) failure = std::current_exception();
        }
    }
    if (failure) std::rethrow_exception(failure);
}

}  // namespace vorn
