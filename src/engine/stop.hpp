#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace vorn {

// Asked by a search whether it should give up (for example because the user
// pressed Ctrl-C). Called only on the thread that started the search, so a
// binding may run interpreter code in it.
using StopPredicate = std::function<bool()>;

// The stop state of one search. The driver's thread asks the predicate between
// passes and, while a parallel pass runs, about every 50 ms; the workers only
// read the flag.
class StopSignal {
public:
    explicit StopSignal(const StopPredicate& predicate)
        : predicate_(predicate ? &predicate : nullptr),
          driver_(std::this_thread::get_id()),
          last_ask_(Clock::now()) {}

    bool stopped() const { return stopped_.load(std::memory_order_relaxed); }

    // Asks the predicate now; driver's thread only.
    bool check_now() {
        if (!stopped() && predicate_ && (*predicate_)()) stopped_.store(true, std::memory_order_relaxed);
        last_ask_ = Clock::now();
        return stopped();
    }

    // Cheap enough to call for every item of a parallel pass from any thread:
    // only the driver's thread asks, and only once the interval has passed.
    void poll() {
        if (!predicate_ || stopped() || std::this_thread::get_id() != driver_) return;
        if (Clock::now() - last_ask_ >= kInterval) check_now();
    }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kInterval{50};

    const StopPredicate* predicate_;
    std::thread::id driver_;
    Clock::time_point last_ask_;
    std::atomic<bool> stopped_{false};
};

}  // namespace vorn
