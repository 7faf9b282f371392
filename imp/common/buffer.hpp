// The one holder of a Py_buffer: the buffer is released exactly once, by whoever
// holds it last, whatever path the code leaves by.
#pragma once

#include <Python.h>

#include <utility>

#include "exit_safe.hpp"

namespace vx {

class HeldBuffer {
public:
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer &) = delete;
    HeldBuffer &operator=(const HeldBuffer &) = delete;
    HeldBuffer(HeldBuffer &&other) noexcept : view_(other.view_), held_(std::exchange(other.held_, false)) {}
    HeldBuffer &operator=(HeldBuffer &&other) noexcept {
        if (this != &other) {
            release();
            view_ = other.view_;
            held_ = std::exchange(other.held_, false);
        }
        return *this;
    }
    ~HeldBuffer() { release(); }

    // Asks `object` for its buffer (which may run Python code: an object's
    // __buffer__); false with the error set when it has none.
    [[nodiscard]] bool acquire(PyObject *object, int flags) {
        release();
        held_ = exit_safe([&] { return PyObject_GetBuffer(object, &view_, flags); }) == 0;
        return held_;
    }

    void release() noexcept {
        if (std::exchange(held_, false))
            PyBuffer_Release(&view_);
    }

    bool held() const { return held_; }
    void *data() const { return view_.buf; }
    Py_ssize_t size() const { return view_.len; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

} // namespace vx
