// Attribute access on the step cycle's hot path. Both helpers give exactly what
// ordinary attribute access gives; they skip work only while CPython's type version
// tags (renewed on every change to a class or to one of its bases) prove that the
// skipped work would find the same thing.
#pragma once

#include "common/dict_version.hpp"
#include "node.hpp"
#include "portan/api/api.hpp"

namespace vertan {

// owner.<name> for a class whose metaclass is `type` (such as Constants.States):
// remembered while the class keeps its version, unless the class holds a
// descriptor under that name, whose __get__ must run each time. The latest class
// and value are kept for the life of the process.
class ClassAttribute {
public:
    nb::object get(nb::handle owner, nb::handle name) {
        if (owner.ptr() == owner_.ptr() && version_ &&
            vx::compat::type_version((PyTypeObject *)owner.ptr()) == version_)
            return nb::borrow(value_.get());
        nb::object value = vx::getattr(owner, name);
        // The lookup has given the class a version tag if it can have one.
        if (Py_TYPE(owner.ptr()) != &PyType_Type)
            return value;
        PyTypeObject *type = (PyTypeObject *)owner.ptr();
        PyObject *entry = vx::compat::type_lookup(type, name.ptr());
        if (entry && !Py_TYPE(entry)->tp_descr_get && vx::compat::type_version(type)) {
            // Releasing the old class may run code that comes back here: no tag is
            // 0, so nothing matches until both are in place.
            version_ = 0;
            owner_.replace(owner);
            value_.replace(value);
            version_ = vx::compat::type_version(type);
        }
        return value;
    }

private:
    vx::Kept owner_;
    vx::Kept value_;
    unsigned int version_ = 0;
};

// The node attributes the step cycle reads and writes.
enum class Hot : uint8_t {
    condition, state, counter, pre_step_handler, step_handler, post_step_handler,
    time_busy, time_start, load, step_stats,
};
inline constexpr size_t hot_count = 10;

inline nb::handle hot_name(Hot which) {
    static constexpr const vx::Kept *table[hot_count] = {
        &names::condition_, &names::state_, &names::counter_, &names::pre_step_handler_,
        &names::step_handler_, &names::post_step_handler_, &names::time_busy_,
        &names::time_start_, &names::load_, &names::step_stats_};
    return *table[(size_t)which];
}

// What the cycle last read or wrote in one node's __dict__, with the dict's change
// number at the time (dict_version.hpp): while the dict shows that number, each
// value here is what the dict holds. Kept in a small table by the dict's address;
// an entry another dict takes over, or a dict that changed, simply starts afresh.
struct SeenDict {
    PyObject *dict = nullptr;  // only compared
    uint64_t version = 0;
    bool keys_checked = false, plain_keys = false;
    bool no_own_push_data = false;  // the dict holds no "_push_data"
    bool no_own_cycle = false;      // the dict holds no "_cycle"
    bool no_time_blocked = false;   // the dict holds no "_time_blocked" (no push waited yet)
    PyObject *values[hot_count] = {};  // borrowed from the dict; null: not seen yet

    bool follows(PyObject *d) const { return d == dict && version && vx::dict_version(d) == version; }

    void restart(PyObject *d) {
        *this = SeenDict{};
        dict = d;
        version = vx::dict_version(d);
    }

    // Every key an exact str: looking a str key up then compares only strings, so
    // a write of one of the cycle's names runs no other code. Asked once per run of
    // unbroken changes, and only by a write.
    bool has_plain_keys() {
        if (!keys_checked) {
            Py_ssize_t position = 0;
            PyObject *key, *value;
            plain_keys = true;
            while (plain_keys && PyDict_Next(dict, &position, &key, &value))
                plain_keys = PyUnicode_CheckExact(key);
            keys_checked = true;
        }
        return plain_keys;
    }
};

// Two entries per hash bucket: one thread may step a whole chain of nodes in turn
// (the shared scheduler), and with one entry per bucket two of its nodes that hash
// alike would push each other out on every step, sending both down the slow path.
struct SeenPair {
    SeenDict way[2];
    uint8_t next = 0;  // the entry a new dict takes: the one not taken last
};

inline SeenPair seen_pairs[256];

inline SeenPair &seen_pair(PyObject *dict) {
    return seen_pairs[((uintptr_t)dict >> 4) * 0x9E3779B97F4A7C15ull >> 56];
}

// The entry that holds `dict`, else the one a new dict would take (which then
// does not follow `dict`).
inline SeenDict &seen_slot(PyObject *dict) {
    SeenPair &pair = seen_pair(dict);
    if (pair.way[0].dict == dict)
        return pair.way[0];
    if (pair.way[1].dict == dict)
        return pair.way[1];
    return pair.way[pair.next];
}

// The entry for `dict`, started afresh unless it follows the dict as it is now.
inline SeenDict &seen_for(PyObject *dict) {
    SeenPair &pair = seen_pair(dict);
    for (SeenDict &seen : pair.way) {
        if (seen.dict != dict)
            continue;
        if (!seen.follows(dict))
            seen.restart(dict);
        pair.next = (uint8_t)(&seen == &pair.way[0]);
        return seen;
    }
    SeenDict &taken = pair.way[pair.next];
    pair.next ^= 1;
    taken.restart(dict);
    return taken;
}

// The node's own attributes, read and written straight in its __dict__ while its
// class keeps the default attribute protocol and defines none of the names the
// cycle uses; the full protocol otherwise. Every access re-checks the class and
// its version and reads the __dict__ slot afresh, so handlers that change the
// class or replace the __dict__ are seen at once. While the __dict__ is unchanged
// since the cycle last read or wrote it, a value is taken from what was seen then.
class NodeAttributes {
public:
    explicit NodeAttributes(nb::handle self) : self_(self), type_(Py_TYPE(self.ptr())) {
        if (plain_class(type_)) {
            version_ = vx::compat::type_version(type_);
            slot_ = vx::compat::dict_ptr(self.ptr());  // makes the __dict__ if need be
        }
    }

    // The cycle asks for each of these several times per step: the answer from what
    // was seen is inline, everything else (and every error) is out of line.
    nb::object get(Hot which) const {
        if (PyObject *dict = current_dict(); dict && remembers(dict)) {
            SeenDict &seen = seen_slot(dict);
            if (seen.follows(dict))
                if (PyObject *known = seen.values[(size_t)which])
                    return nb::borrow(known);
        }
        return get_afresh(which);
    }

    void set(Hot which, nb::handle value) const {
        if (PyObject *dict = current_dict(); dict && remembers(dict)) {
            SeenDict &seen = seen_slot(dict);
            if (seen.follows(dict) && seen.keys_checked && seen.plain_keys)
                if (PyObject *previous = seen.values[(size_t)which]) {
                    nb::object old = nb::borrow(previous);
                    write(dict, seen, which, value);
                    return;
                }
        }
        set_afresh(which, value);
    }

    // self._push_data(data). While the class's attribute is a function or method
    // descriptor and the __dict__ holds no entry of that name (asked once per run of
    // an unchanged dict), the function is called with the node in front, which is
    // what the method lookup would bind and call; where it is the method the output
    // node module lent (api.hpp), its body is called without the method call.
    nb::object push_data(nb::handle data) const {
        PyObject *dict = current_dict();
        if (dict && remembers(dict)) {
            static vx::TypeEntry in_class;
            PyObject *function = in_class.get(type_, names::push_data_);
            if (function && PyType_HasFeature(Py_TYPE(function), Py_TPFLAGS_METHOD_DESCRIPTOR) &&
                !holds_own(dict, names::push_data_, &SeenDict::no_own_push_data)) {
                static vx::NativeMethod lent = nullptr;
                static PyObject *lent_for = nullptr;
                if (!lent)
                    lent = port_api::lent_method(vx::NativeEntry::push_data, &lent_for);
                if (lent && function == lent_for) {
                    port_api::check(lent(self_.ptr(), data.ptr()));
                    return nb::none();
                }
                nb::object held = nb::borrow(function);  // the call may change the class
                PyObject *arguments[] = {nullptr, self_.ptr(), data.ptr()};
                const size_t count = 2 | PY_VECTORCALL_ARGUMENTS_OFFSET;
                return vx::steal_call([&] { return PyObject_Vectorcall(held.ptr(), arguments + 1, count, nullptr); });
            }
        }
        return vx::call_method(self_, names::push_data_, data);
    }

    // Whether self.<name> is `method` itself, as the class holds it (NodeImp's
    // _cycle): the class keeps the default attribute protocol and finds that object,
    // and the __dict__ holds no entry of that name. False whenever that is not
    // proven, and the caller looks the method up as written.
    bool finds_own(nb::handle name, PyObject *method, bool SeenDict::*lacks, vx::TypeEntry &in_class) const {
        PyObject *dict = current_dict();
        return dict && remembers(dict) && method && in_class.get(type_, name) == method &&
               !holds_own(dict, name, lacks);
    }

    // The value the cycle last read or wrote, borrowed, while the __dict__ still
    // holds it unchanged; else null (ask get()).
    PyObject *known(Hot which) const {
        if (PyObject *dict = current_dict(); dict && remembers(dict)) {
            SeenDict &seen = seen_slot(dict);
            if (seen.follows(dict))
                return seen.values[(size_t)which];
        }
        return nullptr;
    }

    // A new value for `which` written into the object the __dict__ holds, where that
    // is an exact float (or a one-digit int) that only the __dict__ refers to: no
    // other code can tell it from a new object stored there, and the __dict__ (and
    // what was seen of it) stays as it is. False, with nothing changed, otherwise:
    // then set() it.
    bool set_float_in_place(Hot which, double value) const {
        PyObject *held = known(which);
        if (!held || !PyFloat_CheckExact(held) || Py_REFCNT(held) != 1)
            return false;
        ((PyFloatObject *)held)->ob_fval = value;
        return true;
    }

    bool set_int_in_place(Hot which, unsigned long long value) const {
        PyObject *held = known(which);
        return held && Py_REFCNT(held) == 1 && vx::compat::set_one_digit_int(held, value);
    }

    nb::handle node() const { return self_; }

    // The node's _time_blocked as a float (seconds its pushes have waited for room),
    // 0 when unset or not a float. Most nodes never wait: that the dict lacks the
    // name is remembered while the dict is unchanged. No Python code runs (an
    // interned key).
    double time_blocked() const {
        PyObject *dict = current_dict();
        if (!dict) {
            PyObject **slot = vx::compat::dict_ptr(self_.ptr());
            dict = slot && *slot && PyDict_Check(*slot) ? *slot : nullptr;
            return dict ? as_seconds(blocked_entry(dict)) : 0.0;
        }
        if (!remembers(dict))
            return as_seconds(blocked_entry(dict));
        SeenDict &seen = seen_for(dict);
        if (seen.no_time_blocked)
            return 0.0;
        PyObject *value = blocked_entry(dict);
        if (!value && seen.follows(dict))
            seen.no_time_blocked = true;
        return as_seconds(value);
    }

    // The value in the node's __dict__ itself, whatever its class: borrowed, or null
    // (with an exception set where the lookup failed).
    PyObject *in_own_dict(Hot which) const {
        if (PyObject *dict = current_dict())
            return in_dict(dict, which);
        PyObject **slot = vx::compat::dict_ptr(self_.ptr());
        if (!slot || !*slot)
            return nullptr;
        return PyDict_GetItemWithError(*slot, hot_name(which).ptr());  // no Python code: interned name
    }

private:
    PyObject *current_dict() const {
        if (!slot_ || Py_TYPE(self_.ptr()) != type_ || !version_ ||
            vx::compat::type_version(type_) != version_)
            return nullptr;
        PyObject *dict = *slot_;
        return dict && PyDict_Check(dict) ? dict : nullptr;
    }

    static bool remembers(PyObject *dict) { return PyDict_CheckExact(dict); }

    [[gnu::noinline]] nb::object get_afresh(Hot which) const {
        if (PyObject *dict = current_dict()) {
            if (PyObject *found = in_dict(dict, which))
                return nb::borrow(found);
            if (PyErr_Occurred())
                vx::throw_error_already_set();
        }
        return vx::getattr(self_, hot_name(which));  // the usual AttributeError when missing
    }

    // The write is followed only where nothing else changed the dict meanwhile: plain
    // keys, the old value held by the caller so that replacing it frees nothing, and
    // no change but this one seen by the watcher (another watcher's code may run).
    // Releasing the old value afterwards may run code; that changes the number, and
    // the next read starts afresh.
    static void write(PyObject *dict, SeenDict &seen, Hot which, nb::handle value) {
        const uint64_t after = vx::version_after_own_change(dict, seen.version, [&] {
            vx::check_status(PyDict_SetItem(dict, hot_name(which).ptr(), value.ptr()));  // no Python code: interned name
        });
        // The other code may even have given this entry to another dict.
        if (seen.dict != dict)
            return;
        seen.version = after;  // 0 matches no number: the next access starts afresh
        seen.values[(size_t)which] = value.ptr();
    }

    [[gnu::noinline]] void set_afresh(Hot which, nb::handle value) const {
        PyObject *dict = current_dict();
        if (!dict) {
            vx::setattr(self_, hot_name(which), value);
            return;
        }
        if (remembers(dict)) {
            SeenDict &seen = seen_for(dict);
            if (seen.has_plain_keys()) {
                PyObject *previous = in_dict(dict, which);
                if (!previous && PyErr_Occurred())
                    vx::throw_error_already_set();
                nb::object old = nb::borrow(previous);
                write(dict, seen, which, value);
                return;
            }
        }
        vx::check_status(PyDict_SetItem(dict, hot_name(which).ptr(), value.ptr()));  // no Python code: interned name
    }

    // dict["_time_blocked"], borrowed, or null. No Python code runs: an interned key.
    static PyObject *blocked_entry(PyObject *dict) {
        PyObject *value = PyDict_GetItemWithError(dict, names::time_blocked_.ptr());
        if (!value)
            PyErr_Clear();
        return value;
    }

    static double as_seconds(PyObject *value) {
        return value && PyFloat_CheckExact(value) ? PyFloat_AS_DOUBLE(value) : 0.0;
    }

    // True unless the dict is known to hold no entry `name` (remembered in `lacks`
    // while the dict is unchanged); a failed lookup counts as holding it, so that
    // the full lookup meets the failure again. No Python code runs: an interned key.
    static bool holds_own(PyObject *dict, nb::handle name, bool SeenDict::*lacks) {
        SeenDict &seen = seen_for(dict);
        if (seen.*lacks)
            return false;
        if (PyDict_GetItemWithError(dict, name.ptr()) || PyErr_Occurred()) {  // no Python code: interned name
            PyErr_Clear();
            return true;
        }
        if (seen.follows(dict))
            seen.*lacks = true;
        return false;
    }

    // dict[name] as a borrowed value, or null; from what was seen while it holds.
    static PyObject *in_dict(PyObject *dict, Hot which) {
        if (!remembers(dict))
            return PyDict_GetItemWithError(dict, hot_name(which).ptr());  // no Python code: interned name
        SeenDict &seen = seen_for(dict);
        if (PyObject *known = seen.values[(size_t)which])
            return known;
        PyObject *found = PyDict_GetItemWithError(dict, hot_name(which).ptr());  // no Python code: interned name
        // In a dict with keys that are not text, such a key's own __eq__ may have
        // run and changed the dict meanwhile.
        if (found && seen.follows(dict))
            seen.values[(size_t)which] = found;
        return found;
    }

    // Generic get/set and no class attribute of any name the cycle uses, proven
    // once per class version and remembered for a few classes.
    static bool plain_class(PyTypeObject *type) {
        if (type->tp_getattro != PyObject_GenericGetAttr ||
            type->tp_setattro != PyObject_GenericSetAttr || type->tp_dictoffset == 0)
            return false;
        const unsigned int version = vx::compat::type_version(type);
        if (version)
            for (const Known &known : known_)
                if (known.type == type && known.version == version)
                    return true;
        for (size_t i = 0; i < hot_count; ++i)
            if (vx::compat::type_lookup(type, hot_name((Hot)i).ptr()))
                return false;
        if (!vx::compat::type_version(type))
            return false;
        // No reference is kept: a type made later at the same address has a new
        // version tag, so a stale entry can only miss.
        known_[next_] = Known{type, vx::compat::type_version(type)};
        next_ = (next_ + 1) % known_size;
        return true;
    }

    struct Known {
        PyTypeObject *type;
        unsigned int version;
    };
    static constexpr size_t known_size = 8;
    static inline Known known_[known_size] = {};
    static inline size_t next_ = 0;

    nb::handle self_;
    PyTypeObject *type_;
    unsigned int version_ = 0;
    PyObject **slot_ = nullptr;  // where the object keeps its __dict__
};

} // namespace vertan
