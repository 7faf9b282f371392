// LogEntryImp: one record of the log, a dict with five keys in a fixed order, and its
// two text forms (the fixed-width table line and the display block).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "scribon.hpp"

namespace scribon {
namespace {

// datetime.now().isoformat(): local wall-clock time, microseconds rounded down as
// datetime does, the fraction left out when it is zero. The date-and-time part is
// kept for the current second, since most entries share it.
nb::object now_isoformat() {
    using namespace std::chrono;
    const long long micros =
        duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    long long seconds = micros / 1000000;
    long long fraction = micros % 1000000;
    if (fraction < 0) {
        fraction += 1000000;
        seconds -= 1;
    }

    static long long cached_second = -1;
    static char text[40];
    static int prefix_length = 0;
    if (seconds != cached_second || prefix_length == 0) {
        std::time_t t = (std::time_t)seconds;
        std::tm local{};
#ifdef _WIN32
        if (localtime_s(&local, &t) != 0)
#else
        if (!localtime_r(&t, &local))
#endif
            vx::raise(PyExc_OverflowError, "timestamp out of range for platform localtime()");
        prefix_length = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d",
                                      local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                      local.tm_hour, local.tm_min, local.tm_sec);
        cached_second = seconds;
    }
    int length = prefix_length;
    if (fraction != 0)
        length += std::snprintf(text + prefix_length, sizeof text - prefix_length, ".%06lld",
                                fraction);
    return vx::steal_or_throw(PyUnicode_FromStringAndSize(text, length));
}

// hex(threading.get_ident()) of the calling thread.
nb::object current_thread_hex() {
    char text[32];
    int length = std::snprintf(text, sizeof text, "0x%lx", PyThread_get_thread_ident());
    return vx::steal_or_throw(PyUnicode_FromStringAndSize(text, length));
}

// One column of the table line: the text and the blanks that follow it.
struct Cell {
    nb::object text;
    Py_ssize_t padding = 0;
};

// format(value, "<" + str(width)). Plain text with a plain integer width is padded
// here; anything else goes through the value's own __format__.
Cell render_cell(nb::handle value, nb::handle width) {
    if (PyUnicode_CheckExact(value.ptr()) && PyLong_CheckExact(width.ptr())) {
        int overflow = 0;
        long long w = PyLong_AsLongLongAndOverflow(width.ptr(), &overflow);
        if (!overflow && w >= 0 && w <= PY_SSIZE_T_MAX) {
            Py_ssize_t length = PyUnicode_GET_LENGTH(value.ptr());
            return Cell{nb::borrow(value), (Py_ssize_t)w > length ? (Py_ssize_t)w - length : 0};
        }
    }
    nb::object spec = vx::formatted("<%S", width.ptr());
    return Cell{vx::format(value, spec), 0};
}

} // namespace

nb::object entry_init(const vx::Call &call) {
    static constexpr vx::Params<3> params{"__init__", {"type", "stack", "message"}};
    auto [type, stack, message] = call.bind(params);
    vx::require_str(stack, "stack");
    vx::require_str(message, "message");

    // Evaluated in the order of the keys, as keyword arguments to dict.__init__ would be.
    nb::object timestamp = now_isoformat();
    nb::object type_value = vx::getattr(type, names::value);
    nb::object thread = current_thread_hex();

    PyObject *self = call.self.ptr();
    vx::check_status(PyDict_SetItem(self, texts::timestamp.ptr(), timestamp.ptr()));
    vx::check_status(PyDict_SetItem(self, names::type.ptr(), type_value.ptr()));
    vx::check_status(PyDict_SetItem(self, names::stack.ptr(), stack));
    vx::check_status(PyDict_SetItem(self, texts::thread.ptr(), thread.ptr()));
    vx::check_status(PyDict_SetItem(self, names::message.ptr(), message));
    return nb::none();
}

nb::object entry_to_line(const vx::Call &call) {
    call.bind_none("to_line");
    constexpr Py_ssize_t separator = 3;  // " | "

    Cell cells[COLUMN_COUNT];
    Py_ssize_t total = (COLUMN_COUNT - 1) * separator;
    Py_UCS4 max_char = 0x7f;
    for (int i = 0; i < COLUMN_COUNT; ++i) {
        nb::object value = vx::get_item(call.self, *COLUMNS[i].key);
        cells[i] = render_cell(value, module_global(*COLUMNS[i].width_name));
        Py_ssize_t length = PyUnicode_GET_LENGTH(cells[i].text.ptr());
        if (length > PY_SSIZE_T_MAX - total || cells[i].padding > PY_SSIZE_T_MAX - total - length)
            throw std::bad_alloc();
        total += length + cells[i].padding;
        Py_UCS4 cell_max = PyUnicode_MAX_CHAR_VALUE(cells[i].text.ptr());
        if (cell_max > max_char)
            max_char = cell_max;
    }

    // Every cell is a canonical str, so the widest kind among them is the line's.
    nb::object line = vx::steal_or_throw(PyUnicode_New(total, max_char));
    Py_ssize_t at = 0;
    for (int i = 0; i < COLUMN_COUNT; ++i) {
        if (i) {
            PyUnicode_WriteChar(line.ptr(), at++, ' ');
            PyUnicode_WriteChar(line.ptr(), at++, '|');
            PyUnicode_WriteChar(line.ptr(), at++, ' ');
        }
        Py_ssize_t length = PyUnicode_GET_LENGTH(cells[i].text.ptr());
        if (PyUnicode_CopyCharacters(line.ptr(), at, cells[i].text.ptr(), 0, length) < 0)
            vx::throw_error_already_set();
        at += length;
        if (cells[i].padding) {
            if (PyUnicode_Fill(line.ptr(), at, cells[i].padding, ' ') < 0)
                vx::throw_error_already_set();
            at += cells[i].padding;
        }
    }
    return line;
}

nb::object entry_to_formatted_string(const vx::Call &call) {
    call.bind_none("to_formatted_string");
    nb::object empty = vx::steal_or_throw(PyUnicode_FromStringAndSize("", 0));
    nb::object values[COLUMN_COUNT];
    for (int i = 0; i < COLUMN_COUNT; ++i) {
        nb::object value = vx::get_item(call.self, *COLUMNS[i].key);
        values[i] = vx::format(value, empty);
    }
#define VX_RULE "-------------------------------------------------------"
    return vx::steal_or_throw(PyUnicode_FromFormat(
        "\n\n\n" VX_RULE "\nLog entry:\n" VX_RULE "\n"
        "Timestamp: %U\nType:      %U\nStack:     %U\nThread:    %U\nMessage:   %U"
        "\n" VX_RULE "\n\n\n\n",
        values[0].ptr(), values[1].ptr(), values[2].ptr(), values[3].ptr(), values[4].ptr()));
#undef VX_RULE
}

nb::object title_line() {
    std::string text;
    for (const Column &column : COLUMNS) {
        if (!text.empty())
            text += " | ";
        text += column.title;
        text.append(column.width - std::strlen(column.title), ' ');
    }
    text += '\n';
    return vx::steal_or_throw(PyUnicode_FromStringAndSize(text.data(), (Py_ssize_t)text.size()));
}

} // namespace scribon
