// Change numbers of dicts, for remembering what a dict held while it is unchanged.
//
// CPython 3.12 gives every dict a number from one interpreter-wide counter when it
// is made and again at every change to it (insert, replace, delete, clear, update):
// the number its dict watchers are told of. A dict that shows the number it showed
// earlier has not changed since, and still holds every value read from it then; a
// dict made later at the same address has a number never seen before.
//
// The field is deprecated from 3.12 on and its meaning may change after it, so it
// is read only on the versions it is known to work on (3.12); elsewhere there are
// no numbers and every read goes to the dict itself.
#pragma once

#include <cstdint>

#include "host.hpp"

namespace vx {

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
inline constexpr bool dict_versions = true;

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
inline uint64_t dict_version(PyObject *dict) { return ((PyDictObject *)dict)->ma_version_tag; }
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

// The low bits of the number name the dict's watchers (eight of them), whose
// callbacks run Python code at every change.
inline bool dict_watched(PyObject *dict) { return (dict_version(dict) & 0xFF) != 0; }
#else
inline constexpr bool dict_versions = false;
inline uint64_t dict_version(PyObject *) { return 0; }
inline bool dict_watched(PyObject *) { return true; }
#endif

// One value read from a dict under a key, remembered with the dict's number. The
// value is borrowed: the dict holds it for as long as the number stays the same.
class SeenValue {
public:
    // The remembered value while `dict` is the dict it came from, unchanged; else null.
    PyObject *get(PyObject *dict) const {
        if (!dict_versions || dict != dict_ || dict_version(dict) != version_)
            return nullptr;
        return value_;
    }

    void remember(PyObject *dict, PyObject *value) {
        dict_ = dict;
        version_ = dict_version(dict);
        value_ = value;
    }

private:
    PyObject *dict_ = nullptr;  // only compared, never used
    uint64_t version_ = 0;
    PyObject *value_ = nullptr;
};

} // namespace vx
