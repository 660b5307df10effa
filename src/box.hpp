#pragma once
// An owning pointer with value semantics: copying a Box copies what it holds,
// comparing compares what it holds. Recursive records hold children this way.
//
// Moving leaves the source empty (no value, no allocation), so that moving stays
// cheap and cannot fail; an empty Box may be assigned, copied (to an empty Box),
// compared (equal only to an empty Box) and destroyed, but not dereferenced.
#include <memory>
#include <utility>

#include "arena.hpp"

namespace vorlan {

template <class T>
class Box {
public:
    Box() : ptr_(make(T{})) {}
    Box(T value) : ptr_(make(std::move(value))) {}
    Box(const Box& other) : ptr_(other.ptr_ ? make(*other.ptr_) : nullptr) {}
    Box(Box&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Box& operator=(const Box& other) {
        if (this == &other) return *this;
        if (!other.ptr_) {
            drop();
        } else if (ptr_) {
            *ptr_ = *other.ptr_;
        } else {
            ptr_ = make(*other.ptr_);
        }
        return *this;
    }
    Box& operator=(Box&& other) noexcept {
        if (this != &other) {
            drop();
            ptr_ = std::exchange(other.ptr_, nullptr);
        }
        return *this;
    }
    ~Box() { drop(); }

    T& operator*() { return *ptr_; }
    const T& operator*() const { return *ptr_; }
    T* operator->() { return ptr_; }
    const T* operator->() const { return ptr_; }

    friend bool operator==(const Box& a, const Box& b) {
        if (!a.ptr_ || !b.ptr_) return a.ptr_ == b.ptr_;
        return *a.ptr_ == *b.ptr_;
    }

private:
    // Gives the storage back if constructing the value fails.
    struct Storage {
        T* p = ArenaAllocator<T>().allocate(1);
        ~Storage() {
            if (p) ArenaAllocator<T>().deallocate(p, 1);
        }
    };

    template <class U>
    static T* make(U&& value) {
        Storage s;
        T* made = ::new (static_cast<void*>(s.p)) T(std::forward<U>(value));
        s.p = nullptr;
        return made;
    }
    void drop() {
        if (!ptr_) return;
        ptr_->~T();
        ArenaAllocator<T>().deallocate(ptr_, 1);
        ptr_ = nullptr;
    }

    T* ptr_;
};

}  // namespace vorlan
