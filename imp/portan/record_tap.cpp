// RecordTap: a push into a recorder tap, and the tap type.
#include <mutex>
#include <string>

#include "common/runtime.hpp"
#include "event.hpp"
#include "record_buffer.hpp"
#include "record_tap.hpp"

namespace portan::rec {
namespace {

// Asks the recorder for tap `index`'s pickle channel (Python code, on the pushing
// thread) and puts its record in the open chunk. False when none was made: the
// value then waits for the writer, which makes it. Throws only what is no error
// of the maker's (KeyboardInterrupt, SystemExit).
bool make_channel(RecordState &s, uint32_t index) {
    nb::object maker = nb::borrow(s.channel_maker);
    nb::object number = vx::steal_or_throw(PyLong_FromUnsignedLong(index));
    vx::release_held_wakes();  // the maker may wait for the recorder's lock
    PyObject *made = vx::exit_safe([&] { return PyObject_CallOneArg(maker.ptr(), number.ptr()); });
    if (!made) {
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            vx::throw_error_already_set();
        PyErr_Clear();
        return false;
    }
    nb::object result = nb::steal(made);
    if (!PyTuple_CheckExact(made) || PyTuple_GET_SIZE(made) != 2 || !PyLong_CheckExact(PyTuple_GET_ITEM(made, 0)))
        return false;
    const long id = PyLong_AsLong(PyTuple_GET_ITEM(made, 0));
    if (id < 1 || id > 0xffff) {
        PyErr_Clear();
        return false;
    }
    PyObject *record = PyTuple_GET_ITEM(made, 1);
    if (record != Py_None && !PyBytes_CheckExact(record))
        return false;
    if (!s.taking || index >= s.taps.size())
        return false;
    // Before the channel's first message, in the same chunk unless a value waits.
    if (record != Py_None)
        s.open.data.append(PyBytes_AS_STRING(record), (size_t)PyBytes_GET_SIZE(record));
    s.taps[index].channel.store((uint16_t)id);
    return true;
}

// Into the queue for the writer, in push order: `pickled` holds the value's pickle
// when it was made, else the value is held. `size`: the bytes it holds (size_of).
void enqueue(RecordState &s, uint32_t tap, uint64_t stamp, PyObject *value, std::string *pickled, Py_ssize_t size) {
    if ((Py_ssize_t)s.waiting.size() >= s.capacity || (size >= 0 && s.waiting_bytes + size > s.most_bytes)) {
        ++s.taps[tap].dropped;
        return;
    }
    Waiting item{tap, stamp, nullptr, std::string(), size};
    // Pickled now when it can be, so a value changed after its push is recorded as
    // it was pushed.
    if (pickled)
        item.pickled.swap(*pickled);
    else if (!s.pickler.dump(item.pickled, value))
        item.value = Py_NewRef(value);
    s.waiting.push_back(std::move(item));
    if (size > 0)
        s.waiting_bytes += size;
    if (s.waiting.size() == 1)
        signal_python(s);
}

} // namespace
} // namespace portan::rec

namespace vx {

void record_tap_receive(PyObject *tap_object, PyObject *value, int64_t &push_ns) {
    using namespace portan::rec;
    RecordTap *tap = (RecordTap *)tap_object;
    RecordState &s = state_of(tap->buffer);
    if (!s.taking || tap->index >= s.taps.size())
        return;
    if (push_ns == 0)
        push_ns = (int64_t)now_ns();
    const uint64_t stamp = (uint64_t)push_ns;
    TapState &own = s.taps[tap->index];
    if (s.waiting.empty() && own.channel != 0) {
        if (s.closed_bytes.load(std::memory_order_relaxed) > (size_t)s.most_bytes) {  // the writer is far behind
            ++own.dropped;
            return;
        }
        char message[message_head + scalar_room];  // the head is filled in place
        if (const size_t size = dump_scalar(value, message + message_head)) {
            const size_t at = s.open.data.size();
            s.open.data.append(message, message_head + size);
            finish_message(s, at, own.channel, stamp, tap->index, true);
            return;
        }
        const size_t at = s.open.data.size();
        s.open.data.append(message_head, '\0');
        if (s.pickler.dump(s.open.data, value)) {
            finish_message(s, at, own.channel, stamp, tap->index, true);
            return;
        }
        s.open.data.resize(at);
    } else if (s.waiting.empty() && !own.asked && s.channel_maker) {
        // The tap's first value, for the native pickler: its channel is made here, so
        // neither this push nor the ones after it wait for the writer. Pickled before
        // the maker runs, which may run other threads: recorded as it was pushed.
        std::string pickled;
        if (s.pickler.dump(pickled, value)) {
            own.asked = true;
            const bool made = make_channel(s, tap->index);
            if (!s.taking || tap->index >= s.taps.size())
                return;
            if (made && s.waiting.empty()) {
                if (s.closed_bytes.load(std::memory_order_relaxed) > (size_t)s.most_bytes) {
                    ++own.dropped;
                    return;
                }
                add_message(s, own.channel, stamp, "", 0, pickled.data(), pickled.size(), tap->index, true);
                return;
            }
            enqueue(s, tap->index, stamp, value, &pickled, size_of(s, value));
            return;
        }
    }
    // Behind values that wait, or not for the native pickler: waits for the writer.
    const Py_ssize_t size = size_of(s, value);  // may run code: before the checks
    if (!s.taking || tap->index >= s.taps.size())
        return;
    enqueue(s, tap->index, stamp, value, nullptr, size);
}

} // namespace vx

namespace portan {
namespace rec {
namespace {

// --- RecordTap ---------------------------------------------------------------------------

PyObject *tap_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    PyObject *buffer = nullptr;
    unsigned int index = 0;
    static const char *keywords[] = {"buffer", "tap", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OI", (char **)keywords, &buffer, &index))
        return nullptr;
    if (Py_TYPE(buffer) != (PyTypeObject *)buffer_type.ptr()) {
        PyErr_SetString(PyExc_TypeError, "RecordTap(buffer, tap) needs a RecordBuffer");
        return nullptr;
    }
    if (index >= state_of(buffer).taps.size()) {
        PyErr_SetString(PyExc_IndexError, "no such tap in the buffer");
        return nullptr;
    }
    PyObject *self = type->tp_alloc(type, 0);
    if (!self)
        return nullptr;
    ((RecordTap *)self)->buffer = Py_NewRef(buffer);
    ((RecordTap *)self)->index = index;
    return self;
}

int tap_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(((RecordTap *)self)->buffer);
    return 0;
}

int tap_clear(PyObject *self) {
    (void)self;  // the buffer stays: a push may still reach the tap
    return 0;
}

void tap_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(((RecordTap *)self)->buffer);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot tap_slots[] = {
    {Py_tp_doc, (void *)"What a recorder tap's pushes go into: its recording's buffer."},
    {Py_tp_new, (void *)tap_new},
    {Py_tp_dealloc, (void *)tap_dealloc},
    {Py_tp_traverse, (void *)tap_traverse},
    {Py_tp_clear, (void *)tap_clear},
    {0, nullptr},
};

PyType_Spec tap_spec = {
    "velarix.imp.portan.RecordTap",
    sizeof(RecordTap),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    tap_slots,
};
} // namespace
} // namespace rec

using namespace rec;

nb::object make_record_tap_type() {
    return nb::borrow(vx::known_record_tap_type.set_new(PyType_FromSpec(&tap_spec)));
}

} // namespace portan
