// --- reading chunks back -------------------------------------------------------------------
//
// The replay's hot loop: the messages of a decompressed chunk, routed by channel and
// decoded here. A pickle of the kinds the taps write natively is read natively too;
// any other pickle goes to pickle.loads, which also raises for a broken one.

#include <cstdint>
#include <cstring>
#include <vector>

#include "common/buffer.hpp"
#include "common/little_endian.hpp"
#include "common/method.hpp"
#include "common/numbers.hpp"
#include "common/runtime.hpp"
#include "portan/record/tap.hpp"

namespace portan {
namespace {

namespace le = vx::le;

class Unpickler {
public:
    // The value of the pickle, a new reference; nullptr (no error set) when the
    // pickle holds what only the pickle module reads, or is not what it should be.
    PyObject *load(const unsigned char *data, size_t size) {
        at_ = data;
        end_ = data + size;
        frame_end_ = nullptr;
        PyObject *result = run();
        clear();
        return result;
    }

    ~Unpickler() { clear(); }

private:
    void clear() {
        for (PyObject *item : stack_)
            Py_DECREF(item);
        for (PyObject *item : memo_)
            Py_DECREF(item);
        stack_.clear();
        memo_.clear();
        marks_.clear();
    }

    bool take(size_t count, const unsigned char *&out) {
        if ((size_t)(end_ - at_) < count || crosses_frame_end(count))
            return false;
        out = at_;
        at_ += count;
        return true;
    }

    // A read that starts inside the current frame and runs past its end. The pickle
    // module refuses it from 3.14 on (earlier ones read on): left to it either way.
    bool crosses_frame_end(size_t count) const {
        return frame_end_ && at_ < frame_end_ && count > (size_t)(frame_end_ - at_);
    }

    bool push(PyObject *made) {
        if (!made) {
            PyErr_Clear();
            return false;
        }
        stack_.push_back(made);
        return true;
    }

    bool sized(int length_bytes, uint64_t &size, const unsigned char *&bytes) {
        const unsigned char *head;
        if (!take((size_t)length_bytes, head))
            return false;
        size = le::get(head, length_bytes);
        return size <= (uint64_t)(end_ - at_) && take((size_t)size, bytes);
    }

    // As in the pickle module, an opcode sees only the items above the top mark.
    size_t fence() const { return marks_.empty() ? 0 : marks_.back(); }

    // Items from the top mark on, in order; the mark is dropped.
    bool pop_mark(size_t &from) {
        if (marks_.empty() || marks_.back() > stack_.size())
            return false;
        from = marks_.back();
        marks_.pop_back();
        return true;
    }

    // The stack's references from `from` on, once a container holds its own.
    void drop_from(size_t from) {
        for (size_t i = from; i < stack_.size(); ++i)
            Py_DECREF(stack_[i]);
        stack_.resize(from);
    }

    bool append_items(size_t from) {
        if (from == 0 || from - 1 < fence() || !PyList_CheckExact(stack_[from - 1]))
            return false;
        PyObject *list = stack_[from - 1];
        for (size_t i = from; i < stack_.size(); ++i)
            if (PyList_Append(list, stack_[i]) < 0) {
                PyErr_Clear();
                return false;
            }
        drop_from(from);
        return true;
    }

    bool set_items(size_t from) {
        if (from == 0 || from - 1 < fence() || ((stack_.size() - from) & 1) || !PyDict_CheckExact(stack_[from - 1]))
            return false;
        PyObject *dict = stack_[from - 1];
        for (size_t i = from; i < stack_.size(); i += 2) {
            // Keys of the kinds read here hash without Python code; an unhashable one
            // (a list) fails, and the pickle module then says so.
            if (vx::exit_safe([&] { return PyDict_SetItem(dict, stack_[i], stack_[i + 1]); }) < 0) {
                PyErr_Clear();
                return false;
            }
        }
        drop_from(from);
        return true;
    }

    bool tuple_of(size_t from) {
        const size_t count = stack_.size() - from;
        PyObject *tuple = PyTuple_New((Py_ssize_t)count);
        if (!tuple) {
            PyErr_Clear();
            return false;
        }
        for (size_t i = 0; i < count; ++i)
            PyTuple_SET_ITEM(tuple, (Py_ssize_t)i, stack_[from + i]);  // the stack's references move
        stack_.resize(from);
        stack_.push_back(tuple);
        return true;
    }

    // The opcodes, by family; each answers false where the pickle module's reading
    // is left to it (an opcode not read here, or a pickle that is not what it should be).
    PyObject *run() {
        while (at_ < end_) {
            const unsigned char code = *at_++;
            if (code == '.')
                return stop();
            if (!step(code))
                return nullptr;
        }
        return nullptr;
    }

    bool step(unsigned char code) {
        switch (code) {
            case 0x80: case 0x95:
                return framing(code);
            case 'N': case 0x88: case 0x89:
                return constant(code);
            case 'K': case 'M': case 'J': case 0x8a: case 'G':
                return number(code);
            case 0x8c: case 'X': case 'C': case 'B': case 0x96:
                return text_or_bytes(code);
            case ']': case '}': case ')': case '(':
                return empty_container(code);
            case 'a': case 's': case 'e': case 'u': case 't': case 0x85: case 0x86: case 0x87:
                return fill_container(code);
            case 0x94: case 'h': case 'j':
                return memo(code);
            default:
                return false;
        }
    }

    // STOP: the one value left, at the pickle's very end.
    PyObject *stop() {
        if (stack_.size() != 1 || !marks_.empty() || at_ != end_)
            return nullptr;
        PyObject *result = stack_.back();
        stack_.clear();
        return result;
    }

    // PROTO, and FRAME: the pickle module refuses a frame longer than the data and,
    // from 3.14 on, one that starts before the current one ends.
    bool framing(unsigned char code) {
        const unsigned char *p;
        if (code == 0x80)
            return take(1, p) && p[0] <= 5;
        if (!take(8, p) || le::get(p, 8) > (uint64_t)(end_ - at_) || (frame_end_ && at_ < frame_end_))
            return false;
        frame_end_ = at_ + le::get(p, 8);
        return true;
    }

    bool constant(unsigned char code) {
        stack_.push_back(Py_NewRef(code == 'N' ? Py_None : code == 0x88 ? Py_True : Py_False));
        return true;
    }

    // BININT1, BININT2, BININT, LONG1 (up to 8 bytes here) and BINFLOAT.
    bool number(unsigned char code) {
        const unsigned char *p;
        switch (code) {
            case 'K':
                return take(1, p) && push(PyLong_FromLong(p[0]));
            case 'M':
                return take(2, p) && push(PyLong_FromLong((long)le::get(p, 2)));
            case 'J':
                return take(4, p) && push(PyLong_FromLong((long)(int32_t)(uint32_t)le::get(p, 4)));
            case 0x8a: {
                if (!take(1, p))
                    return false;
                const int count = p[0];
                if (count > 8 || !take((size_t)count, p))
                    return false;
                uint64_t bits = count ? le::get(p, count) : 0;
                if (count > 0 && count < 8 && (p[count - 1] & 0x80))
                    bits |= ~0ull << (8 * count);  // sign-extended
                return push(PyLong_FromLongLong((long long)bits));
            }
            default: {  // 'G'
                if (!take(8, p))
                    return false;
                const double value = PyFloat_Unpack8((const char *)p, 0);
                if (value == -1.0 && PyErr_Occurred()) {
                    PyErr_Clear();
                    return false;
                }
                return push(PyFloat_FromDouble(value));
            }
        }
    }

    // SHORT_BINUNICODE, BINUNICODE, SHORT_BINBYTES, BINBYTES, BYTEARRAY8.
    bool text_or_bytes(unsigned char code) {
        const unsigned char *p;
        uint64_t size;
        const int length_bytes = code == 0x96 ? 8 : code == 'X' || code == 'B' ? 4 : 1;
        if (!sized(length_bytes, size, p))
            return false;
        const char *bytes = (const char *)p;
        if (code == 0x8c || code == 'X')
            return push(PyUnicode_DecodeUTF8(bytes, (Py_ssize_t)size, "surrogatepass"));
        if (code == 0x96)
            return push(PyByteArray_FromStringAndSize(bytes, (Py_ssize_t)size));
        return push(PyBytes_FromStringAndSize(bytes, (Py_ssize_t)size));
    }

    // EMPTY_LIST, EMPTY_DICT, EMPTY_TUPLE and MARK.
    bool empty_container(unsigned char code) {
        switch (code) {
            case ']':
                return push(PyList_New(0));
            case '}':
                return push(PyDict_New());
            case ')':
                return push(PyTuple_New(0));
            default:  // '('
                marks_.push_back(stack_.size());
                return true;
        }
    }

    // APPEND, SETITEM, APPENDS, SETITEMS, TUPLE and TUPLE1-3.
    bool fill_container(unsigned char code) {
        switch (code) {
            case 'a':
                return stack_.size() >= fence() + 2 && append_items(stack_.size() - 1);
            case 's':
                return stack_.size() >= fence() + 3 && set_items(stack_.size() - 2);
            case 'e': case 'u': case 't': {
                size_t from;
                if (!pop_mark(from))
                    return false;
                return code == 't' ? tuple_of(from) : code == 'e' ? append_items(from) : set_items(from);
            }
            default: {  // 0x85-0x87
                const size_t count = (size_t)(code - 0x84);
                return stack_.size() >= fence() + count && tuple_of(stack_.size() - count);
            }
        }
    }

    // MEMOIZE, BINGET and LONG_BINGET.
    bool memo(unsigned char code) {
        if (code == 0x94) {
            if (stack_.size() <= fence())
                return false;
            memo_.push_back(Py_NewRef(stack_.back()));
            return true;
        }
        const unsigned char *p;
        const int bytes = code == 'h' ? 1 : 4;
        if (!take((size_t)bytes, p))
            return false;
        const uint64_t index = le::get(p, bytes);
        if (index >= memo_.size())
            return false;
        stack_.push_back(Py_NewRef(memo_[index]));
        return true;
    }

    const unsigned char *at_ = nullptr, *end_ = nullptr;
    const unsigned char *frame_end_ = nullptr;  // of the latest FRAME; null before the first
    std::vector<PyObject *> stack_;  // owned
    std::vector<PyObject *> memo_;   // owned
    std::vector<size_t> marks_;
};

// The value of a velarix JSON message `{"value":V}` whose V is null, a bool, a
// number or a string without escapes, a new reference; nullptr (no error set) for
// anything else, which the message's decoder reads.
PyObject *load_json_scalar(const char *data, size_t size) {
    static const char head[] = "{\"value\":";
    const size_t head_size = sizeof head - 1;
    if (size < head_size + 2 || std::memcmp(data, head, head_size) != 0 || data[size - 1] != '}')
        return nullptr;
    const char *at = data + head_size;
    const size_t length = size - head_size - 1;
    auto is = [&](const char *word) { return length == std::strlen(word) && std::memcmp(at, word, length) == 0; };
    if (is("null"))
        return Py_NewRef(Py_None);
    if (is("true"))
        return Py_NewRef(Py_True);
    if (is("false"))
        return Py_NewRef(Py_False);
    if (at[0] == '"') {
        if (length < 2 || at[length - 1] != '"')
            return nullptr;
        for (size_t i = 1; i + 1 < length; ++i)
            if (at[i] == '\\' || at[i] == '"' || (unsigned char)at[i] < 0x20)
                return nullptr;
        PyObject *text = PyUnicode_DecodeUTF8(at + 1, (Py_ssize_t)(length - 2), "strict");
        if (!text)
            PyErr_Clear();
        return text;
    }
    // A JSON number: -?digits[.digits][(e|E)[+-]digits]; an int unless it has a
    // fraction or an exponent.
    char text[64];
    if (length == 0 || length >= sizeof text)
        return nullptr;
    size_t i = at[0] == '-' ? 1 : 0;
    const size_t digits = i;
    while (i < length && at[i] >= '0' && at[i] <= '9')
        ++i;
    if (i == digits || (at[digits] == '0' && i - digits > 1))
        return nullptr;
    bool is_float = false;
    if (i < length && at[i] == '.') {
        is_float = true;
        const size_t fraction = ++i;
        while (i < length && at[i] >= '0' && at[i] <= '9')
            ++i;
        if (i == fraction)
            return nullptr;
    }
    if (i < length && (at[i] == 'e' || at[i] == 'E')) {
        is_float = true;
        ++i;
        if (i < length && (at[i] == '+' || at[i] == '-'))
            ++i;
        const size_t exponent = i;
        while (i < length && at[i] >= '0' && at[i] <= '9')
            ++i;
        if (i == exponent)
            return nullptr;
    }
    if (i != length)
        return nullptr;
    std::memcpy(text, at, length);
    text[length] = '\0';
    PyObject *made;
    if (is_float) {
        const double number = PyOS_string_to_double(text, nullptr, nullptr);
        made = number == -1.0 && PyErr_Occurred() ? nullptr : PyFloat_FromDouble(number);
    } else {
        made = PyLong_FromString(text, nullptr, 10);
    }
    if (!made)
        PyErr_Clear();
    return made;
}

// Where read_chunk() sends the messages of the channel it reads: the routes' entry of
// the latest channel seen, held (a decoder's code may change `routes`).
struct Routing {
    PyObject *routes;
    long channel = -1;
    bool skip = false;
    nb::object target, decoder;
};

enum class Route { routed, skipped, unknown };

Route route_of(Routing &routing, long channel) {
    if (channel != routing.channel) {
        nb::object key = vx::steal_or_throw(PyLong_FromLong(channel));
        PyObject *entry = PyDict_GetItemWithError(routing.routes, key.ptr());  // no Python code: int keys
        if (!entry) {
            if (PyErr_Occurred())
                vx::throw_error_already_set();
            return Route::unknown;
        }
        if (entry == Py_None) {
            routing.skip = true;
        } else {
            if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 2)
                vx::raise(PyExc_TypeError, "a route must be (target, decoder) or None");
            routing.skip = false;
            routing.target = nb::borrow(PyTuple_GET_ITEM(entry, 0));
            routing.decoder = nb::borrow(PyTuple_GET_ITEM(entry, 1));
        }
        routing.channel = channel;
    }
    return routing.skip ? Route::skipped : Route::routed;
}

// A message's value, or the exception its decoder raised.
struct Decoded {
    nb::object value, error;
};

Decoded decode(Unpickler &unpickler, nb::handle decoder, PyObject *loads, const char *payload, size_t size) {
    auto raw = [&] { return vx::steal_or_throw(PyBytes_FromStringAndSize(payload, (Py_ssize_t)size)); };
    if (decoder.is_none())
        return {raw(), {}};
    const bool pickled = decoder.ptr() == Py_True;
    const bool json = PyTuple_CheckExact(decoder.ptr()) && PyTuple_GET_SIZE(decoder.ptr()) == 1;
    PyObject *native = pickled ? unpickler.load((const unsigned char *)payload, size)
                       : json  ? load_json_scalar(payload, size)
                               : nullptr;
    if (native)
        return {nb::steal(native), {}};
    nb::object bytes = raw();
    PyObject *function = pickled ? loads : json ? PyTuple_GET_ITEM(decoder.ptr(), 0) : decoder.ptr();
    PyObject *made = vx::exit_safe([&] { return PyObject_CallOneArg(function, bytes.ptr()); });
    if (!made)
        return {{}, vx::steal_or_throw(PyErr_GetRaisedException())};
    return {nb::steal(made), {}};
}

nb::object chunk_answer(nb::handle batch, size_t position, nb::handle stop) {
    nb::object at = vx::steal_or_throw(PyLong_FromSize_t(position));
    return vx::steal_or_throw(PyTuple_Pack(3, batch.ptr(), at.ptr(), stop.ptr()));
}

} // namespace

// read_chunk(data, position, since, routes, loads): from `position` in a chunk's
// records, [(target, log time, value), ...] of the messages logged at `since` or
// later whose channel `routes` maps to (target, decoder): decoder None for the raw
// bytes, True for a pickle, a 1-tuple (f,) for a velarix JSON message (a scalar
// value read here, anything else by f), else a callable of the bytes. A channel mapped to None
// is skipped. Returns (batch, position, stop): it stops before a channel or schema record
// (stop 0) or a message on a channel `routes` lacks (stop: its id), or at the end
// (stop None); after a value that does not decode, stop is the exception it raised.
nb::object read_chunk(const vx::Call &call) {
    static constexpr vx::Params<5> params{"_read_chunk", {"data", "position", "since", "routes", "loads"}};
    auto [data, position_arg, since_arg, routes, loads] = call.bind(params);
    if (!PyDict_CheckExact(routes))
        vx::raise(PyExc_TypeError, "routes must be a dict");
    vx::HeldBuffer view;
    if (!view.acquire(data, PyBUF_SIMPLE))
        vx::throw_error_already_set();
    const Py_ssize_t start = vx::ssize_of(position_arg);
    const unsigned long long since = vx::unsigned_long_long_of(since_arg);
    const unsigned char *bytes = (const unsigned char *)view.data();
    const size_t end = (size_t)view.size();
    size_t position = start < 0 ? end : (size_t)start;
    nb::object batch = vx::steal_or_throw(PyList_New(0));
    nb::object stop = nb::none();
    Unpickler unpickler;
    Routing routing{routes};
    while (position + 9 <= end) {
        const unsigned char opcode = bytes[position];
        const uint64_t length = le::get(bytes + position + 1, 8);
        if (length > end - position - 9)
            break;  // a torn record: the caller's check of the chunk catches it
        if (opcode == 0x04 || opcode == 0x03) {  // a channel or a schema: read by the caller
            stop = vx::steal_or_throw(PyLong_FromLong(0));
            break;
        }
        if (opcode != 0x05 || length < 22) {
            position += 9 + length;
            continue;
        }
        const long channel = (long)le::get(bytes + position + 9, 2);
        const uint64_t log_time = le::get(bytes + position + 15, 8);
        const Route route = route_of(routing, channel);
        if (route == Route::unknown) {
            stop = vx::steal_or_throw(PyLong_FromLong(channel));
            break;
        }
        const size_t payload = position + 31;
        position += 9 + length;
        if (route == Route::skipped || log_time < since)
            continue;
        // A value that does not decode ends the play; the values before it are kept.
        Decoded decoded =
            decode(unpickler, routing.decoder, loads, (const char *)bytes + payload, (size_t)length - 22);
        if (decoded.error.is_valid())
            return chunk_answer(batch, position, decoded.error);
        nb::object stamp = vx::steal_or_throw(PyLong_FromUnsignedLongLong(log_time));
        nb::object item = vx::steal_or_throw(PyTuple_Pack(3, routing.target.ptr(), stamp.ptr(), decoded.value.ptr()));
        vx::check_status(PyList_Append(batch.ptr(), item.ptr()));
    }
    if (stop.is_none() && position + 9 > end)
        position = end;
    return chunk_answer(batch, position, stop);
}

} // namespace portan
