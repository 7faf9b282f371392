// RecordTap: a push into a recorder tap, and the tap type.
#include <mutex>
#include <string>

#include "common/runtime.hpp"
#include "portan/ports/event.hpp"
#include "portan/record/buffer.hpp"
#include "portan/record/tap.hpp"

namespace portan {
namespace {

// Asks the recorder for tap `index`'s channel of `kind` (Python code, on the pushing
// thread; `why` names what needed pickle) and puts the channel's record, when the
// maker returns one, in the open chunk. False when none was made: the values then
// wait for the writer, which makes it. Throws only what is no error of the maker's
// (KeyboardInterrupt, SystemExit).
bool make_channel(RecordState &s, uint32_t index, Kind kind, const std::string &why) {
    nb::object maker = nb::borrow(s.channel_maker);
    nb::object number = vx::steal_or_throw(PyLong_FromUnsignedLong(index));
    nb::object encoding, reason;
    if (s.json) {  // the recorder's maker: it also learns the encoding and the reason
        encoding = vx::steal_or_throw(PyUnicode_FromString(encoding_name(kind)));
        reason = vx::steal_or_throw(PyUnicode_DecodeUTF8(why.data(), (Py_ssize_t)why.size(), "replace"));
    }
    vx::release_held_wakes();  // the maker may wait for the recorder's lock
    PyObject *args[] = {number.ptr(), encoding.ptr(), reason.ptr()};
    const size_t count = s.json ? 3 : 1;
    PyObject *made = vx::exit_safe([&] { return PyObject_Vectorcall(maker.ptr(), args, count, nullptr); });
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
    // Before the channel's first message, which waits in the queue until now.
    if (record != Py_None)
        s.open.data.append(PyBytes_AS_STRING(record), (size_t)PyBytes_GET_SIZE(record));
    s.taps[index].channel[kind].store((uint16_t)id);
    return true;
}

// Into the queue for the writer, in push order: `encoded` holds the value encoded
// as `kind` when it was, else the value is encoded here or held. `size`: the bytes
// it holds (size_of). False when the full queue turned it away (counted).
bool enqueue(RecordState &s, uint32_t tap, uint64_t stamp, PyObject *value, std::string *encoded, Kind kind,
             Py_ssize_t size) {
    if ((Py_ssize_t)s.waiting.size() >= s.capacity || (size >= 0 && s.waiting_bytes + size > s.most_bytes)) {
        ++s.taps[tap].dropped;
        return false;
    }
    Waiting item{tap, stamp, nullptr, std::string(), size, kind};
    // Encoded now when it can be, so a value changed after its push is recorded as
    // it was pushed.
    bool held = false;
    if (encoded)
        item.pickled.swap(*encoded);
    else
        held = !encode_native(s, item.pickled, value, item.kind);
    s.waiting.push_back(std::move(item));
    if (held)  // referenced once it is in the queue: a failed push_back leaks nothing
        s.waiting.back().value = Py_NewRef(value);
    if (size > 0)
        s.waiting_bytes += size;
    if (s.waiting.size() == 1)
        signal_python(s);
    return true;
}

// A tap's first value of an encoding, encoded in `data`: it waits in the queue while
// the maker runs (Python code, in which other pushes, this thread's too, may come),
// so the pushes after it queue behind it and the order holds; then the values that
// wait with their channels made go into the chunk.
void first_of_kind(RecordState &s, uint32_t tap, uint64_t stamp, PyObject *value, std::string &data, Kind kind,
                   const std::string &why) {
    if (!enqueue(s, tap, stamp, value, &data, kind, size_of(s, value)))
        return;
    TapState &own = s.taps[tap];
    if (own.asked[kind] || !s.channel_maker)
        return;  // the writer makes the channel
    own.asked[kind] = true;
    try {
        make_channel(s, tap, kind, why);
    } catch (...) {  // an interrupt reaches the pusher: its value is not recorded
        if (!s.waiting.empty() && s.waiting.front().tap == tap && s.waiting.front().stamp == stamp &&
            !s.waiting.front().value) {
            release_waiting(s, s.waiting.front());
            s.waiting.pop_front();
        }
        throw;
    }
    if (!s.taking)
        return;
    try {
        write_ready(s);
    } catch (const std::bad_alloc &) {  // they wait on for the writer
    }
}

// The native path of a push that finds nothing waiting: true when it is done with
// the value (written, dropped or queued encoded), false when the writer's Python
// code must encode it.
bool receive_native(RecordState &s, uint32_t tap, uint64_t stamp, PyObject *value) {
    TapState &own = s.taps[tap];
    const bool has_channel = own.channel[0] != 0 || own.channel[1] != 0;
    if (has_channel && s.closed_bytes.load(std::memory_order_relaxed) > (size_t)s.most_bytes) {
        ++own.dropped;  // the writer is far behind
        return true;
    }
    const size_t at = s.open.data.size();
    try {
        if (s.json && own.channel[json_kind] != 0) {
            char message[message_head + json_scalar_room];  // the head is filled in place
            if (const size_t size = dump_json_scalar(value, message + message_head)) {
                s.open.data.append(message, message_head + size);
                finish_message(s, at, own.channel[json_kind], stamp, tap, true);
                return true;
            }
        } else if (!s.json && own.channel[pickle_kind] != 0) {
            char message[message_head + scalar_room];  // the head is filled in place
            if (const size_t size = dump_scalar(value, message + message_head)) {
                s.open.data.append(message, message_head + size);
                finish_message(s, at, own.channel[pickle_kind], stamp, tap, true);
                return true;
            }
        }
        s.open.data.append(message_head, '\0');
        Kind kind;
        if (!encode_native(s, s.open.data, value, kind)) {
            s.open.data.resize(at);
            return false;
        }
        if (const uint16_t channel = own.channel[kind]) {
            finish_message(s, at, channel, stamp, tap, true);
            return true;
        }
        std::string why = kind == pickle_kind && s.json ? s.json_writer.refused() : "";
        std::string data(s.open.data, at + message_head);
        s.open.data.resize(at);
        first_of_kind(s, tap, stamp, value, data, kind, why);
        return true;
    } catch (const std::bad_alloc &) {  // no memory for it: this value is dropped and counted
        if (s.open.data.size() > at)
            s.open.data.resize(at);
        ++own.dropped;
        return true;
    }
}

} // namespace
} // namespace portan

namespace vx {

void record_tap_receive(PyObject *tap_object, PyObject *value, int64_t &push_ns) {
    using namespace portan;
    const TapLink *tap = &vx::native_state<TapLink>(tap_object);
    RecordState &s = state_of(tap->buffer.ptr());
    if (!s.taking || tap->index >= s.taps.size())
        return;
    if (push_ns == 0)
        push_ns = (int64_t)now_ns();
    const uint64_t stamp = (uint64_t)push_ns;
    if (s.waiting.empty() && receive_native(s, tap->index, stamp, value))
        return;
    // Behind values that wait, or not for the native encoders: waits for the writer.
    const Py_ssize_t size = size_of(s, value);  // may run code: before the checks
    if (!s.taking || tap->index >= s.taps.size())
        return;
    try {
        enqueue(s, tap->index, stamp, value, nullptr, pickle_kind, size);
    } catch (const std::bad_alloc &) {
        ++s.taps[tap->index].dropped;
    }
}

} // namespace vx

namespace portan {
namespace {

// --- RecordTap ---------------------------------------------------------------------------

nb::object tap_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    PyObject *buffer = nullptr;
    unsigned int index = 0;
    static const char *keywords[] = {"buffer", "tap", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OI", (char **)keywords, &buffer, &index))
        vx::throw_error_already_set();
    if (Py_TYPE(buffer) != (PyTypeObject *)buffer_type.ptr())
        vx::raise(PyExc_TypeError, "RecordTap(buffer, tap) needs a RecordBuffer");
    if (index >= state_of(buffer).taps.size())
        vx::raise(PyExc_IndexError, "no such tap in the buffer");
    nb::object self = vx::make_native<TapLink>(type);
    TapLink &tap = vx::native_state<TapLink>(self.ptr());
    tap.buffer = nb::borrow(buffer);
    tap.index = index;
    return self;
}

} // namespace

nb::object make_record_tap_type() {
    return nb::borrow(vx::known_record_tap_type.set(vx::make_native_type<TapLink>(
        {"velarix.imp.portan.RecordTap",
         "What a recorder tap's pushes go into: its recording's buffer.",
         {{Py_tp_new, (void *)vx::slot_new<tap_new>}}})));
}

} // namespace portan
