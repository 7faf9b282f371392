// References the modules keep for the life of the process: the names they intern,
// the classes they build, the types and modules they look up, the constants and
// keyword tuples they make once. All of them are held by a vx::Kept.
//
// A Kept is never released (only replace(), a cache's own step, lets go of what it
// held). C++ destroys statics after the interpreter has been finalised, when a
// decref would touch freed memory, so its destructor does nothing; being trivial,
// it also makes a static Kept constant-initialised, with no guard. That matters
// for the ones filled on first use: making the value may run Python code, which
// may let another thread in. A function-local static initialised by that code
// would make the second thread wait on the static's guard while it holds the
// interpreter lock the first one needs. get_or_make instead lets both threads make
// the value; the first result stays.
#pragma once

#include <type_traits>

#include "errors.hpp"

namespace vx {

class Kept {
public:
    constexpr Kept() = default;
    Kept(const Kept &) = delete;
    Kept &operator=(const Kept &) = delete;

    bool is_set() const { return object_ != nullptr; }
    nb::handle get() const { return object_; }
    PyObject *ptr() const { return object_; }
    operator nb::handle() const { return object_; }

    // Keeps `value`, made by a module's set-up. Should the set-up run again, the
    // newer value is kept and the older one stays alive for whoever still has it.
    nb::handle set(nb::object value) {
        object_ = value.release().ptr();
        return object_;
    }

    // set() of a new reference from the C API, or throws the error it set.
    nb::handle set_new(PyObject *result) { return set(steal_or_throw(result)); }

    // Keeps `value` unless something is kept already: another thread may have kept
    // one while this one ran the Python code that found `value`. The first stays.
    nb::handle set_once(nb::object value) {
        if (!object_)
            object_ = value.release().ptr();
        return object_;
    }

    // The kept object, made by `make()` (an nb::object) on first use; see set_once.
    template <typename Make>
    nb::handle get_or_make(Make &&make) {
        return object_ ? nb::handle(object_) : set_once(make());
    }

    // A cache of the latest answer: keeps `value` instead of what it held, which is
    // released now (at run time, with the interpreter lock held).
    void replace(nb::handle value) {
        PyObject *old = object_;
        object_ = Py_NewRef(value.ptr());
        Py_XDECREF(old);
    }

private:
    PyObject *object_ = nullptr;
};

static_assert(std::is_trivially_destructible_v<Kept>, "a Kept is never released");

} // namespace vx
