#pragma once
// Per-call bump allocation for the records of one operation. A tree read for a
// diff is made of hundreds of thousands of small strings and vectors that all
// die together when the call returns, so they come from a few large blocks
// instead of one malloc each, and dropping them is handing those blocks back.
//
// Blocks, and pieces too large to share one, come straight from the kernel (mmap),
// not from malloc: freeing a large malloc'd chunk raises glibc's mmap and trim
// thresholds, after which the heap keeps what later calls free. A block handed
// back goes to a small pool shared by all threads (BlockPool) or back to the
// kernel at once. WebAssembly has no mmap; there the regions come from the heap.
//
// Every core operation runs in_arena(): it owns one Arena for its length, and the
// records it builds take their memory from it through ArenaAllocator. Freeing never
// asks which arena is current: small pieces are not given back one by one (the
// arena's end returns them), and a large piece's header names its arena. So any
// allocator frees any piece (is_always_equal holds). Asking for record memory with
// no operation running is a fault in the caller and stops the program.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <sanitizer/asan_interface.h>
#include <string>
#include <utility>
#include <vector>

#if !defined(__wasi__)
#include <mutex>
#include <sys/mman.h>
#endif

#include "result.hpp"

namespace vorlan {

namespace detail {

inline constexpr std::size_t kArenaGrain = 16;
inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Memory for a block or a large piece, 16-aligned; out_of_memory() when there is none.
inline char* map_region(std::size_t size) {
#if defined(__wasi__)
    void* p = ::operator new(size, std::align_val_t{kArenaGrain}, std::nothrow);
    if (!p) out_of_memory();
#else
    // Regions of a huge page or more are placed on huge-page boundaries and offered
    // to the kernel as such: a fresh 4 MiB block then costs two faults instead of a
    // thousand, which is most of what a call larger than the pool pays for its memory.
    constexpr std::size_t kHuge = kHugePage;
    const bool huge = size >= kHuge && size % kHuge == 0;
    const std::size_t span = huge ? size + kHuge : size;
    void* p = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) out_of_memory();
    if (huge) {
        char* start = static_cast<char*>(p);
        char* aligned = reinterpret_cast<char*>((reinterpret_cast<std::uintptr_t>(start) + kHuge - 1) & ~(kHuge - 1));
        if (aligned != start) ::munmap(start, static_cast<std::size_t>(aligned - start));
        if (aligned + size != start + span) ::munmap(aligned + size, static_cast<std::size_t>(start + span - (aligned + size)));
        ::madvise(aligned, size, MADV_HUGEPAGE);
        p = aligned;
    }
#endif
    return static_cast<char*>(p);
}

inline void unmap_region(char* p, std::size_t size) noexcept {
    // Shadow left poisoned would poison whatever is mapped here next.
    ASAN_UNPOISON_MEMORY_REGION(p, size);
#if defined(__wasi__)
    ::operator delete(p, std::align_val_t{kArenaGrain});
#else
    ::munmap(p, size);
#endif
}

// The head of every arena block, linking the blocks of an arena or of the pool.
struct alignas(kArenaGrain) BlockHeader {
    BlockHeader* next;
    std::size_t size;  // of the whole block, this header included
};

inline void unmap_blocks(BlockHeader* chain) noexcept {
    while (chain) {
        BlockHeader* next = chain->next;
        unmap_region(reinterpret_cast<char*>(chain), chain->size);
        chain = next;
    }
}

#if defined(__wasi__)

// The heap keeps freed blocks itself, with their pages, so nothing is pooled here.
class BlockPool {
public:
    BlockHeader* take(std::size_t) noexcept { return nullptr; }
    void give_back(BlockHeader* chain) noexcept { unmap_blocks(chain); }
};

#else

// Blocks kept between operations for the whole process. A block fresh from the
// kernel is faulted in page by page, which costs about a third of a whole diff
// of 1 MB trees; a kept block has its pages already. At most kLimit bytes are
// kept, whatever the number of threads (a diff of two 1 MB trees takes 12 MiB);
// the rest goes back to the kernel when its operation ends.
class BlockPool {
public:
    static constexpr std::size_t kLimit = std::size_t{16} << 20;

    // The smallest kept block of at least size bytes, or nullptr.
    BlockHeader* take(std::size_t size) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        BlockHeader** best = nullptr;
        for (BlockHeader** link = &kept_; *link; link = &(*link)->next)
            if ((*link)->size >= size && (!best || (*link)->size < (*best)->size)) best = link;
        if (!best) return nullptr;
        BlockHeader* b = *best;
        *best = b->next;
        bytes_ -= b->size;
        return b;
    }

    // Keeps the blocks of an ended operation that fit under kLimit and unmaps the others.
    void give_back(BlockHeader* chain) noexcept {
        BlockHeader* unwanted = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            while (chain) {
                BlockHeader* b = chain;
                chain = b->next;
                if (bytes_ + b->size <= kLimit) {
                    ASAN_POISON_MEMORY_REGION(b + 1, b->size - sizeof(BlockHeader));
                    bytes_ += b->size;
                    b->next = kept_;
                    kept_ = b;
                } else {
                    b->next = unwanted;
                    unwanted = b;
                }
            }
        }
        unmap_blocks(unwanted);
    }

private:
    std::mutex mutex_;
    BlockHeader* kept_ = nullptr;
    std::size_t bytes_ = 0;
};

#endif

// Constant-initialised, so ready before any call; what it keeps stays until the process ends.
inline constinit BlockPool block_pool;

// Set only by tests and fuzz targets that bound what operations take: each arena that
// ends on this thread raises it to the most memory it held at once.
inline thread_local std::size_t* arena_peak = nullptr;

}  // namespace detail

class Arena {
public:
    Arena() = default;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    ~Arena() {
        if (detail::arena_peak) *detail::arena_peak = std::max(*detail::arena_peak, peak_);
        while (large_) {
            Large* next = large_->next;
            give_back(large_);
            large_ = next;
        }
        detail::block_pool.give_back(blocks_);
    }

    // ArenaAllocator takes requests up to this size from allocate, larger ones from allocate_large.
    static constexpr std::size_t kLargest = std::size_t{1} << 20;

    // n at most kLargest, rounded up to 16 bytes; 16-aligned. Under AddressSanitizer
    // only the bytes asked for are addressable.
    void* allocate(std::size_t n) {
        const std::size_t bytes = n == 0 ? kGrain : (n + kGrain - 1) / kGrain * kGrain;
        if (bytes > static_cast<std::size_t>(end_ - cur_)) grow(bytes);
        void* p = cur_;
        cur_ += bytes;
        ASAN_UNPOISON_MEMORY_REGION(p, n);
        return p;
    }

    // Pieces over kLargest (lists of many thousands) are regions of their own, each
    // behind a header that links it into its arena's list: one given back, because
    // its list outgrew it, is unmapped at once; one still held when the arena ends is
    // unmapped then. A long list grown by doubling would otherwise keep every size it
    // passed through.
    void* allocate_large(std::size_t n) {
        if (n > SIZE_MAX - sizeof(Large) - detail::kHugePage) out_of_memory();
        std::size_t size = (sizeof(Large) + n + kPage - 1) / kPage * kPage;
        // Whole huge pages where the piece spans one, so that it is mapped as such.
        if (size >= detail::kHugePage) size = (size + detail::kHugePage - 1) / detail::kHugePage * detail::kHugePage;
        // A region kept in the pool has its pages already: a list outgrowing one piece
        // after another would otherwise fault in every page of each.
        char* region;
        if (Block* kept = detail::block_pool.take(size)) {
            size = kept->size;
            region = reinterpret_cast<char*>(kept);
        } else {
            region = detail::map_region(size);
        }
        took(size);
        ASAN_UNPOISON_MEMORY_REGION(region, sizeof(Large));
        auto* h = ::new (region) Large{this, nullptr, large_, size};
        if (large_) large_->prev = h;
        large_ = h;
        // The rest of the last page stays poisoned, as a heap redzone would be.
        ASAN_POISON_MEMORY_REGION(h + 1, size - sizeof(Large));
        ASAN_UNPOISON_MEMORY_REGION(h + 1, n);
        return h + 1;
    }
    // The header says which arena the piece is from: no arena need be current.
    static void deallocate_large(void* p) noexcept {
        Large* h = static_cast<Large*>(p) - 1;
        h->owner->held_ -= h->size;
        (h->prev ? h->prev->next : h->owner->large_) = h->next;
        if (h->next) h->next->prev = h->prev;
        give_back(h);
    }

    // Where allocation stands, to go back to (rewind): what was allocated since is
    // dropped at once, blocks grown for it go back to the pool. Large pieces stay
    // until the arena ends.
    struct Mark {
        char* cur;
        char* end;
        detail::BlockHeader* blocks;
    };
    Mark mark() const { return {cur_, end_, blocks_}; }
    void rewind(Mark m) noexcept {
        if (blocks_ != m.blocks) {
            // The grown blocks go back whole (the pool poisons them); the marked one
            // was left at m.cur, so its tail is what was taken of it.
            detail::BlockHeader* last = blocks_;
            for (;; last = last->next) {
                held_ -= last->size;
                if (last->next == m.blocks) break;
            }
            last->next = nullptr;
            detail::block_pool.give_back(blocks_);
            blocks_ = m.blocks;
            cur_ = m.end;
            end_ = m.end;
        }
        ASAN_POISON_MEMORY_REGION(m.cur, static_cast<std::size_t>(cur_ - m.cur));
        cur_ = m.cur;
    }

private:
    struct alignas(16) Large {
        Arena* owner;
        Large* prev;
        Large* next;
        std::size_t size;  // of the region, this header included
    };
    using Block = detail::BlockHeader;
    // A large piece's region goes to the pool like a block (or back to the kernel).
    static void give_back(Large* h) noexcept {
        const std::size_t size = h->size;
        detail::block_pool.give_back(::new (static_cast<void*>(h)) Block{nullptr, size});
    }
    static constexpr std::size_t kGrain = detail::kArenaGrain;
    static constexpr std::size_t kPage = 4096;
    static constexpr std::size_t kFirstBlock = std::size_t{1} << 16;
    static constexpr std::size_t kLargestBlock = std::size_t{1} << 22;
    void grow(std::size_t bytes) {
        // Blocks double up to a limit, so a large input costs few blocks and a small one little memory.
        std::size_t size = blocks_ ? std::min(block_size_ * 2, kLargestBlock) : kFirstBlock;
        block_size_ = size;
        if (size < bytes + sizeof(Block)) size = bytes + sizeof(Block);
        Block* b = detail::block_pool.take(size);
        if (!b) {
            b = ::new (detail::map_region(size)) Block{nullptr, size};
            ASAN_POISON_MEMORY_REGION(b + 1, size - sizeof(Block));
        }
        took(b->size);
        b->next = blocks_;
        blocks_ = b;
        cur_ = reinterpret_cast<char*>(b + 1);
        end_ = reinterpret_cast<char*>(b) + b->size;
    }

    void took(std::size_t size) {
        held_ += size;
        peak_ = std::max(peak_, held_);
    }

    char* cur_ = nullptr;
    char* end_ = nullptr;
    std::size_t block_size_ = 0;
    std::size_t held_ = 0;  // in blocks and large pieces
    std::size_t peak_ = 0;
    Block* blocks_ = nullptr;
    Large* large_ = nullptr;
};

namespace detail {
// The arena of the operation running on this thread, if any; set only by in_arena.
inline thread_local Arena* current_arena = nullptr;

[[noreturn]] inline void no_operation_running() noexcept {
    std::fputs("vorlan: record memory asked for with no operation running\n", stderr);
    std::abort();
}
}  // namespace detail

// Makes a fresh arena current for its lifetime, and the one before it current again
// after. Operations open theirs through in_arena; tests and fuzz targets that build
// records themselves open one around them. Freeing never looks at the current
// arena, so records of an outer arena may die while an inner one is current.
class ArenaScope {
public:
    ArenaScope() : previous_(std::exchange(detail::current_arena, &arena_)) {}
    ~ArenaScope() { detail::current_arena = previous_; }
    ArenaScope(const ArenaScope&) = delete;
    ArenaScope& operator=(const ArenaScope&) = delete;

private:
    Arena* previous_;
    Arena arena_;
};

// Memory for records that die within its lifetime, taken from the current arena and
// given back whole when it ends: for a record read only to be checked. Whatever is
// built in its lifetime must die in it.
class ArenaRewind {
public:
    ArenaRewind() : arena_(detail::current_arena), mark_(arena_ ? arena_->mark() : Arena::Mark{}) {}
    ~ArenaRewind() {
        if (arena_) arena_->rewind(mark_);
    }
    ArenaRewind(const ArenaRewind&) = delete;
    ArenaRewind& operator=(const ArenaRewind&) = delete;

private:
    Arena* arena_;
    Arena::Mark mark_;
};

// Runs body as one operation: guarded against running out of memory, with an arena
// for what it builds, which must not outlive it (operations return texts).
template <class F>
auto in_arena(F&& body) -> decltype(body()) {
    ArenaScope scope;
    return guarded(body);
}

template <class T>
struct ArenaAllocator {
    using value_type = T;
    // Freeing needs no state, so any instance frees what any other allocated.
    using is_always_equal = std::true_type;
    using propagate_on_container_move_assignment = std::true_type;

    ArenaAllocator() noexcept = default;
    template <class U>
    ArenaAllocator(const ArenaAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        static_assert(alignof(T) <= 16);
        Arena* a = detail::current_arena;
        if (!a) detail::no_operation_running();
        if (n <= Arena::kLargest / sizeof(T)) return static_cast<T*>(a->allocate(n * sizeof(T)));
        if (n > SIZE_MAX / sizeof(T)) out_of_memory();
        return static_cast<T*>(a->allocate_large(n * sizeof(T)));
    }
    // A large piece goes back at once; the arena takes the others back when its
    // operation ends, and until then a freed piece stays poisoned, so that a use
    // after its free is still caught.
    void deallocate(T* p, std::size_t n) noexcept {
        if (n > Arena::kLargest / sizeof(T)) return Arena::deallocate_large(p);
        ASAN_POISON_MEMORY_REGION(p, n * sizeof(T));
    }

    friend bool operator==(const ArenaAllocator&, const ArenaAllocator&) { return true; }
};

using String = std::basic_string<char, std::char_traits<char>, ArenaAllocator<char>>;
template <class T>
using Vector = std::vector<T, ArenaAllocator<T>>;

}  // namespace vorlan
