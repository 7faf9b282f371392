// Lookups remembered for the hot paths. A name read on every step or push (a
// module's function such as time.time, a node's or a port's attribute, a class's
// method) is looked up once and answered from memory until what it came from
// changes: patching time.time, storing an attribute or changing a class is seen
// at the next read, with nothing to call to say so.
//
// - SeenValue: one value read from one dict (under the one key its caller reads),
//   kept with the dict's address and change number. SeenValues: a small table of
//   them by the dict's address, for a key read from whichever of many dicts is at
//   hand (a key the dict lacks is remembered too); seen_entry reads dict[key]
//   through one.
// - TypeEntry: what the lookup of a name along a class's MRO found, kept with the
//   class and its version tag (tp_version_tag).
// - SeenAttribute and own_attr: obj.name of a plain instance, both together: while
//   the class has no such name (nothing in it comes before the instance dict), the
//   answer is the instance dict's entry, remembered as above.
//
// Why a remembered answer is still the right one: it is used only while the dict
// (the class) is the same object and shows the number (the tag) it showed when
// read. Every change to a dict gives it a new number (below); every change to a
// class or to one of its bases gives it a new tag; neither is ever given twice, so
// a dict or class freed and replaced by another at the same address does not match
// either. The values are borrowed: while the number holds, the dict (the class or
// the base they came from) still holds them. A number or tag of 0 (none to be had)
// matches nothing, so such a dict or class is looked up every time. A lookup that
// ran code which changed the dict is not remembered, and version_after_own_change
// lets a writer keep its own write remembered only when that write was the dict's
// one change. All of it runs with the interpreter lock held (compat.hpp refuses the
// free-threaded build), so the caches need no locks of their own.
//
// Change numbers of dicts, for remembering what a dict held while it is unchanged.
//
// On 3.12 the number is the dict's own version tag (compat::dict_version_tag: a
// watcher there would cost the step cycle about 5%). From 3.13 on a dict asked for its
// number is watched by one dict watcher (`PyDict_AddWatcher`,
// public since 3.12) that every velarix module shares; at each change to a watched
// dict (insert, replace, delete, clear, update) the watcher gives it a new number
// from one counter. A dict that shows the number it showed earlier has not changed
// since, and still holds every value read from it then. The numbers live in a table
// by the dict's address: a dict that loses its place there is unwatched and gets a
// new number when next asked, and a freed dict's entry goes at once, so a dict made
// later at the same address never shows an old number.
//
// This stands in for the version tags, deprecated by PEP 699. Should no watcher be
// had (an interpreter allows eight), every number is 0 and nothing is remembered;
// so it is for a dict whose changes may bypass its watchers
// (compat::dict_tells_watchers: from 3.13 on, an instance's split dict). One limit:
// the watcher is told of a change just before it is made, so code run by another
// watcher of the same dict in that moment must not read the dict through these
// numbers (velarix's own code never runs there).
#pragma once

#include <cstdint>

#include "compat.hpp"
#include "host.hpp"

namespace vx {
#if PY_VERSION_HEX >= 0x030D0000
namespace dict_changes {

struct Entry {
    PyObject *dict = nullptr;  // watched by `watcher` while here; only compared
    uint64_t number = 0;
};

inline constexpr size_t table_bits = 10;

// Made once per interpreter by the first module that asks, and found by the others
// in the interpreter's dict, so that all of them share the watcher and the numbers.
// Never freed: the watcher may be told of dicts freed late in finalisation.
struct Shared {
    int watcher = -1;
    uint64_t last = 0;  // the last number given
    Entry table[size_t(1) << table_bits];
};

inline Shared *shared_state = nullptr;  // this module's pointer to the shared one

inline Entry &entry_of(Shared &shared, PyObject *dict) {
    return shared.table[((uintptr_t)dict >> 4) * 0x9E3779B97F4A7C15ull >> (64 - table_bits)];
}

// Runs for every change of a watched dict, with the interpreter lock held: no
// Python code, no error.
inline int on_change(PyDict_WatchEvent event, PyObject *dict, PyObject *, PyObject *) {
    if (Shared *shared = shared_state) {
        Entry &entry = entry_of(*shared, dict);
        if (entry.dict == dict) {
            if (event == PyDict_EVENT_DEALLOCATED)
                entry = Entry{};
            else
                entry.number = ++shared->last;
        }
    }
    return 0;
}

inline const char *const capsule_name = "velarix.dict_changes";

[[gnu::noinline]] inline Shared *attach() {
    PyObject *raised = PyErr_GetRaisedException();  // whatever is pending stays
    Shared *shared = nullptr;
    if (PyObject *interpreter_dict = PyInterpreterState_GetDict(PyInterpreterState_Get())) {
        // no Python code: exact str key
        PyObject *capsule = PyDict_GetItemString(interpreter_dict, capsule_name);
        if (capsule && PyCapsule_IsValid(capsule, capsule_name))
            shared = static_cast<Shared *>(PyCapsule_GetPointer(capsule, capsule_name));
        if (!shared) {
            shared = new Shared{};
            shared->watcher = PyDict_AddWatcher(on_change);
            capsule = PyCapsule_New(shared, capsule_name, nullptr);
            if (capsule)
                PyDict_SetItemString(interpreter_dict, capsule_name, capsule);  // no Python code: exact str key
            Py_XDECREF(capsule);
        }
    }
    PyErr_Clear();
    PyErr_SetRaisedException(raised);
    shared_state = shared;
    return shared;
}

inline Shared *shared() { return shared_state ? shared_state : attach(); }

[[gnu::noinline]] inline uint64_t watch(Shared &shared, Entry &entry, PyObject *dict) {
    if (!PyDict_Check(dict) || !compat::dict_tells_watchers(dict))
        return 0;
    PyObject *raised = PyErr_GetRaisedException();
    if (entry.dict)
        PyDict_Unwatch(shared.watcher, entry.dict);
    entry = Entry{};
    if (PyDict_Watch(shared.watcher, dict) == 0)
        entry = Entry{dict, ++shared.last};
    PyErr_Clear();
    PyErr_SetRaisedException(raised);
    return entry.number;
}

} // namespace dict_changes
#endif

#if PY_VERSION_HEX < 0x030D0000
// 3.12: the dict's own version tag (compat::dict_version_tag).
inline uint64_t dict_version(PyObject *dict) { return compat::dict_version_tag(dict); }

// Runs `change`, one change the caller makes to `dict`, whose number was `before`.
// Gives the dict's number afterwards when nothing else can have changed the dict
// meanwhile (no watcher of the dict ran code), else 0.
template <typename Change>
uint64_t version_after_own_change(PyObject *dict, uint64_t before, Change &&change) {
    const bool watched = compat::dict_watched(dict);
    change();
    return before && !watched ? compat::dict_version_tag(dict) : 0;
}
#else
// 3.13 on: the dict's number from the shared watcher, watching it from now on; 0 when
// there is none.
inline uint64_t dict_version(PyObject *dict) {
    dict_changes::Shared *shared = dict_changes::shared();
    if (!shared || shared->watcher < 0)
        return 0;
    dict_changes::Entry &entry = dict_changes::entry_of(*shared, dict);
    if (entry.dict == dict)
        return entry.number;
    return dict_changes::watch(*shared, entry, dict);
}

// As above: the number after the caller's own change when the watcher was told
// of that change alone (another watcher's code may have run), else 0.
template <typename Change>
uint64_t version_after_own_change(PyObject *dict, uint64_t before, Change &&change) {
    dict_changes::Shared *shared = dict_changes::shared();
    const uint64_t last = shared ? shared->last : 0;
    change();
    if (!before || !shared)
        return 0;
    dict_changes::Entry &entry = dict_changes::entry_of(*shared, dict);
    if (entry.dict != dict)
        return 0;
    // Unchanged (the value written was already there), or changed once, by us.
    return entry.number == before || entry.number == last + 1 ? entry.number : 0;
}
#endif

// One value read from a dict under a key, remembered with the dict's number. The
// value is borrowed: the dict holds it for as long as the number stays the same.
class SeenValue {
public:
    // The remembered value while `dict` is the dict it came from, unchanged; else null.
    PyObject *get(PyObject *dict) const {
        if (dict != dict_ || !version_ || dict_version(dict) != version_)
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

// What many dicts hold under one key, each remembered with its dict's number: a
// SeenValue per slot of a small table by the dict's address, for a name read on every
// push from whichever port or node is at hand. An entry another dict takes over
// simply starts afresh. Absence is remembered too (found() says which).
template <size_t Bits = 7>
class SeenValues {
public:
    // True with the remembered value (null: the dict holds no such key) while `dict`
    // is the dict it came from, unchanged.
    bool found(PyObject *dict, PyObject *&value) const {
        PyObject *seen = slot(dict).get(dict);
        if (!seen)
            return false;
        value = seen == absent() ? nullptr : seen;
        return true;
    }

    // `value` borrowed from `dict`, or null for a key it does not hold.
    void remember(PyObject *dict, PyObject *value) { slot(dict).remember(dict, value ? value : absent()); }

private:
    static PyObject *absent() {
        static char marker;
        return (PyObject *)&marker;
    }
    SeenValue &slot(PyObject *dict) const {
        return table_[((uintptr_t)dict >> 4) * 0x9E3779B97F4A7C15ull >> (64 - Bits)];
    }
    mutable SeenValue table_[size_t(1) << Bits];
};

// dict[key] (an empty object when missing), answered from `seen` while the dict is
// unchanged since it was last read there. A lookup that ran code which changed the
// dict is not remembered.
template <size_t Bits>
inline nb::object seen_entry(SeenValues<Bits> &seen, PyObject *dict, nb::handle key) {
    PyObject *value = nullptr;
    if (seen.found(dict, value))
        return nb::borrow(value);
    nb::object held = nb::borrow(dict);
    const uint64_t before = dict_version(dict);
    nb::object found = lookup(held, key);
    if (before && PyDict_CheckExact(dict) && dict_version(dict) == before)
        seen.remember(dict, found.ptr());
    return found;
}

// compat::type_lookup(type, name) for one name, remembered for the latest class while
// its version tag holds: CPython renews the tag on every change to the class or to
// one of its bases and never gives a tag twice, so the entry remembered (borrowed:
// the class holds it while unchanged) is what the lookup would find.
class TypeEntry {
public:
    PyObject *get(PyTypeObject *type, nb::handle name) {
        if (type == type_ && version_ && compat::type_version(type) == version_)
            return found_;
        PyObject *found = compat::type_lookup(type, name.ptr());
        // The lookup has given the class a tag if it can have one.
        version_ = 0;
        if (const unsigned int version = compat::type_version(type)) {
            type_ = type;
            found_ = found;
            version_ = version;
        }
        return found;
    }

private:
    PyTypeObject *type_ = nullptr;  // only compared
    PyObject *found_ = nullptr;
    unsigned int version_ = 0;
};

// One attribute read on every push from whichever object is at hand: the class's
// entry, and what the instance dicts hold.
template <size_t Bits = 7>
struct SeenAttribute {
    TypeEntry in_class;
    SeenValues<Bits> in_dicts;
};

// own_attr (host.hpp) with the class's and the instance dict's answers remembered.
template <size_t Bits>
inline nb::object own_attr(nb::handle obj, nb::handle name, SeenAttribute<Bits> &seen) {
    PyTypeObject *type = Py_TYPE(obj.ptr());
    if (type->tp_getattro == PyObject_GenericGetAttr && !seen.in_class.get(type, name)) {
        PyObject **slot = compat::dict_ptr(obj.ptr());
        if (slot && *slot && PyDict_CheckExact(*slot)) {
            nb::object found = seen_entry(seen.in_dicts, *slot, name);
            if (found.is_valid())
                return found;
        }
    }
    return vx::getattr(obj, name);
}

} // namespace vx
