#pragma once
// Lists and maps of a tree's records that take one pointer where they are held:
// trees are read once and then mostly compared and written, and a node holds four
// such lists, most of them empty.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

#include "arena.hpp"

namespace vorlan {

// s copied into the current arena. An empty text still points somewhere, so that its
// bytes are never a null pointer.
inline std::string_view arena_text(std::string_view s) {
    if (s.empty()) return {"", 0};
    char* bytes = ArenaAllocator<char>().allocate(s.size());
    std::memcpy(bytes, s.data(), s.size());
    return {bytes, s.size()};
}

// A list in the current arena that keeps its length and room in front of its
// elements; empty, it holds nothing at all. A copy copies the elements, so each list
// has one holder, which may change it in place. The arena frees the elements without
// destroying them.
template <class T>
class ArenaList {
public:
    ArenaList() = default;
    ArenaList(const ArenaList& other) {
        if (other.empty()) return;
        data_ = allocate(other.size());
        std::uninitialized_copy(other.begin(), other.end(), data_);
        head()->size = other.head()->size;
    }
    ArenaList(ArenaList&& other) noexcept : data_(std::exchange(other.data_, nullptr)) {}
    ArenaList& operator=(const ArenaList& other) {
        if (this != &other) *this = ArenaList(other);
        return *this;
    }
    ArenaList& operator=(ArenaList&& other) noexcept {
        if (this != &other) data_ = std::exchange(other.data_, nullptr);
        return *this;
    }

    // The n elements at from, moved into a list of exactly their number.
    static ArenaList taken(T* from, std::size_t n) {
        ArenaList list;
        if (n == 0) return list;
        list.data_ = allocate(n);
        std::uninitialized_move(from, from + n, list.data_);
        list.head()->size = static_cast<std::uint32_t>(n);
        return list;
    }

    bool empty() const { return size() == 0; }
    std::size_t size() const { return data_ ? head()->size : 0; }
    T* data() { return data_; }
    const T* data() const { return data_; }
    T* begin() { return data_; }
    T* end() { return data_ + size(); }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size(); }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    T& front() { return data_[0]; }
    const T& front() const { return data_[0]; }

    void reserve(std::size_t n) {
        if (n <= capacity()) return;
        T* next = allocate(n);
        const std::size_t count = size();
        std::uninitialized_move(begin(), end(), next);
        release();
        data_ = next;
        head()->size = static_cast<std::uint32_t>(count);
    }
    void push_back(T&& value) { insert(size(), std::move(value)); }
    void insert(std::size_t at, T&& value) {
        const std::size_t n = size();
        if (n == capacity()) reserve(n ? 2 * n : 1);
        if (at == n) {
            ::new (static_cast<void*>(data_ + n)) T(std::move(value));
        } else {
            ::new (static_cast<void*>(data_ + n)) T(std::move(data_[n - 1]));
            std::move_backward(data_ + at, data_ + n - 1, data_ + n);
            data_[at] = std::move(value);
        }
        head()->size = static_cast<std::uint32_t>(n + 1);
    }
    void erase(std::size_t at) {
        std::move(data_ + at + 1, end(), data_ + at);
        --head()->size;
    }

    friend bool operator==(const ArenaList& a, const ArenaList& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end());
    }

private:
    struct Head {
        std::uint32_t size;
        std::uint32_t capacity;
    };
    using Word = std::uint64_t;

    // The words of a block for n elements, its head included.
    static std::size_t words(std::size_t n) { return 1 + (n * sizeof(T) + sizeof(Word) - 1) / sizeof(Word); }

    static T* allocate(std::size_t n) {
        static_assert(sizeof(Head) == sizeof(Word) && alignof(T) <= alignof(Word));
        static_assert(std::is_trivially_destructible_v<T>, "the arena frees a list's elements without destroying them");
        if (n > UINT32_MAX || n > (SIZE_MAX / sizeof(T)) - sizeof(Word)) out_of_memory();
        Word* block = ArenaAllocator<Word>().allocate(words(n));
        ::new (static_cast<void*>(block)) Head{0, static_cast<std::uint32_t>(n)};
        return reinterpret_cast<T*>(block + 1);
    }
    void release() {
        if (data_) ArenaAllocator<Word>().deallocate(reinterpret_cast<Word*>(data_) - 1, words(capacity()));
    }
    Head* head() const { return reinterpret_cast<Head*>(reinterpret_cast<Word*>(data_) - 1); }
    std::size_t capacity() const { return data_ ? head()->capacity : 0; }

    T* data_ = nullptr;
};

// One member of an Entries map. The key views the text it was read from, or the arena.
template <class V>
struct Entry {
    std::string_view key;
    V value;
    friend bool operator==(const Entry& a, const Entry& b) { return a.key == b.key && a.value == b.value; }
};

template <class V>
std::string_view entry_key(const Entry<V>& e) {
    return e.key;
}

// A text-keyed map: an ArenaList of entries sorted by key bytes, each key once.
template <class V>
class Entries {
public:
    Entries() = default;
    // The n entries at from, sorted by key and each key once, moved into a map.
    static Entries taken(Entry<V>* from, std::size_t n) {
        Entries m;
        m.list_ = ArenaList<Entry<V>>::taken(from, n);
        return m;
    }

    bool empty() const { return list_.empty(); }
    std::size_t size() const { return list_.size(); }
    Entry<V>* begin() { return list_.begin(); }
    Entry<V>* end() { return list_.end(); }
    const Entry<V>* begin() const { return list_.begin(); }
    const Entry<V>* end() const { return list_.end(); }

    const V* find(std::string_view key) const {
        const Entry<V>* e = lower(key);
        return e != end() && e->key == key ? &e->value : nullptr;
    }
    V* find(std::string_view key) { return const_cast<V*>(std::as_const(*this).find(key)); }

    // Inserts or replaces; a new key is copied into the arena.
    V& set(std::string_view key, V value) {
        const auto at = static_cast<std::size_t>(lower(key) - begin());
        if (at < size() && list_[at].key == key) return list_[at].value = std::move(value);
        list_.insert(at, Entry<V>{arena_text(key), std::move(value)});
        return list_[at].value;
    }
    bool erase(std::string_view key) {
        const Entry<V>* e = lower(key);
        if (e == end() || e->key != key) return false;
        list_.erase(static_cast<std::size_t>(e - begin()));
        return true;
    }

    friend bool operator==(const Entries& a, const Entries& b) { return a.list_ == b.list_; }

private:
    const Entry<V>* lower(std::string_view key) const {
        return std::lower_bound(begin(), end(), key, [](const Entry<V>& e, std::string_view k) { return e.key < k; });
    }

    ArenaList<Entry<V>> list_;
};

}  // namespace vorlan
