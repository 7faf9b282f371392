// Calls into Python that a daemon thread may be inside when the interpreter exits.
//
// CPython 3.12 ends a daemon thread that wants the GIL back during finalisation with
// pthread_exit, which glibc runs as a forced unwind. Every C++ destructor on the way
// (an nb::object going out of scope, a lock guard) would then touch Python objects
// without the GIL, while the main thread tears them down: the exiting process
// crashes. exit_safe(f) runs f(), a lambda around one C API call taking raw pointers;
// if that call is where the thread is ended, the thread is parked for good instead
// (as later CPython versions do themselves), so no destructor above it ever runs.
#pragma once

#include <chrono>
#include <thread>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace vx {

// The exception a forced unwind shows to catch clauses. A catch (...) that meets one
// must rethrow it: swallowing it aborts the process.
#if defined(__GLIBCXX__)
using forced_unwind = abi::__forced_unwind;
#else
struct forced_unwind {};  // never thrown
#endif

template <typename F>
auto exit_safe(F &&call) -> decltype(call()) {
#if defined(__GLIBCXX__)
    try {
        return call();
    } catch (forced_unwind &) {
        // The interpreter is going away; so will this thread, with the process.
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(1));
    }
#else
    return call();
#endif
}

} // namespace vx
