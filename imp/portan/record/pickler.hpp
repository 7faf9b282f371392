// The native pickler of the recorder's taps: writes what pickle.dumps(value, 5)
// writes for values of the plain built-in types, without a Python call.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/little_endian.hpp"
#include "common/method.hpp"
#include "portan/record/encode.hpp"

namespace portan {

// --- the native pickler ---------------------------------------------------------------
//
// Writes what pickle.dumps(value, protocol=5) writes, byte for byte, for values made
// of None, bool, int (64 bits), float, str, bytes, bytearray, list, tuple and dict of
// those exact types: the same opcodes, memo and batches, in one frame. Anything else
// (a subclass, a bigger int, a string with lone surrogates, a value that would need a
// second frame, a recursive tuple, a very deep nesting) it leaves to the pickle module.

constexpr size_t max_body = 60000;  // under the pickle module's 64 KB frame target
constexpr int max_depth = 100;      // deeper values go to the pickle module (and its limit)
constexpr size_t batch = 1000;      // the pickle module's APPENDS / SETITEMS batch
// How the pickle module writes the batches of a list or dict bigger than one item:
// up to 3.14 every batch opens with MARK, and a dict whose size is a multiple of the
// batch ends with an empty MARK SETITEMS; from 3.15 on a last batch of one item is a
// plain APPEND or SETITEM, and no empty batch follows.
constexpr bool lone_last_item_unmarked = PY_VERSION_HEX >= 0x030F0000;

class Pickler {
public:
    // Appends the pickle of `value` to `out` and returns true, or leaves `out` as it
    // was and returns false.
    bool dump(std::string &out, PyObject *value) {
        out_ = &out;
        const size_t begin = out.size();
        out.append("\x80\x05", 2);
        const size_t frame = out.size();
        out.append(9, '\0');
        body_ = out.size();
        memo_.clear();
        memo_index_.clear();
        tuples_.clear();
        if (!append_or_undo(out, begin, [&] { return save(value, 0); }))
            return false;
        out.push_back('.');
        const uint64_t length = out.size() - body_;
        if (length >= 4) {
            out[frame] = '\x95';
            vx::le::put(&out[frame + 1], length, 8);
        } else {
            out.erase(frame, 9);
        }
        return true;
    }

private:
    void op(char code) { out_->push_back(code); }

    void op_le(char code, uint64_t value, int bytes) {
        char head[9];
        head[0] = code;
        vx::le::put(head + 1, value, bytes);
        out_->append(head, (size_t)bytes + 1);
    }

    bool room_for(size_t more) const { return out_->size() - body_ + more <= max_body; }

    long find(PyObject *value) const {
        if (!memo_index_.empty()) {
            auto found = memo_index_.find(value);
            return found == memo_index_.end() ? -1 : (long)found->second;
        }
        for (size_t i = 0; i < memo_.size(); ++i)
            if (memo_[i] == value)
                return (long)i;
        return -1;
    }

    void memoize(PyObject *value) {
        memo_.push_back(value);
        if (memo_.size() == 17) {
            for (size_t i = 0; i < memo_.size(); ++i)
                memo_index_.emplace(memo_[i], (uint32_t)i);
        } else if (!memo_index_.empty()) {
            memo_index_.emplace(value, (uint32_t)(memo_.size() - 1));
        }
        op('\x94');  // MEMOIZE
    }

    bool save_long(PyObject *value) {
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow)
            return false;  // beyond 64 bits: LONG1 from the pickle module
        if (number == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        if (number >= -0x80000000LL && number <= 0x7fffffffLL) {
            const uint32_t bits = (uint32_t)(int32_t)number;
            if (bits & 0xffff0000u)
                op_le('J', bits, 4);  // BININT
            else if (bits & 0xff00u)
                op_le('M', bits, 2);  // BININT2
            else
                op_le('K', bits, 1);  // BININT1
            return true;
        }
        // LONG1: the fewest little-endian two's-complement bytes, as the pickle module
        // counts them (one more than the magnitude's bits need, less a redundant 0xff).
        const uint64_t magnitude = number < 0 ? 0 - (uint64_t)number : (uint64_t)number;
        const int bits = 64 - __builtin_clzll(magnitude);
        int bytes = (bits >> 3) + 1;
        unsigned char data[9];
        for (int i = 0; i < 9; ++i)
            data[i] = i < 8 ? (unsigned char)(((uint64_t)number >> (8 * i)) & 0xff) : (number < 0 ? 0xff : 0x00);
        if (number < 0 && bytes > 1 && data[bytes - 1] == 0xff && (data[bytes - 2] & 0x80) != 0)
            --bytes;
        op('\x8a');
        out_->push_back((char)bytes);
        out_->append((const char *)data, (size_t)bytes);
        return true;
    }

    bool save_sized(char short_code, char long_code, const char *data, Py_ssize_t size) {
        if (!room_for((size_t)size + 6))
            return false;
        if (size <= 0xff)
            op_le(short_code, (uint64_t)size, 1);
        else
            op_le(long_code, (uint64_t)size, 4);
        out_->append(data, (size_t)size);
        return true;
    }

    bool save(PyObject *value, int depth) {
        if (!room_for(16))
            return false;
        if (value == Py_None) {
            op('N');
            return true;
        }
        if (value == Py_True || value == Py_False) {
            op(value == Py_True ? '\x88' : '\x89');
            return true;
        }
        PyTypeObject *type = Py_TYPE(value);
        if (type == &PyLong_Type)
            return save_long(value);
        if (type == &PyFloat_Type) {
            char data[8];
            if (PyFloat_Pack8(PyFloat_AS_DOUBLE(value), data, 0) < 0) {
                PyErr_Clear();
                return false;
            }
            op('G');  // BINFLOAT, big-endian
            out_->append(data, 8);
            return true;
        }
        const long seen = find(value);
        if (seen >= 0) {
            if (seen < 256)
                op_le('h', (uint64_t)seen, 1);  // BINGET
            else
                op_le('j', (uint64_t)seen, 4);  // LONG_BINGET
            return true;
        }
        if (type == &PyBytes_Type) {
            if (!save_sized('C', 'B', PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value)))
                return false;
            memoize(value);
            return true;
        }
        if (type == &PyUnicode_Type) {
            Py_ssize_t size = 0;
            const char *data = PyUnicode_AsUTF8AndSize(value, &size);
            if (!data) {  // lone surrogates: the pickle module writes them its own way
                PyErr_Clear();
                return false;
            }
            if (!save_sized('\x8c', 'X', data, size))
                return false;
            memoize(value);
            return true;
        }
        if (depth >= max_depth)
            return false;
        if (type == &PyDict_Type)
            return save_dict(value, depth + 1);
        if (type == &PyList_Type)
            return save_list(value, depth + 1);
        if (type == &PyTuple_Type)
            return save_tuple(value, depth + 1);
        if (type == &PyByteArray_Type) {
            const Py_ssize_t size = PyByteArray_GET_SIZE(value);
            if (!room_for((size_t)size + 9))
                return false;
            op_le('\x96', (uint64_t)size, 8);  // BYTEARRAY8
            out_->append(PyByteArray_AS_STRING(value), (size_t)size);
            memoize(value);
            return true;
        }
        return false;
    }

    bool save_list(PyObject *list, int depth) {
        op(']');  // EMPTY_LIST
        memoize(list);
        const size_t size = (size_t)PyList_GET_SIZE(list);
        if (size == 1) {
            if (!save(PyList_GET_ITEM(list, 0), depth))
                return false;
            op('a');  // APPEND
            return true;
        }
        size_t total = 0;
        while (total < size) {
            if (lone_last_item_unmarked && size - total == 1) {
                if (!save(PyList_GET_ITEM(list, (Py_ssize_t)total), depth))
                    return false;
                op('a');  // APPEND
                return true;
            }
            op('(');  // MARK
            for (size_t in_batch = 0; total < size && in_batch < batch; ++in_batch, ++total)
                if (!save(PyList_GET_ITEM(list, (Py_ssize_t)total), depth))
                    return false;
            op('e');  // APPENDS
        }
        return true;
    }

    bool save_dict(PyObject *dict, int depth) {
        op('}');  // EMPTY_DICT
        memoize(dict);
        const Py_ssize_t size = PyDict_GET_SIZE(dict);
        if (size == 0)
            return true;
        Py_ssize_t position = 0;
        PyObject *key, *item;
        if (size == 1) {
            PyDict_Next(dict, &position, &key, &item);
            if (!save(key, depth) || !save(item, depth))
                return false;
            op('s');  // SETITEM
            return true;
        }
        if (lone_last_item_unmarked) {
            for (size_t left = (size_t)size; left > 0;) {
                const size_t count = std::min(left, batch);
                if (count > 1)
                    op('(');
                for (size_t i = 0; i < count; ++i) {
                    PyDict_Next(dict, &position, &key, &item);
                    if (!save(key, depth) || !save(item, depth))
                        return false;
                }
                op(count > 1 ? 'u' : 's');  // SETITEMS, SETITEM
                left -= count;
            }
            return true;
        }
        // Up to 3.14: a batch after every full one, so a multiple of the batch size
        // ends with an empty MARK SETITEMS.
        size_t in_batch;
        do {
            in_batch = 0;
            op('(');
            while (PyDict_Next(dict, &position, &key, &item)) {
                if (!save(key, depth) || !save(item, depth))
                    return false;
                if (++in_batch == batch)
                    break;
            }
            op('u');  // SETITEMS
        } while (in_batch == batch);
        return true;
    }

    bool save_tuple(PyObject *tuple, int depth) {
        const Py_ssize_t size = PyTuple_GET_SIZE(tuple);
        if (size == 0) {
            op(')');  // EMPTY_TUPLE, not memoized
            return true;
        }
        // A tuple met again inside itself (through a list or dict): the pickle module
        // writes it with POP and a memo get; it is left to it.
        if (std::find(tuples_.begin(), tuples_.end(), tuple) != tuples_.end())
            return false;
        tuples_.push_back(tuple);
        if (size > 3)
            op('(');
        for (Py_ssize_t i = 0; i < size; ++i)
            if (!save(PyTuple_GET_ITEM(tuple, i), depth))
                return false;
        tuples_.pop_back();
        op(size > 3 ? 't' : (char)('\x85' + size - 1));  // TUPLE, TUPLE1..3
        memoize(tuple);
        return true;
    }

    std::string *out_ = nullptr;
    size_t body_ = 0;
    std::vector<PyObject *> memo_;  // borrowed: no Python code runs while they are used
    std::unordered_map<PyObject *, uint32_t> memo_index_;
    std::vector<PyObject *> tuples_;
};

// --- scalars, the common case of a push ------------------------------------------
//
// The pickle Pickler::dump writes for None, a bool, an int of 64 bits, a float, or a
// str or bytes of at most `scalar_text` bytes, written straight into `out` (room for
// `scalar_room` bytes) without the memo and the growing string: its length, or 0
// when the value is none of those (Pickler::dump then decides).

constexpr size_t scalar_text = 200;
constexpr size_t scalar_room = 2 + 9 + 1 + 1 + scalar_text + 2;

inline size_t dump_scalar(PyObject *value, char *out) {
    char body[2 + scalar_text + 3];  // the opcodes and STOP, framed below
    size_t size = 0;
    PyTypeObject *type = Py_TYPE(value);
    if (value == Py_None) {
        body[size++] = 'N';
    } else if (value == Py_True || value == Py_False) {
        body[size++] = value == Py_True ? '\x88' : '\x89';
    } else if (type == &PyLong_Type) {
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow)
            return 0;
        if (number == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return 0;
        }
        if (number >= -0x80000000LL && number <= 0x7fffffffLL) {
            const uint32_t bits = (uint32_t)(int32_t)number;
            const int bytes = (bits & 0xffff0000u) ? 4 : (bits & 0xff00u) ? 2 : 1;
            body[size++] = bytes == 4 ? 'J' : bytes == 2 ? 'M' : 'K';  // BININT, BININT2, BININT1
            for (int i = 0; i < bytes; ++i)
                body[size++] = (char)((bits >> (8 * i)) & 0xff);
        } else {
            return 0;  // LONG1: Pickler::dump
        }
    } else if (type == &PyFloat_Type) {
        body[size++] = 'G';
        if (PyFloat_Pack8(PyFloat_AS_DOUBLE(value), body + size, 0) < 0) {
            PyErr_Clear();
            return 0;
        }
        size += 8;
    } else if (type == &PyUnicode_Type || type == &PyBytes_Type) {
        const char *data;
        Py_ssize_t length;
        if (type == &PyBytes_Type) {
            data = PyBytes_AS_STRING(value);
            length = PyBytes_GET_SIZE(value);
        } else {
            data = PyUnicode_AsUTF8AndSize(value, &length);
            if (!data) {  // lone surrogates: Pickler::dump leaves them to the pickle module
                PyErr_Clear();
                return 0;
            }
        }
        if ((size_t)length > scalar_text)
            return 0;
        body[size++] = type == &PyBytes_Type ? 'C' : '\x8c';  // SHORT_BINBYTES, SHORT_BINUNICODE
        body[size++] = (char)length;
        std::memcpy(body + size, data, (size_t)length);
        size += (size_t)length;
        body[size++] = '\x94';  // MEMOIZE
    } else {
        return 0;
    }
    body[size++] = '.';
    size_t at = 0;
    out[at++] = '\x80';
    out[at++] = '\x05';
    if (size >= 4) {  // a frame, as Pickler::dump writes one
        out[at++] = '\x95';
        for (int i = 0; i < 8; ++i)
            out[at++] = (char)(((uint64_t)size >> (8 * i)) & 0xff);
    }
    std::memcpy(out + at, body, size);
    return at + size;
}

inline nb::object bytes_of(const std::string &data) {
    return vx::steal_or_throw(PyBytes_FromStringAndSize(data.data(), (Py_ssize_t)data.size()));
}

} // namespace portan
