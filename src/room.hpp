#pragma once
// What reading records into the arena uses: room on the stack for a list or map
// until its exactly sized copy is made, and texts kept past the reader's scratch.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <vector>

#include "arena.hpp"
#include "arena_list.hpp"
#include "json/collections.hpp"
#include "json/json.hpp"
#include "json/key_order.hpp"

namespace vorlan {

// Room on the stack for the elements of one list or map while it is read, so that
// only their exactly sized copy takes arena memory: the arena keeps every piece until
// the operation ends, given back or not. What does not fit comes from the arena.
struct Room {
    static constexpr std::size_t kBytes = 1024;
    alignas(16) unsigned char bytes[kBytes];
    std::size_t used = 0;
};

template <class T>
struct RoomAllocator {
    using value_type = T;

    explicit RoomAllocator(Room& r) noexcept : room(&r) {}
    template <class U>
    RoomAllocator(const RoomAllocator<U>& other) noexcept : room(other.room) {}

    T* allocate(std::size_t n) {
        if (n <= (Room::kBytes - room->used) / sizeof(T)) {
            T* p = reinterpret_cast<T*>(room->bytes + room->used);
            room->used += n * sizeof(T);
            return p;
        }
        return ArenaAllocator<T>().allocate(n);
    }
    // The last piece taken from the room goes back to it; the others stay taken.
    void deallocate(T* p, std::size_t n) noexcept {
        const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(p) - reinterpret_cast<std::uintptr_t>(room->bytes);
        if (at >= Room::kBytes) return ArenaAllocator<T>().deallocate(p, n);
        if (at + n * sizeof(T) == room->used) room->used -= n * sizeof(T);
    }

    friend bool operator==(const RoomAllocator& a, const RoomAllocator& b) { return a.room == b.room; }

    Room* room;
};

template <class T>
using RoomVector = std::vector<T, RoomAllocator<T>>;

// The entries of a map while it is read; json::read_map fills it as it does a
// SortedMap and leaves it sorted by key, the last of repeated keys kept. An entry's
// key is entry_key(e), set by the caller.
template <class E>
class EntriesRead {
public:
    explicit EntriesRead(Room& room) : entries_(RoomAllocator<E>(room)) {}

    bool empty() const { return entries_.empty(); }
    std::size_t size() const { return entries_.size(); }
    std::size_t capacity() const { return entries_.capacity(); }
    void reserve(std::size_t n) { entries_.reserve(n); }
    E* data() { return entries_.data(); }

    bool follows(std::string_view key) const { return entries_.empty() || entry_key(entries_.back()) < key; }
    E& add(std::string_view) { return entries_.emplace_back(); }
    // The entry of key in the sorted entries, emptied if the key was read before.
    E& reset_slot(std::string_view key) {
        auto it = std::lower_bound(entries_.begin(), entries_.end(), key,
                                   [](const E& e, std::string_view k) { return entry_key(e) < k; });
        if (it != entries_.end() && entry_key(*it) == key) return *it = E{};
        return *entries_.emplace(it);
    }
    void settle() {
        json::sort_keep_last(entries_, [](const E& e) { return entry_key(e); });
    }

private:
    RoomVector<E> entries_;
};

// A text the reader just read: one without escapes lies in the reader's text and is
// viewed there; an escaped one was unescaped into the reader's scratch, which the
// next string read overwrites, and is copied.
inline std::string_view keep_text(const json::Reader& r, std::string_view s) {
    const std::string_view all = r.text();
    const auto at = reinterpret_cast<std::uintptr_t>(s.data()) - reinterpret_cast<std::uintptr_t>(all.data());
    if (!s.empty() && at < all.size()) return s;
    return arena_text(s);
}

// A map read into room, then kept exactly sized. read_one(Reader&, V&) reads a
// value; one that also takes the key (Reader&, V&, std::string_view) is given it.
template <class V, class F>
bool read_entries(json::Reader& r, Entries<V>& out, F&& read_one) {
    Room room;
    EntriesRead<Entry<V>> read(room);
    // The key is kept before the value is read, which may overwrite the reader's copy
    // of an escaped one.
    if (!json::read_map(r, read, [&](json::Reader& in, Entry<V>& e, std::string_view key) {
            e.key = keep_text(in, key);
            if constexpr (std::is_invocable_v<F&, json::Reader&, V&, std::string_view>)
                return read_one(in, e.value, e.key);
            else
                return read_one(in, e.value);
        }))
        return false;
    out = Entries<V>::taken(read.data(), read.size());
    return true;
}

}  // namespace vorlan
