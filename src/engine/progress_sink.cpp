#include "engine/progress_sink.hpp"

#include <cstdio>

namespace vorn {

void StdoutSink::report(ProgressKind kind, std::string_view text) {
    // One fwrite per line: stdio locks the stream per call.
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (kind == ProgressKind::Progress) std::fflush(stdout);  // a failed flush is ignored
}

void CallingThreadSink::report(ProgressKind kind, std::string_view text) {
    {
        std::lock_guard lock(mutex_);
        queued_.push_back(Line{kind, std::string(text)});
    }
    // Everything but the bar comes from the driver's thread, outside any
    // parallel pass: hand it over at once, after the queued bar lines.
    if (kind != ProgressKind::Progress) deliver();
}

void CallingThreadSink::deliver() {
    {
        std::lock_guard lock(mutex_);
        handing_over_.swap(queued_);
    }
    // The callback runs without the lock, so workers never wait on it.
    for (const Line& line : handing_over_) on_line_(line.kind, line.text);
    handing_over_.clear();
}

ProgressSink& stdout_sink() {
    static StdoutSink sink;
    return sink;
}

}  // namespace vorn
