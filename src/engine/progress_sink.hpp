#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

// What a search reports while it runs, as whole lines of text.
enum class ProgressKind {
    Start,        // the start line, once after seeding
    Level,        // one line per finished level
    Progress,     // the live bar of a scoring pass (no line feed; may come from any worker)
    ProgressEnd,  // the line feed that closes an open bar
};

// Where a search's progress goes. The engine never prints by itself: every
// line passes through a sink. `report` for Progress is called from worker
// threads, concurrently; the other kinds come from the driver's thread.
class ProgressSink {
public:
    virtual ~ProgressSink() = default;
    virtual void report(ProgressKind kind, std::string_view text) = 0;
    // Called on the driver's (calling) thread at every periodic tick of a
    // search, so a sink can hand over what workers reported in the meantime.
    virtual void deliver() {}
};

// Writes every line to the C stdout stream (file descriptor 1), each line in
// one call so concurrent lines never interleave, and flushes progress lines at
// once because they have no line feed to push them out.
class StdoutSink final : public ProgressSink {
public:
    void report(ProgressKind kind, std::string_view text) override;
};

// Swallows everything.
class SilentSink final : public ProgressSink {
public:
    void report(ProgressKind, std::string_view) override {}
};

// Hands every line to `on_line` on the thread that created the sink (the one
// that runs the search), never on a worker: lines from workers wait in a queue
// until the driver's next tick, and the driver's own lines first hand over
// whatever is queued, so the order is kept. A binding can therefore run
// interpreter code in `on_line`.
class CallingThreadSink final : public ProgressSink {
public:
    using Callback = std::function<void(ProgressKind, const std::string&)>;
    explicit CallingThreadSink(Callback on_line) : on_line_(std::move(on_line)) {}

    void report(ProgressKind kind, std::string_view text) override;
    void deliver() override;

private:
    struct Line {
        ProgressKind kind;
        std::string text;
    };
    Callback on_line_;
    std::mutex mutex_;
    std::vector<Line> queued_;
    std::vector<Line> handing_over_;  // reused between deliveries
};

// The process-wide stdout sink, the default of every search.
ProgressSink& stdout_sink();

}  // namespace vorn
