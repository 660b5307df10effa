#pragma once
// An owning pointer with value semantics: copying a Box copies what it holds,
// comparing compares what it holds. Recursive records hold children this way.
#include <memory>
#include <utility>

#include "arena.hpp"

namespace vorlan {

template <class T>
class Box {
public:
    Box() : ptr_(make(T{})) {}
    Box(T value) : ptr_(make(std::move(value))) {}
    Box(const Box& other) : ptr_(make(*other.ptr_)) {}
    Box(Box&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Box& operator=(const Box& other) {
        if (this != &other) *ptr_ = *other.ptr_;
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

    friend bool operator==(const Box& a, const Box& b) { return *a.ptr_ == *b.ptr_; }

private:
    template <class U>
    static T* make(U&& value) {
        ArenaAllocator<T> alloc;
        T* p = alloc.allocate(1);
        try {
            return ::new (static_cast<void*>(p)) T(std::forward<U>(value));
        } catch (...) {
            alloc.deallocate(p, 1);
            throw;
        }
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
