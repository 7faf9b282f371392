// The recorder's native JSON writer: `{"value":V}` for values JSON gives back
// exactly (json.loads of the text equals the value, with the same types), without
// a Python call. Anything else is refused with the name of what needed pickle.
#pragma once

#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

#include "common/method.hpp"
#include "portan/record/encode.hpp"

namespace portan {

constexpr int json_max_depth = 100;  // deeper values are pickled (as the pickle module would)

class JsonWriter {
public:
    // Appends `{"value":V}` to `out` and returns true, or leaves `out` as it was,
    // sets refused() and returns false.
    bool dump(std::string &out, PyObject *value) {
        out_ = &out;
        refused_ = nullptr;
        const size_t begin = out.size();
        out.append("{\"value\":", 9);
        if (!append_or_undo(out, begin, [&] { return save(value, 0); }))
            return false;
        out.push_back('}');
        return true;
    }

    // What the last refused value held that JSON would change: a type's name, or a
    // short reason ("float nan", "dict key int").
    const char *refused() const { return refused_ ? refused_ : "value"; }

private:
    bool refuse(const char *why) {
        refused_ = why;
        return false;
    }

    bool save_float(double number) {
        if (!std::isfinite(number))
            return refuse(std::isnan(number) ? "float nan" : "float infinity");
        char text[32];
        const auto result = std::to_chars(text, text + sizeof text, number);  // shortest that round-trips
        size_t size = (size_t)(result.ptr - text);
        out_->append(text, size);
        if (!std::memchr(text, '.', size) && !std::memchr(text, 'e', size))
            out_->append(".0", 2);  // read back as a float, not an int
        return true;
    }

    bool save_long(PyObject *value) {
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (!overflow) {
            if (number == -1 && PyErr_Occurred()) {
                PyErr_Clear();
                return refuse("int");
            }
            char text[24];
            const auto result = std::to_chars(text, text + sizeof text, number);
            out_->append(text, (size_t)(result.ptr - text));
            return true;
        }
        // Beyond 64 bits: its decimal digits, as json.dumps writes them.
        PyObject *digits = PyObject_Str(value);  // no Python code: an exact int's own str
        if (!digits) {  // beyond the interpreter's limit on digits
            PyErr_Clear();
            return refuse("int");
        }
        Py_ssize_t size = 0;
        const char *text = PyUnicode_AsUTF8AndSize(digits, &size);
        if (text)
            out_->append(text, (size_t)size);
        else
            PyErr_Clear();
        Py_DECREF(digits);
        return text ? true : refuse("int");
    }

    bool save_str(PyObject *value) {
        Py_ssize_t size = 0;
        const char *text = PyUnicode_AsUTF8AndSize(value, &size);
        if (!text) {  // lone surrogates: not UTF-8, so not JSON text
            PyErr_Clear();
            return refuse("str with lone surrogates");
        }
        static const char hex[] = "0123456789abcdef";
        out_->push_back('"');
        const char *run = text;
        const char *end = text + size;
        for (const char *at = text; at < end; ++at) {
            const unsigned char c = (unsigned char)*at;
            if (c >= 0x20 && c != '"' && c != '\\')
                continue;
            out_->append(run, (size_t)(at - run));
            run = at + 1;
            switch (c) {
            case '"': out_->append("\\\"", 2); break;
            case '\\': out_->append("\\\\", 2); break;
            case '\n': out_->append("\\n", 2); break;
            case '\r': out_->append("\\r", 2); break;
            case '\t': out_->append("\\t", 2); break;
            default: {
                const char escape[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
                out_->append(escape, 6);
            }
            }
        }
        out_->append(run, (size_t)(end - run));
        out_->push_back('"');
        return true;
    }

    bool save(PyObject *value, int depth) {
        if (value == Py_None) {
            out_->append("null", 4);
            return true;
        }
        if (value == Py_True || value == Py_False) {
            value == Py_True ? out_->append("true", 4) : out_->append("false", 5);
            return true;
        }
        PyTypeObject *type = Py_TYPE(value);
        if (type == &PyLong_Type)
            return save_long(value);
        if (type == &PyFloat_Type)
            return save_float(PyFloat_AS_DOUBLE(value));
        if (type == &PyUnicode_Type)
            return save_str(value);
        if (type == &PyList_Type || type == &PyDict_Type) {
            if (depth >= json_max_depth)
                return refuse("deeply nested value");
            return type == &PyList_Type ? save_list(value, depth + 1) : save_dict(value, depth + 1);
        }
        return refuse(type->tp_name);
    }

    bool save_list(PyObject *list, int depth) {
        out_->push_back('[');
        // The size is read at each turn: no Python code runs, but stay within it.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            if (i)
                out_->push_back(',');
            if (!save(PyList_GET_ITEM(list, i), depth))
                return false;
        }
        out_->push_back(']');
        return true;
    }

    bool save_dict(PyObject *dict, int depth) {
        out_->push_back('{');
        Py_ssize_t position = 0;
        PyObject *key, *item;
        bool first = true;
        while (PyDict_Next(dict, &position, &key, &item)) {
            if (Py_TYPE(key) != &PyUnicode_Type) {
                refused_ = Py_TYPE(key) == &PyLong_Type ? "dict key int" : "dict key not str";
                return false;
            }
            if (!first)
                out_->push_back(',');
            first = false;
            if (!save_str(key))
                return false;
            out_->push_back(':');
            if (!save(item, depth))
                return false;
        }
        out_->push_back('}');
        return true;
    }

    std::string *out_ = nullptr;
    const char *refused_ = nullptr;
};

// --- scalars, the common case of a push ------------------------------------------
//
// `{"value":V}` for None, a bool, an int of 64 bits, a finite float, or a str of at
// most `json_scalar_text` bytes that needs no escape, written straight into `out`
// (room for `json_scalar_room` bytes): its length, or 0 (JsonWriter::dump decides).

constexpr size_t json_scalar_text = 200;
constexpr size_t json_scalar_room = 9 + json_scalar_text + 3;

inline size_t dump_json_scalar(PyObject *value, char *out) {
    std::memcpy(out, "{\"value\":", 9);
    char *at = out + 9;
    PyTypeObject *type = Py_TYPE(value);
    if (value == Py_None) {
        std::memcpy(at, "null", 4);
        at += 4;
    } else if (value == Py_True || value == Py_False) {
        const bool yes = value == Py_True;
        std::memcpy(at, yes ? "true" : "false", yes ? 4 : 5);
        at += yes ? 4 : 5;
    } else if (type == &PyLong_Type) {
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow || (number == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return 0;
        }
        at = std::to_chars(at, at + 24, number).ptr;
    } else if (type == &PyFloat_Type) {
        const double number = PyFloat_AS_DOUBLE(value);
        if (!std::isfinite(number))
            return 0;
        char *start = at;
        at = std::to_chars(at, at + 32, number).ptr;
        if (!std::memchr(start, '.', (size_t)(at - start)) && !std::memchr(start, 'e', (size_t)(at - start))) {
            std::memcpy(at, ".0", 2);
            at += 2;
        }
    } else if (type == &PyUnicode_Type) {
        Py_ssize_t size = 0;
        const char *text = PyUnicode_AsUTF8AndSize(value, &size);
        if (!text) {
            PyErr_Clear();
            return 0;
        }
        if ((size_t)size > json_scalar_text)
            return 0;
        for (Py_ssize_t i = 0; i < size; ++i) {
            const unsigned char c = (unsigned char)text[i];
            if (c < 0x20 || c == '"' || c == '\\')
                return 0;
        }
        *at++ = '"';
        std::memcpy(at, text, (size_t)size);
        at += size;
        *at++ = '"';
    } else {
        return 0;
    }
    *at++ = '}';
    return (size_t)(at - out);
}

} // namespace portan
