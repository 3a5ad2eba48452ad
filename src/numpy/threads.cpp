#include "numpy/threads.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace quill::np {
namespace {

int machine_threads() noexcept {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) return std::max(1, CPU_COUNT(&set));
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

std::atomic<int> wanted_threads{0};  // 0: the machine's count, read on first use

// For tests only: QUILLANDER_TEST_THREAD_STARTS=k in the environment when the
// pool is made lets it start k workers and has every later start refused as
// the system refuses one (a process or address-space limit). Unset: no limit.
long test_thread_starts() noexcept {
    const char* text = std::getenv("QUILLANDER_TEST_THREAD_STARTS");
    if (text == nullptr || *text == '\0') return -1;
    char* end = nullptr;
    const long k = std::strtol(text, &end, 10);
    return *end == '\0' && k >= 0 ? k : -1;
}

// A spinning thread's breath: lets the other thread of a shared core run.
inline void pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

struct Job {
    void (*fn)(void*, std::int64_t, std::int64_t);
    void* ctx;
    std::int64_t n;
    std::int64_t chunk;
    std::int64_t nchunks;
    int helpers;                       // how many workers may join
    std::atomic<std::int64_t> next{0};  // next chunk to take
    std::atomic<std::int64_t> done{0};  // chunks finished
};

// Workers are detached and the pool is never destroyed: threads must not be
// joined by static destructors at interpreter exit, and a child after fork
// simply builds a new pool (the old one's threads do not exist there).
struct Pool {
    pid_t owner = getpid();
    std::mutex busy;  // one loop at a time; others run inline
    std::mutex m;
    std::condition_variable wake;
    std::condition_variable finished;
    Job* job = nullptr;
    std::uint64_t generation = 0;
    std::atomic<std::uint64_t> posted{0};  // generation, for workers looking without the lock
    int workers = 0;
    int active = 0;  // workers inside the current job
    long starts_left = test_thread_starts();

    // Starts workers up to `count` and returns how many there are: fewer when
    // the system refuses a thread. A later loop tries again, as the limit may
    // have gone; the calling thread takes every chunk no worker takes.
    int grow(int count) noexcept {
        while (workers < count) {
            try {
                // The test hook's refusal takes the path of the system's.
                if (starts_left == 0) throw std::system_error(EAGAIN, std::generic_category());
                const int id = workers;
                std::thread([this, id] { work(id); }).detach();
            } catch (...) {  // std::system_error, or std::bad_alloc for the thread's state
                break;
            }
            ++workers;
            if (starts_left > 0) --starts_left;
        }
        return workers;
    }

    static void take(Job& job) {
        for (;;) {
            const std::int64_t c = job.next.fetch_add(1, std::memory_order_relaxed);
            if (c >= job.nchunks) return;
            const std::int64_t begin = c * job.chunk;
            job.fn(job.ctx, begin, std::min(job.n, begin + job.chunk));
            job.done.fetch_add(1, std::memory_order_acq_rel);
        }
    }

    // A worker counts itself in while it holds the job, so that the caller
    // returns (and the job on its stack ends) only after every worker left it.
    void work(int id) {
        std::uint64_t seen = 0;
        std::unique_lock lock(m);
        for (;;) {
            if (generation == seen) {
                // Awake a moment before sleeping: a loop called again soon
                // (the next statement, the next call in a Python loop) finds
                // this thread running, not a sleeping core the system (or a
                // virtual machine's host) must first wake.
                lock.unlock();
                const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1);
                while (posted.load(std::memory_order_acquire) == seen && std::chrono::steady_clock::now() < until) {
                    pause();
                }
                lock.lock();
            }
            wake.wait(lock, [&] { return generation != seen; });
            seen = generation;
            Job* current = job;
            if (current == nullptr || id >= current->helpers) continue;
            ++active;
            lock.unlock();
            take(*current);
            lock.lock();
            --active;
            finished.notify_all();
        }
    }

    void run(Job& j) {
        j.helpers = std::min(j.helpers, grow(j.helpers));
        {
            std::lock_guard lock(m);
            job = &j;
            ++generation;
            posted.store(generation, std::memory_order_release);
        }
        wake.notify_all();
        take(j);
        std::unique_lock lock(m);
        finished.wait(lock, [&] { return active == 0 && j.done.load(std::memory_order_acquire) == j.nchunks; });
        job = nullptr;
    }
};

std::atomic<Pool*> the_pool{nullptr};
std::mutex pool_creation;

Pool* pool() {
    Pool* p = the_pool.load(std::memory_order_acquire);
    if (p != nullptr && p->owner == getpid()) return p;
    std::lock_guard lock(pool_creation);
    p = the_pool.load(std::memory_order_acquire);
    if (p == nullptr || p->owner != getpid()) {
        p = new (std::nothrow) Pool;  // a forked child's old pool is abandoned, never touched
        if (p == nullptr) return nullptr;
        the_pool.store(p, std::memory_order_release);
    }
    return p;
}

}  // namespace

int num_threads() noexcept {
    const int n = wanted_threads.load(std::memory_order_relaxed);
    return n > 0 ? n : machine_threads();
}

int max_threads() noexcept { return std::max(256, machine_threads()); }

void set_num_threads(int n) noexcept { wanted_threads.store(std::max(1, n), std::memory_order_relaxed); }

void run_chunks(std::int64_t n, std::int64_t grain, void (*fn)(void*, std::int64_t, std::int64_t), void* ctx) {
    const int threads = num_threads();
    grain = std::max<std::int64_t>(grain, 1);
    if (threads <= 1 || n < 2 * grain) {
        fn(ctx, 0, n);
        return;
    }
    Pool* p = pool();
    std::unique_lock<std::mutex> busy;
    if (p != nullptr) busy = std::unique_lock(p->busy, std::try_to_lock);
    if (!busy.owns_lock()) {
        fn(ctx, 0, n);
        return;
    }
    // Many chunks per thread even out threads that start late or run slower
    // (a virtual core shared with another): the last chunk taken is all the
    // others may wait for.
    const std::int64_t wanted_chunks = std::min<std::int64_t>(n / grain, 16 * static_cast<std::int64_t>(threads));
    Job job;
    job.fn = fn;
    job.ctx = ctx;
    job.n = n;
    job.chunk = (n + wanted_chunks - 1) / wanted_chunks;
    job.nchunks = (n + job.chunk - 1) / job.chunk;
    job.helpers = threads - 1;
    p->run(job);
}

}  // namespace quill::np
