// RecordTap: a push into a recorder tap, and the tap type.
#include <chrono>
#include <mutex>

#include "common/runtime.hpp"
#include "event.hpp"
#include "record_buffer.hpp"
#include "record_tap.hpp"

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
        if (s.closed_bytes > (size_t)s.most_bytes) {  // the writer is far behind
            ++own.dropped;
            return;
        }
        const size_t at = s.open.data.size();
        s.open.data.append(message_head, '\0');
        if (s.pickler.dump(s.open.data, value)) {
            finish_message(s, at, own.channel, stamp, tap->index, true);
            return;
        }
        s.open.data.resize(at);
    }
    // Behind values that wait, or not for the native pickler: waits for the writer.
    const Py_ssize_t size = size_of(s, value);  // may run code: before the checks
    if (!s.taking || tap->index >= s.taps.size())
        return;
    if ((Py_ssize_t)s.waiting.size() >= s.capacity ||
        (size >= 0 && s.waiting_bytes + size > s.most_bytes)) {
        ++s.taps[tap->index].dropped;
        return;
    }
    Waiting item{tap->index, stamp, nullptr, std::string(), size};
    // Pickled now when it can be, so a value changed after its push is recorded as
    // it was pushed.
    if (!s.pickler.dump(item.pickled, value))
        item.value = Py_NewRef(value);
    const bool pickled = item.value == nullptr;
    s.waiting.push_back(std::move(item));
    if (size > 0)
        s.waiting_bytes += size;
    if (s.waiting.size() == 1)
        signal_writer(s);
    TapState &tap_state = s.taps[tap->index];
    if (pickled && s.waiting.size() == 1 && tap_state.channel.load() == 0 && !tap_state.asked) {
        // The tap's first value, pickled already: the writer only makes its channel
        // from the port's metadata and copies it in. Waiting for that here, briefly
        // and without the interpreter lock, lets the writer in at once, so the values
        // after it go straight into the chunk instead of queueing behind it while the
        // writer waits for the lock.
        tap_state.asked = true;
        release_held_wakes();  // no node waits on this thread meanwhile
        PyThreadState *thread = PyEval_SaveThread();
        {
            std::unique_lock<std::mutex> hold(s.mutex);
            s.channel_made.wait_for(hold, std::chrono::milliseconds(10),
                                    [&] { return tap_state.channel.load() != 0; });
        }
        exit_safe([&] { PyEval_RestoreThread(thread); });
    }
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
