// What checkpoints cost, and what continuing from one costs, on one problem:
//
//   checkpoint_cost [--problem NAME] [--max-complexity N] [--strategy deepening|levels] [--dir PATH]
//
// Runs the search without checkpoints and with one written after every
// level (a temporary file, fsync, rename: what vorn_sr.sklearn does),
// alternating, best of two; then continues from the last state (which
// replays generation to rebuild the fingerprint set) and, for comparison,
// writes and reads back the fingerprint set itself, the alternative to
// replaying it. The strategy settings mirror vorn_sr.sklearn's.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/bfs.hpp"
#include "engine/progress_sink.hpp"
#include "eval/fingerprint.hpp"
#include "problems.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool write_synced(const std::string& path, const char* data, std::size_t size) {
    const std::string temporary = path + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok && std::rename(temporary.c_str(), path.c_str()) == 0;
}

struct Timed {
    double seconds = 0.0;
    vorn::SearchStats stats;
    std::vector<std::string> states;
    double write_seconds = 0.0;
};

}  // namespace

int main(int argc, char** argv) {
    std::string problem_name = "sin_cos_noisy", strategy = "deepening", dir = "/tmp";
    vorn::SearchConfig config;
    config.max_complexity = 8;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--problem")) problem_name = argv[i + 1];
        else if (!std::strcmp(argv[i], "--max-complexity")) config.max_complexity = std::stoul(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--strategy")) strategy = argv[i + 1];
        else if (!std::strcmp(argv[i], "--dir")) dir = argv[i + 1];
        else {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }
    if (strategy == "deepening") {
        config.engine.fit = vorn::FitMethod::LevenbergMarquardt;
        config.engine.relative_exit_threshold = 1e-20;
        config.engine.scaled_ranking = true;
        config.engine.power_laws = true;
        config.engine.constant_free_round = true;
        config.engine.deepening_rounds = 4;
        config.engine.first_round_beam = 30;
    } else if (strategy != "levels") {
        std::fprintf(stderr, "unknown strategy %s\n", strategy.c_str());
        return 2;
    }
    const vorn::bench::Problem* problem = nullptr;
    const auto problems = vorn::bench::problem_set();
    for (const auto& p : problems)
        if (p.name == problem_name) problem = &p;
    if (!problem) {
        std::fprintf(stderr, "unknown problem %s\n", problem_name.c_str());
        return 2;
    }
    const auto data = vorn::bench::sample(*problem);
    const std::string path = dir + "/checkpoint_cost.state";
    vorn::SilentSink silent;

    const auto run = [&](bool save, const vorn::SearchCheckpoint* resume) {
        Timed t;
        vorn::RunControl control;
        control.sink = &silent;
        control.resume = resume;
        if (save)
            control.save_checkpoint = [&](const std::string& state) {
                const auto start = Clock::now();
                const bool ok = write_synced(path, state.data(), state.size());
                t.write_seconds += seconds_since(start);
                t.states.push_back(state);
                return ok;
            };
        const auto start = Clock::now();
        const auto outcome = vorn::run_bfs(data.x, data.y, config, &t.stats, control);
        t.seconds = seconds_since(start);
        if (!outcome) std::fprintf(stderr, "search failed: %s\n", outcome.error().message().c_str());
        return t;
    };

    Timed plain[2], saved[2];
    for (int r = 0; r < 2; ++r) {
        plain[r] = run(false, nullptr);
        saved[r] = run(true, nullptr);
    }
    const double best_plain = std::min(plain[0].seconds, plain[1].seconds);
    const double best_saved = std::min(saved[0].seconds, saved[1].seconds);
    const Timed& s = saved[0];
    std::size_t total_bytes = 0, largest = 0;
    for (const auto& state : s.states) {
        total_bytes += state.size();
        largest = std::max(largest, state.size());
    }

    std::string problem_text;
    auto last = vorn::decode_checkpoint({reinterpret_cast<const std::uint8_t*>(s.states.back().data()),
                                         s.states.back().size()},
                                        *vorn::OperatorRegistry::shared_builtins(), problem_text);
    if (!last) {
        std::fprintf(stderr, "the last state does not decode: %s\n", problem_text.c_str());
        return 1;
    }
    const Timed resumed = run(false, &*last);

    // The stored alternative: the fingerprint set of the last round as raw
    // keys, written, synced and read back (not yet rehashed into a set).
    const std::size_t keys = plain[0].stats.fingerprints;
    std::vector<vorn::FingerprintKey> raw(keys);
    const std::size_t key_bytes = keys * sizeof(vorn::FingerprintKey);
    auto start = Clock::now();
    write_synced(path + ".keys", reinterpret_cast<const char*>(raw.data()), key_bytes);
    const double key_write = seconds_since(start);
    start = Clock::now();
    std::FILE* in = std::fopen((path + ".keys").c_str(), "rb");
    std::size_t read = in ? std::fread(raw.data(), 1, key_bytes, in) : 0;
    if (in) std::fclose(in);
    const double key_read = seconds_since(start);
    std::remove((path + ".keys").c_str());
    std::remove(path.c_str());

    std::printf("problem %s, strategy %s, max_complexity %zu, %zu rows\n", problem_name.c_str(), strategy.c_str(),
                config.max_complexity, data.x.size());
    std::printf("search without checkpoints   %8.2f s  (best of %.2f, %.2f)\n", best_plain, plain[0].seconds,
                plain[1].seconds);
    std::printf("search with checkpoints      %8.2f s  (best of %.2f, %.2f)  overhead %+.2f%%\n", best_saved,
                saved[0].seconds, saved[1].seconds, 100.0 * (best_saved / best_plain - 1.0));
    std::printf("  %zu checkpoints, last %.1f KiB, largest %.1f KiB, %.1f KiB written in %.3f s\n",
                s.states.size(), static_cast<double>(s.states.back().size()) / 1024.0,
                static_cast<double>(largest) / 1024.0, static_cast<double>(total_bytes) / 1024.0,
                s.write_seconds);
    std::printf("same result when resumed     %s (fingerprints %llu vs %llu)\n",
                resumed.stats.fingerprints == plain[0].stats.fingerprints ? "yes" : "NO",
                static_cast<unsigned long long>(resumed.stats.fingerprints),
                static_cast<unsigned long long>(plain[0].stats.fingerprints));
    std::printf("resume from the last level   %8.2f s  (replays generation of round %zu, levels 2..%zu)\n",
                resumed.seconds, last->round, last->level);
    std::printf("storing the set instead      %llu keys, %.1f MiB: write+fsync %.3f s, read %.3f s (%zu B)\n",
                static_cast<unsigned long long>(keys), static_cast<double>(key_bytes) / (1 << 20), key_write,
                key_read, read);
    return 0;
}
