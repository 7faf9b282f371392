// The one way native code lets the interpreter lock go: for the length of a call,
// taken back when it returns or throws. Taking it back is where CPython may end a
// daemon thread at exit, so that step goes through exit_safe (exit_safe.hpp).
#pragma once

#include <Python.h>

#include <utility>

#include "exit_safe.hpp"

namespace vx {

class InterpreterLockReleased {
public:
    InterpreterLockReleased() : thread_(PyEval_SaveThread()) {}
    ~InterpreterLockReleased() { exit_safe([&] { PyEval_RestoreThread(thread_); }); }
    InterpreterLockReleased(const InterpreterLockReleased &) = delete;
    InterpreterLockReleased &operator=(const InterpreterLockReleased &) = delete;

private:
    PyThreadState *thread_;
};

// work() without the interpreter lock: it must touch no Python object.
template <typename F>
auto without_interpreter_lock(F &&work) -> decltype(work()) {
    InterpreterLockReleased released;
    return std::forward<F>(work)();
}

} // namespace vx
