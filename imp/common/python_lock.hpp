// The one holder of a Python lock object (threading.Lock, or anything with
// acquire/release) for a scope. A failing release on the way out of a failing
// scope is reported as unraisable rather than hiding the first error.
#pragma once

#include <utility>

#include "host.hpp"
#include "names.hpp"

namespace vx {

class HeldLock {
public:
    HeldLock() = default;
    // Waits for `lock`.
    explicit HeldLock(nb::object lock) : lock_(std::move(lock)) {
        call_method(lock_, names::acquire);
        held_ = true;
    }
    HeldLock(const HeldLock &) = delete;
    HeldLock &operator=(const HeldLock &) = delete;
    ~HeldLock() {
        if (!held_)
            return;
        try {
            call_method(lock_, names::release);
        } catch (nb::python_error &error) {
            report_unraisable(error, lock_);
        }
    }

    // lock.acquire(blocking[, timeout]) while nothing is held; true once held.
    bool try_acquire(nb::handle lock, bool blocking, nb::handle timeout = nb::handle()) {
        nb::handle flag = blocking ? Py_True : Py_False;
        nb::object taken = timeout.is_valid() ? call_method(lock, names::acquire, flag, timeout)
                                              : call_method(lock, names::acquire, flag);
        if (truthy(taken)) {
            lock_ = nb::borrow(lock);
            held_ = true;
        }
        return held_;
    }

    // Lets go before the scope ends; a failure raises.
    void release() {
        held_ = false;
        call_method(lock_, names::release);
    }

    bool held() const { return held_; }

private:
    nb::object lock_;
    bool held_ = false;
};

} // namespace vx
