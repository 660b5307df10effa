#pragma once
// Per-call bump allocation for the records of one operation. A tree read for a
// diff is made of hundreds of thousands of small strings and vectors that all
// die together when the call returns, so they come from a few large blocks
// instead of one malloc each, and dropping them is handing those blocks back
// (to a per-thread cache that keeps the last operation's blocks for the next one).
//
// ArenaScope makes an arena current on this thread for the length of one
// operation; ArenaAllocator takes from the current arena, or from the heap when
// there is none (records built outside an operation, as the C++ tests do).
// Records of these types must not cross a scope's edge, either way: an operation
// builds its records inside its scope and returns plain std::string texts only.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <sanitizer/asan_interface.h>
#include <string>
#include <utility>
#include <vector>

#include "result.hpp"

namespace vorlan {

namespace detail {

struct ArenaBlock {
    char* begin;
    std::size_t size;
};

inline constexpr std::size_t kArenaGrain = 16;

inline void free_arena_block(const ArenaBlock& b) {
    ASAN_UNPOISON_MEMORY_REGION(b.begin, b.size);
    ::operator delete(b.begin, std::align_val_t{kArenaGrain});
}

// The blocks of the last operation on this thread, kept for the next one. A block
// fresh from the heap is faulted in by the kernel page by page, which costs about a
// third of a whole diff of 1 MB trees; a kept block has its pages already. Only the
// last operation's blocks stay, up to kLimit: what it did not need is freed, so
// the memory kept follows the size of the calls being made.
class BlockCache {
public:
    static constexpr std::size_t kLimit = std::size_t{128} << 20;

    BlockCache() = default;
    BlockCache(const BlockCache&) = delete;
    BlockCache& operator=(const BlockCache&) = delete;
    ~BlockCache() { release(); }

    // The smallest kept block of at least size bytes, if any.
    bool take(std::size_t size, ArenaBlock& out) {
        std::size_t best = blocks_.size();
        for (std::size_t i = 0; i < blocks_.size(); ++i)
            if (blocks_[i].size >= size && (best == blocks_.size() || blocks_[i].size < blocks_[best].size)) best = i;
        if (best == blocks_.size()) return false;
        out = blocks_[best];
        blocks_[best] = blocks_.back();
        blocks_.pop_back();
        bytes_ -= out.size;
        return true;
    }

    // Room for count blocks, made while an operation grows so that keep() need not allocate.
    void reserve(std::size_t count) {
        if (blocks_.capacity() < count) blocks_.reserve(count);
    }

    // The blocks of an operation that has ended replace those kept before.
    void keep(const std::vector<ArenaBlock>& used) noexcept {
        if (used.empty()) return;
        release();
        for (const ArenaBlock& b : used) {
            if (bytes_ + b.size <= kLimit && blocks_.size() < blocks_.capacity()) {
                ASAN_POISON_MEMORY_REGION(b.begin, b.size);
                blocks_.push_back(b);
                bytes_ += b.size;
            } else {
                free_arena_block(b);
            }
        }
    }

private:
    void release() noexcept {
        for (const ArenaBlock& b : blocks_) free_arena_block(b);
        blocks_.clear();
        bytes_ = 0;
    }

    std::vector<ArenaBlock> blocks_;
    std::size_t bytes_ = 0;
};

inline thread_local BlockCache block_cache;

}  // namespace detail

class Arena {
public:
    Arena() = default;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    ~Arena() {
        while (large_) {
            Large* next = large_->next;
            ::operator delete(large_, std::align_val_t{kGrain});
            large_ = next;
        }
        detail::block_cache.keep(blocks_);
    }

    // ArenaAllocator takes requests up to this size from an arena, larger ones from the heap.
    static constexpr std::size_t kLargest = std::size_t{1} << 13;

    // n at most kLargest; every piece is 16-aligned and a multiple of 16 bytes.
    // Under AddressSanitizer only the bytes asked for are addressable, from allocate to deallocate.
    void* allocate(std::size_t n) {
        std::size_t c = size_class(n);
        void* p;
        if (Free* f = free_[c]) {
            ASAN_UNPOISON_MEMORY_REGION(f, sizeof(Free));
            free_[c] = f->next;
            p = f;
        } else {
            std::size_t bytes = (c + 1) * kGrain;
            if (bytes > static_cast<std::size_t>(end_ - cur_)) grow(bytes);
            p = cur_;
            cur_ += bytes;
        }
        ASAN_UNPOISON_MEMORY_REGION(p, n);
        return p;
    }

    // A piece given back (a list that grew, a string replaced) serves the next request of its size.
    void deallocate(void* p, std::size_t n) noexcept {
        std::size_t c = size_class(n);
        ASAN_UNPOISON_MEMORY_REGION(p, sizeof(Free));
        free_[c] = ::new (p) Free{free_[c]};
        ASAN_POISON_MEMORY_REGION(p, (c + 1) * kGrain);
    }

    // Pieces over kLargest (long child lists) come from the heap, each behind a header
    // that links it into a list: one given back, because its list outgrew it, is freed
    // at once, as the heap would; one still held when the arena ends is freed then.
    void* allocate_large(std::size_t n) {
        if (n > SIZE_MAX - sizeof(Large)) out_of_memory();
        auto* h = static_cast<Large*>(::operator new(sizeof(Large) + n, std::align_val_t{kGrain}));
        h->prev = nullptr;
        h->next = large_;
        if (large_) large_->prev = h;
        large_ = h;
        return h + 1;
    }
    void deallocate_large(void* p) noexcept {
        Large* h = static_cast<Large*>(p) - 1;
        (h->prev ? h->prev->next : large_) = h->next;
        if (h->next) h->next->prev = h->prev;
        ::operator delete(h, std::align_val_t{kGrain});
    }

private:
    struct Free {
        Free* next;
    };
    struct alignas(16) Large {
        Large* prev;
        Large* next;
    };
    using Block = detail::ArenaBlock;
    static constexpr std::size_t kGrain = detail::kArenaGrain;
    static constexpr std::size_t kFirstBlock = std::size_t{1} << 16;
    static constexpr std::size_t kLargestBlock = std::size_t{1} << 22;

    static std::size_t size_class(std::size_t n) { return n == 0 ? 0 : (n - 1) / kGrain; }

    void grow(std::size_t bytes) {
        // Blocks double up to a limit, so a large input costs few blocks and a small one little memory.
        std::size_t size = blocks_.empty() ? kFirstBlock : std::min(block_size_ * 2, kLargestBlock);
        block_size_ = size;
        if (size < bytes) size = bytes;
        blocks_.reserve(blocks_.size() + 1);
        detail::block_cache.reserve(blocks_.size() + 1);
        Block b;
        if (!detail::block_cache.take(size, b)) {
            b = Block{static_cast<char*>(::operator new(size, std::align_val_t{kGrain})), size};
            ASAN_POISON_MEMORY_REGION(b.begin, b.size);
        }
        blocks_.push_back(b);
        cur_ = b.begin;
        end_ = b.begin + b.size;
    }

    char* cur_ = nullptr;
    char* end_ = nullptr;
    std::size_t block_size_ = 0;
    std::vector<Block> blocks_;
    Large* large_ = nullptr;
    Free* free_[kLargest / kGrain] = {};
};

namespace detail {
// The arena of the operation running on this thread, if any; set only by ArenaScope.
inline thread_local Arena* current_arena = nullptr;
}  // namespace detail

// Makes a fresh arena current for its lifetime; a scope inside another keeps the outer one.
class ArenaScope {
public:
    ArenaScope() : previous_(detail::current_arena) {
        if (!previous_) detail::current_arena = &arena_;
    }
    ~ArenaScope() { detail::current_arena = previous_; }
    ArenaScope(const ArenaScope&) = delete;
    ArenaScope& operator=(const ArenaScope&) = delete;

private:
    Arena* previous_;
    Arena arena_;
};

template <class T>
struct ArenaAllocator {
    using value_type = T;
    using is_always_equal = std::true_type;
    using propagate_on_container_move_assignment = std::true_type;

    ArenaAllocator() noexcept = default;
    template <class U>
    ArenaAllocator(const ArenaAllocator<U>&) noexcept {}

    // Everything an operation's records hold comes through its arena, so that the
    // arena can drop them whole without their destructors being run.
    T* allocate(std::size_t n) {
        static_assert(alignof(T) <= 16);
        if (Arena* a = detail::current_arena) {
            if (n <= Arena::kLargest / sizeof(T)) return static_cast<T*>(a->allocate(n * sizeof(T)));
            if (n > SIZE_MAX / sizeof(T)) out_of_memory();
            return static_cast<T*>(a->allocate_large(n * sizeof(T)));
        }
        return std::allocator<T>().allocate(n);
    }
    // The same tests as allocate: what an arena handed out goes back to it.
    void deallocate(T* p, std::size_t n) noexcept {
        if (Arena* a = detail::current_arena) {
            if (n <= Arena::kLargest / sizeof(T)) return a->deallocate(p, n * sizeof(T));
            return a->deallocate_large(p);
        }
        std::allocator<T>().deallocate(p, n);
    }

    friend bool operator==(const ArenaAllocator&, const ArenaAllocator&) { return true; }
};

using String = std::basic_string<char, std::char_traits<char>, ArenaAllocator<char>>;
template <class T>
using Vector = std::vector<T, ArenaAllocator<T>>;

}  // namespace vorlan
