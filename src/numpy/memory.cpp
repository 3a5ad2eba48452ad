#include "numpy/memory.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace quill::np {

namespace {

constexpr std::size_t large = std::size_t{4} << 20;  // NumPy's own threshold for asking for huge pages

// Sixteen bytes before every block: the length of its mapping (0: from
// malloc) and the size asked for. NumPy's free passes a size, but one taken
// from the array's shape at the time, so the block keeps its own.
struct Header {
    std::size_t mapped;
    std::size_t size;
};
static_assert(sizeof(Header) == 16);

Header& header(void* p) { return static_cast<Header*>(p)[-1]; }

void* from_malloc(std::size_t size, bool zero) {
    if (size > SIZE_MAX - sizeof(Header)) return nullptr;
    void* base = zero ? std::calloc(1, size + sizeof(Header)) : std::malloc(size + sizeof(Header));
    if (base == nullptr) return nullptr;
    auto* h = static_cast<Header*>(base);
    *h = Header{0, size};
    return h + 1;
}

// A mapping whose data starts on a huge-page boundary, with the header in the
// page before it. Its length is rounded up to whole huge pages when that adds
// at most a sixteenth (the last huge page is then whole, not 4 KB pages);
// otherwise to whole pages. Fresh mappings read as zeros. Elsewhere than
// on Linux every block comes from malloc.
#if defined(__linux__)
constexpr std::size_t huge_page = std::size_t{2} << 20;

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

std::size_t page_size() {
    static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

// Freed mappings kept for the next outputs of their length, so that outputs
// made while earlier ones live or just after they went reuse pages already
// faulted in, as the C library reuses its freed blocks. At most one
// get_metrics call's outputs and one more; a longer mapping than the C
// library would keep for reuse goes back to the system at once.
constexpr std::size_t kept_most = 8;
constexpr std::size_t kept_longest = std::size_t{32} << 20;

struct Kept {
    void* data;
    std::size_t length;
};

std::mutex kept_lock;  // allocations run with the interpreter lock held; this costs nothing beside them
Kept kept[kept_most];
std::size_t kept_count = 0;

void* reuse(std::size_t length) {
    std::lock_guard lock(kept_lock);
    for (std::size_t i = kept_count; i-- > 0;) {  // the latest first: its pages are the likeliest in cache
        if (kept[i].length == length) {
            void* data = kept[i].data;
            std::copy(kept + i + 1, kept + kept_count, kept + i);
            --kept_count;
            return data;
        }
    }
    return nullptr;
}

void unmap(void* data, std::size_t length) { munmap(static_cast<char*>(data) - page_size(), page_size() + length); }

// Keeps a freed mapping, giving the oldest kept one back when full.
void keep(void* data, std::size_t length) {
    if (length > kept_longest) {
        unmap(data, length);
        return;
    }
    Kept oldest{nullptr, 0};
    {
        std::lock_guard lock(kept_lock);
        if (kept_count == kept_most) {
            oldest = kept[0];
            std::copy(kept + 1, kept + kept_count, kept);
            --kept_count;
        }
        kept[kept_count++] = Kept{data, length};
    }
    if (oldest.data != nullptr) unmap(oldest.data, oldest.length);
}

void* mapped(std::size_t size, bool zero) {
    const std::size_t page = page_size();
    if (size > SIZE_MAX / 2) return nullptr;
    std::size_t length = round_up(size, huge_page);
    if (length - size > size / 16) length = round_up(size, page);
    if (!zero) {  // fresh mappings read as zeros, kept ones as their last owner left them
        if (void* data = reuse(length)) {
            header(data) = Header{length, size};
            return data;
        }
    }
    const std::size_t total = page + length + huge_page;
    void* got = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (got == MAP_FAILED) return nullptr;
    auto* base = static_cast<char*>(got);
    char* data = reinterpret_cast<char*>(round_up(reinterpret_cast<std::uintptr_t>(base + page), huge_page));
    if (data - page > base) munmap(base, static_cast<std::size_t>(data - page - base));
    if (data + length < base + total) munmap(data + length, static_cast<std::size_t>(base + total - (data + length)));
    madvise(data, length, MADV_HUGEPAGE);  // only advice: without it the pages are ordinary ones
    header(data) = Header{length, size};
    return data;
}

#else
void* mapped(std::size_t, bool) { return nullptr; }
void keep(void*, std::size_t) {}
#endif

void* block(std::size_t size, bool zero) {
    if (size >= large) {
        if (void* p = mapped(size, zero)) return p;
    }
    return from_malloc(size, zero);
}

void* allocate(void*, std::size_t size) { return block(size, false); }

void* allocate_zeros(void*, std::size_t count, std::size_t each) {
    if (each != 0 && count > SIZE_MAX / each) return nullptr;
    return block(count * each, true);
}

void release(void*, void* p, std::size_t) {
    if (p == nullptr) return;
    const Header h = header(p);
    if (h.mapped == 0) {
        std::free(&header(p));
    } else {
        keep(p, h.mapped);
    }
}

void* reallocate(void* ctx, void* p, std::size_t size) {
    if (p == nullptr) return allocate(ctx, size);
    const Header h = header(p);
    if (h.mapped == 0 && size < large) {
        if (size > SIZE_MAX - sizeof(Header)) return nullptr;
        auto* moved = static_cast<Header*>(std::realloc(&header(p), size + sizeof(Header)));
        if (moved == nullptr) return nullptr;
        moved->size = size;
        return moved + 1;
    }
    void* fresh = allocate(ctx, size);
    if (fresh == nullptr) return nullptr;
    std::memcpy(fresh, p, std::min(h.size, size));
    release(ctx, p, h.size);
    return fresh;
}

PyDataMem_Handler handler = {
    "quillander_numpy",
    1,
    {nullptr, allocate, allocate_zeros, reallocate, release},
};

// Made on first use, with the interpreter lock held; kept for the process's
// life, as arrays made with it refer to it.
PyObject* handler_capsule() {
    static PyObject* capsule = PyCapsule_New(&handler, "mem_handler", nullptr);
    return capsule;
}

}  // namespace

LargeOutputs::LargeOutputs() noexcept : previous_(nullptr) {
    PyObject* capsule = handler_capsule();
    if (capsule != nullptr) previous_ = PyDataMem_SetHandler(capsule);
    if (previous_ == nullptr) PyErr_Clear();
}

LargeOutputs::~LargeOutputs() {
    if (previous_ == nullptr) return;
    PyObject* raised = PyErr_GetRaisedException();  // the call's own error survives the restore
    PyObject* ours = PyDataMem_SetHandler(previous_);
    if (ours == nullptr) PyErr_Clear();
    Py_XDECREF(ours);
    Py_DECREF(previous_);
    PyErr_SetRaisedException(raised);
}

}  // namespace quill::np
