// A stack with inline room that grows on the heap (malloc/realloc, never
// throws). Tree walks use it so that depth costs memory, not call frames.
#pragma once

#include <cstdlib>
#include <cstring>
#include <type_traits>

template <typename T, size_t Inline>
class quorvel_small_stack {
    static_assert(std::is_trivially_copyable_v<T>, "stack items are plain records");

public:
    quorvel_small_stack() = default;
    quorvel_small_stack(const quorvel_small_stack&) = delete;
    quorvel_small_stack& operator=(const quorvel_small_stack&) = delete;
    ~quorvel_small_stack() {
        if (data_ != inline_) std::free(data_);
    }

    // False when memory runs out; the stack is unchanged then.
    [[nodiscard]] bool push(const T& item) {
        if (size_ == capacity_ && !grow()) return false;
        data_[size_++] = item;
        return true;
    }
    T& top() { return data_[size_ - 1]; }
    void pop() { size_--; }
    bool empty() const { return size_ == 0; }
    size_t size() const { return size_; }

private:
    bool grow() {
        size_t cap = capacity_ * 2;
        T* fresh;
        if (data_ == inline_) {
            fresh = static_cast<T*>(std::malloc(cap * sizeof(T)));
            if (fresh) std::memcpy(static_cast<void*>(fresh), inline_, size_ * sizeof(T));
        } else {
            fresh = static_cast<T*>(std::realloc(data_, cap * sizeof(T)));
        }
        if (!fresh) return false;
        data_ = fresh;
        capacity_ = cap;
        return true;
    }

    T inline_[Inline];
    T* data_ = inline_;
    size_t size_ = 0;
    size_t capacity_ = Inline;
};
