#pragma once
// Per-call bump allocation for the records of one operation. A tree read for a
// diff is made of hundreds of thousands of small strings and vectors that all
// die together when the call returns, so they come from a few large blocks
// instead of one malloc each, and dropping them is freeing those blocks.
//
// ArenaScope makes an arena current on this thread for the length of one
// operation; ArenaAllocator takes from the current arena, or from the heap when
// there is none (records built outside an operation, as the C++ tests do).
// Memory handed out by a scope must not outlive it: an operation returns plain
// std::string texts only.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace vorlan {

class Arena {
public:
    Arena() = default;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    ~Arena() {
        for (const Block& b : blocks_) ::operator delete(b.begin);
    }

    void* allocate(std::size_t n, std::size_t align) {
        std::uintptr_t p = (cur_ + (align - 1)) & ~static_cast<std::uintptr_t>(align - 1);
        if (p + n > end_ || p < cur_) return grow(n, align);
        cur_ = p + n;
        return reinterpret_cast<void*>(p);
    }

    // Whether p was handed out by this arena (freeing it is then a no-op).
    bool owns(const void* p) const {
        auto q = reinterpret_cast<std::uintptr_t>(p);
        for (auto it = blocks_.rbegin(); it != blocks_.rend(); ++it)
            if (q >= reinterpret_cast<std::uintptr_t>(it->begin) && q < reinterpret_cast<std::uintptr_t>(it->end))
                return true;
        return false;
    }

private:
    struct Block {
        char* begin;
        char* end;
    };
    static constexpr std::size_t kFirstBlock = std::size_t{1} << 16;
    static constexpr std::size_t kLargestStep = std::size_t{1} << 25;

    void* grow(std::size_t n, std::size_t align) {
        // Blocks double up to a step, so a large input costs few blocks and a small one little memory.
        std::size_t size = blocks_.empty() ? kFirstBlock : std::min(block_size_ * 2, kLargestStep);
        block_size_ = std::max(size, block_size_);
        if (size < n + align) size = n + align;
        blocks_.reserve(blocks_.size() + 1);
        char* b = static_cast<char*>(::operator new(size));
        blocks_.push_back(Block{b, b + size});
        cur_ = reinterpret_cast<std::uintptr_t>(b);
        end_ = cur_ + size;
        return allocate(n, align);
    }

    std::uintptr_t cur_ = 0;
    std::uintptr_t end_ = 0;
    std::size_t block_size_ = 0;
    std::vector<Block> blocks_;
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

    T* allocate(std::size_t n) {
        if (Arena* a = detail::current_arena) {
            if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
            return static_cast<T*>(a->allocate(n * sizeof(T), alignof(T)));
        }
        return std::allocator<T>().allocate(n);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        Arena* a = detail::current_arena;
        if (a && a->owns(p)) return;
        std::allocator<T>().deallocate(p, n);
    }

    friend bool operator==(const ArenaAllocator&, const ArenaAllocator&) { return true; }
};

using String = std::basic_string<char, std::char_traits<char>, ArenaAllocator<char>>;
template <class T>
using Vector = std::vector<T, ArenaAllocator<T>>;

}  // namespace vorlan
