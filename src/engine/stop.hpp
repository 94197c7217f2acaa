#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <thread>

#include "engine/progress_sink.hpp"

namespace vorn {

// Asked by a search whether it should give up (for example because the user
// pressed Ctrl-C). Called only on the thread that started the search, so a
// binding may run interpreter code in it.
using StopPredicate = std::function<bool()>;

// Why a search stopped before its end.
enum class StopReason : std::uint8_t {
    None,
    Interrupted,  // the stop predicate said stop
    TimeBudget,   // the deadline passed
};

// The stop state of one search. The driver's thread ticks between passes and,
// while a parallel pass runs, about every 50 ms: it hands the sink's queued
// lines over, asks the predicate and reads the clock against the deadline.
// The workers only read the flag.
class StopSignal {
public:
    using Clock = std::chrono::steady_clock;

    explicit StopSignal(const StopPredicate& predicate,
                        std::optional<Clock::time_point> deadline = std::nullopt,
                        ProgressSink* sink = nullptr)
        : predicate_(predicate ? &predicate : nullptr),
          deadline_(deadline),
          sink_(sink),
          driver_(std::this_thread::get_id()),
          last_ask_(Clock::now()) {}

    bool stopped() const { return reason() != StopReason::None; }
    StopReason reason() const { return reason_.load(std::memory_order_relaxed); }

    // Ticks now; driver's thread only. An interruption wins over the deadline,
    // so Ctrl-C is never mistaken for a spent budget.
    bool check_now() {
        if (sink_) sink_->deliver();
        if (!stopped()) {
            if (predicate_ && (*predicate_)())
                reason_.store(StopReason::Interrupted, std::memory_order_relaxed);
            else if (deadline_ && Clock::now() >= *deadline_)
                reason_.store(StopReason::TimeBudget, std::memory_order_relaxed);
        }
        last_ask_ = Clock::now();
        return stopped();
    }

    // Cheap enough to call for every item of a parallel pass from any thread:
    // only the driver's thread ticks, and only once the interval has passed.
    void poll() {
        if (!(predicate_ || deadline_ || sink_) || stopped() || std::this_thread::get_id() != driver_)
            return;
        if (Clock::now() - last_ask_ >= kInterval) check_now();
    }

private:
    static constexpr std::chrono::milliseconds kInterval{50};

    const StopPredicate* predicate_;
    std::optional<Clock::time_point> deadline_;
    ProgressSink* sink_;
    std::thread::id driver_;
    Clock::time_point last_ask_;
    std::atomic<StopReason> reason_{StopReason::None};
};

}  // namespace vorn
