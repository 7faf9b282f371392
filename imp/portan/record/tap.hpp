// The recorder's taps (velarix.record): a tap is an input port whose `_values` is a
// RecordTap. A push into it writes the value, on the pushing thread, straight into
// the open chunk of its recording's RecordBuffer as an MCAP message record: common
// small values are pickled natively, so a recorded push costs no Python call. What
// the native pickler cannot take waits in the buffer, in push order, for the
// recorder's writer thread; the writer also takes the closed chunks and compresses
// and writes them without the interpreter lock.
#pragma once

#include "common/kept.hpp"
#include "common/method.hpp"

namespace vx {

// Set by the module's set-up.
inline Kept known_record_tap_type;

inline bool is_record_tap(PyObject *values) {
    return values && known_record_tap_type.is_set() && Py_TYPE(values) == (PyTypeObject *)known_record_tap_type.ptr();
}

// A value pushed into the tap `tap` (a RecordTap) at `push_ns` (time.time_ns(); 0:
// not read yet, read here and set). Throws with the error set only where measuring
// the value's size ran code that failed.
void record_tap_receive(PyObject *tap, PyObject *value, int64_t &push_ns);

} // namespace vx

namespace portan {

// The RecordBuffer and RecordTap types, and _pickle5(value): the native pickle of a
// value, or None when only the pickle module can write it.
nb::object make_record_buffer_type();
nb::object make_record_tap_type();
vx::MethodBody native_pickle, read_chunk;

} // namespace portan
