// The array module's worker threads: one pool, made on first need (and again
// in a child after fork), shared by every loop. Loops split large arrays into
// chunks that the pool's threads and the calling thread take in turn, so the
// results never depend on the number of threads.
#pragma once

#include <cstdint>

namespace quill::np {

// How many threads a loop may use, the calling one included; 1 means none extra.
int num_threads() noexcept;
void set_num_threads(int n) noexcept;

// The most set_num_threads takes: 256, or the machine's cores if more. The
// loops are arithmetic, so threads beyond the cores only share them, and each
// worker keeps a stack (8 MB of address space by default) for the process's
// life; the cap stays above any count that helps, on any machine, so a script
// written for a large server still runs on a laptop.
int max_threads() noexcept;

// Runs fn(ctx, begin, end) over [0, n) in chunks of at least `grain` items and
// returns when every chunk has run. Runs inline when one thread suffices, or
// when the pool is busy with another caller's loop.
void run_chunks(std::int64_t n, std::int64_t grain, void (*fn)(void*, std::int64_t, std::int64_t), void* ctx);

template <class F>
void parallel_for(std::int64_t n, std::int64_t grain, F&& body) {
    run_chunks(n, grain,
               [](void* ctx, std::int64_t begin, std::int64_t end) { (*static_cast<F*>(ctx))(begin, end); },
               static_cast<void*>(&body));
}

}  // namespace quill::np
