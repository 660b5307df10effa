#pragma once
// An owning pointer with value semantics: copying a Box copies what it holds,
// comparing compares what it holds. Recursive records hold children this way.
#include <memory>
#include <utility>

namespace vorlan {

template <class T>
class Box {
public:
    Box() : ptr_(std::make_unique<T>()) {}
    Box(T value) : ptr_(std::make_unique<T>(std::move(value))) {}
    Box(const Box& other) : ptr_(std::make_unique<T>(*other.ptr_)) {}
    Box(Box&&) noexcept = default;
    Box& operator=(const Box& other) {
        if (this != &other) *ptr_ = *other.ptr_;
        return *this;
    }
    Box& operator=(Box&&) noexcept = default;
    ~Box() = default;

    T& operator*() { return *ptr_; }
    const T& operator*() const { return *ptr_; }
    T* operator->() { return ptr_.get(); }
    const T* operator->() const { return ptr_.get(); }

    friend bool operator==(const Box& a, const Box& b) { return *a.ptr_ == *b.ptr_; }

private:
    std::unique_ptr<T> ptr_;
};

}  // namespace vorlan
