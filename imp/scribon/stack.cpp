// The call-stack summary that write() records: "file.py:12, other.py:40, ...".
// It walks the interpreter's frames directly and gives what reading inspect.stack()
// gives: the base name of each frame's file and its current line, innermost first,
// frames of this module's own file left out, bounded by STACK_WIDTH.
#include <string>
#include <vector>

#include "scribon.hpp"

namespace scribon {
namespace {

// One location of the summary: the base name is filename[start:].
struct Location {
    nb::object filename;
    Py_ssize_t start;
    Py_ssize_t length;  // of "name:line"
    long line;          // negative: the frame has no line ("None", as f_lineno gives it)
};

Py_ssize_t decimal_length(long line) {
    if (line < 0)
        return 4;  // "None"
    Py_ssize_t digits = 1;
    for (; line >= 10; line /= 10)
        ++digits;
    return digits;
}

// Where os.path.basename(path) starts inside path.
Py_ssize_t basename_start(nb::handle path) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(path.ptr());
    Py_ssize_t slash = PyUnicode_FindChar(path.ptr(), '/', 0, length, -1);
    if (slash == -2)
        vx::throw_error_already_set();
#ifdef _WIN32
    Py_ssize_t backslash = PyUnicode_FindChar(path.ptr(), '\\', 0, length, -1);
    if (backslash == -2)
        vx::throw_error_already_set();
    if (backslash > slash)
        slash = backslash;
    if (slash < 0 && length >= 2 && PyUnicode_READ_CHAR(path.ptr(), 1) == ':')
        slash = 1;
#endif
    return slash + 1;
}

// The excluded name: the base name of the module's __file__, worked out again only
// when that attribute changes.
nb::object excluded_name() {
    static vx::Kept cached_file, cached_name;
    nb::object file = module_global(texts::dunder_file);
    if (file.ptr() != cached_file.ptr()) {
        nb::object name;
        if (PyUnicode_Check(file.ptr())) {
            Py_ssize_t start = basename_start(file);
            name = vx::steal_or_throw(PyUnicode_Substring(file.ptr(), start, PyUnicode_GET_LENGTH(file.ptr())));
        } else {
            static vx::LazyModule os_path{"os.path"};
            name = vx::call(os_path.attr("basename"), file);
        }
        cached_file.replace(file);
        cached_name.replace(name);
        return name;
    }
    return nb::borrow(cached_name.get());
}

// The line the frame is executing, as inspect reads it: the start line of the
// current instruction's position, else the frame's own line number.
long frame_line(PyFrameObject *frame, PyCodeObject *code) {
    int lasti = PyFrame_GetLasti(frame);
    if (lasti >= 0) {
        int line = PyCode_Addr2Line(code, lasti);
        if (line >= 0)
            return line;
    }
    return PyFrame_GetLineNumber(frame);
}

// limit = STACK_WIDTH - 7 - len(location); true when the text gathered so far is
// longer. A plain integer width is worked out here, anything else as Python would.
class Bound {
public:
    explicit Bound(nb::object width) : width_(std::move(width)) {
        if (PyLong_CheckExact(width_.ptr())) {
            int overflow = 0;
            long long w = PyLong_AsLongLongAndOverflow(width_.ptr(), &overflow);
            if (!overflow && w > -(1LL << 60) && w < (1LL << 60)) {
                native_ = true;
                value_ = w;
            }
        }
    }

    bool exceeded(Py_ssize_t joined, Py_ssize_t location) const {
        if (native_)
            return (long long)joined > value_ - 7 - (long long)location;
        nb::object seven = vx::steal_or_throw(PyLong_FromLong(7));
        nb::object length = vx::steal_or_throw(PyLong_FromSsize_t(location));
        nb::object limit = vx::subtract(vx::subtract(width_, seven), length);
        nb::object gathered = vx::steal_or_throw(PyLong_FromSsize_t(joined));
        return vx::greater(gathered, limit);
    }

private:
    nb::object width_;
    bool native_ = false;
    long long value_ = 0;
};

void append_line(std::string &out, long line) {
    if (line < 0)
        out += "None";
    else
        out += std::to_string(line);
}

nb::object join_locations(const std::vector<Location> &locations) {
    bool ascii = true;
    for (const Location &location : locations)
        ascii = ascii && PyUnicode_IS_ASCII(location.filename.ptr());
    if (ascii) {
        std::string text;
        text.reserve(64);
        for (const Location &location : locations) {
            const char *data = (const char *)PyUnicode_DATA(location.filename.ptr());
            text.append(data + location.start,
                        (size_t)(PyUnicode_GET_LENGTH(location.filename.ptr()) - location.start));
            text += ':';
            append_line(text, location.line);
            text += ", ";
        }
        text += "...";
        return vx::steal_or_throw(PyUnicode_FromStringAndSize(text.data(), (Py_ssize_t)text.size()));
    }
    nb::object parts = vx::steal_or_throw(PyList_New(0));
    for (const Location &location : locations) {
        nb::object name = vx::steal_or_throw(PyUnicode_Substring(
            location.filename.ptr(), location.start, PyUnicode_GET_LENGTH(location.filename.ptr())));
        std::string line;
        append_line(line, location.line);
        nb::object part = vx::steal_or_throw(PyUnicode_FromFormat("%U:%s", name.ptr(), line.c_str()));
        vx::check_status(PyList_Append(parts.ptr(), part.ptr()));
    }
    nb::object more = vx::steal_or_throw(PyUnicode_FromString("..."));
    vx::check_status(PyList_Append(parts.ptr(), more.ptr()));
    nb::object separator = vx::steal_or_throw(PyUnicode_FromString(", "));
    return vx::steal_or_throw(PyUnicode_Join(separator.ptr(), parts.ptr()));
}

} // namespace

nb::object stack_summary() {
    nb::object excluded = excluded_name();
    const Py_ssize_t excluded_length =
        PyUnicode_Check(excluded.ptr()) ? PyUnicode_GET_LENGTH(excluded.ptr()) : -1;
    Bound bound(module_global(texts::STACK_WIDTH));

    std::vector<Location> locations;
    Py_ssize_t joined = 0;  // len(", ".join(locations))
    // Owned references: each frame and code object is released as the walk moves
    // on, and whatever is held is released by the handles on a failing path too.
    nb::object frame = nb::borrow((PyObject *)PyEval_GetFrame());
    while (frame.is_valid() && !frame.is_none()) {
        PyFrameObject *current = (PyFrameObject *)frame.ptr();
        nb::object code = nb::steal((PyObject *)PyFrame_GetCode(current));
        nb::object filename = nb::borrow(((PyCodeObject *)code.ptr())->co_filename);
        nb::object back = nb::steal((PyObject *)PyFrame_GetBack(current));

        Py_ssize_t start = basename_start(filename);
        Py_ssize_t name_length = PyUnicode_GET_LENGTH(filename.ptr()) - start;
        bool skipped = name_length == excluded_length &&
                       vx::check_status((int)PyUnicode_Tailmatch(filename.ptr(), excluded.ptr(), start,
                                                                 PY_SSIZE_T_MAX, 1)) == 1;
        if (!skipped) {
            long line = frame_line(current, (PyCodeObject *)code.ptr());
            Py_ssize_t length = name_length + 1 + decimal_length(line);
            if (bound.exceeded(joined, length))
                break;
            joined += (locations.empty() ? 0 : 2) + length;
            locations.push_back(Location{std::move(filename), start, length, line});
        }
        frame = std::move(back);
    }
    if (locations.empty())
        return nb::borrow(texts::unknown);
    return join_locations(locations);
}

nb::object logger_get_stack(const vx::Call &call) {
    call.bind_none("_get_stack");
    return stack_summary();
}

} // namespace scribon
