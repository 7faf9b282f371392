// A deep copy with the result of copy.deepcopy. Exact dict, list and tuple and the
// values copy.deepcopy returns unchanged are handled here; every other object goes to
// copy.deepcopy(obj, memo) with the same memo, so shared references, cycles and the
// memo itself (memo[id(x)] = copy, the keep-alive list at memo[id(memo)]) come out
// exactly as copy.deepcopy makes them.
//
// While everything seen is native, the memo is a small C++ table; the Python memo
// dict is built from it, in the same insertion order, only when the first foreign
// object needs it, and is used for every lookup after that.
//
// Foreign __deepcopy__ code may mutate the containers being copied: items are held
// by strong references while they are copied, lists are walked by index as Python
// walks them, and a dict that changes size raises RuntimeError as iteration would.
#pragma once

#include <unordered_map>
#include <utility>
#include <vector>

#include "array_copy.hpp"
#include "common/host.hpp"
#include "common/names.hpp"

namespace vx {

namespace deepcopy_detail {

inline Kept known_ndarray;
inline Kept absent_marker;  // memo.get(key, marker): a private object no memo holds

// numpy.ndarray once numpy has been imported (never imported from here), else null.
inline PyTypeObject *ndarray_type() {
    if (known_ndarray.is_set())
        return (PyTypeObject *)known_ndarray.ptr();
    nb::object numpy = nb::steal(PyImport_GetModule(names::numpy.ptr()));
    if (!numpy.is_valid()) {
        PyErr_Clear();
        return nullptr;
    }
    nb::object found = nb::steal(exit_safe([&] { return PyObject_GetAttr(numpy.ptr(), names::ndarray.ptr()); }));
    if (!found.is_valid() || !PyType_Check(found.ptr())) {
        PyErr_Clear();
        return nullptr;
    }
    return (PyTypeObject *)known_ndarray.set_once(std::move(found)).ptr();
}

// Buffers whose copy needs no memo: an exact bytearray, and an exact numpy array
// whose items are not objects (its __deepcopy__ then ignores the memo it is given).
inline bool is_plain_buffer(PyObject *x) {
    if (PyByteArray_CheckExact(x))
        return true;
    PyTypeObject *ndarray = ndarray_type();
    if (!ndarray || Py_TYPE(x) != ndarray)
        return false;
    nb::object dtype = steal_call([&] { return PyObject_GetAttr(x, names::dtype.ptr()); });
    nb::object has_objects = steal_call([&] { return PyObject_GetAttr(dtype.ptr(), names::hasobject.ptr()); });
    return has_objects.is(Py_False);
}

inline bool is_native_container(PyObject *x) {
    PyTypeObject *type = Py_TYPE(x);
    return type == &PyDict_Type || type == &PyList_Type || type == &PyTuple_Type;
}

// The types copy._deepcopy_dispatch maps to _deepcopy_atomic, plus every instance
// of type or of a type subclass (copy.deepcopy's issubclass(cls, type) test).
inline bool is_atomic(PyObject *x) {
    PyTypeObject *type = Py_TYPE(x);
    // Asked of every value copied: the usual values of port data are answered
    // first, and the native containers turned away before the rarer types.
    if (type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type ||
        x == Py_None || type == &PyBool_Type)
        return true;
    if (is_native_container(x))
        return false;
    return type == &PyBytes_Type || type == &PyComplex_Type || type == &PyFunction_Type ||
           type == &PyCFunction_Type || type == &PyCode_Type || type == &PyRange_Type ||
           type == &PyProperty_Type || PyWeakref_CheckRefExact(x) || x == Py_Ellipsis ||
           x == Py_NotImplemented || PyType_Check(x);
}

// Keys whose hash and equality are the interpreter's own: re-inserting them runs
// no other code, so a shallow copy inserts nothing differently.
inline bool is_plain_key(PyObject *key) {
    PyTypeObject *type = Py_TYPE(key);
    return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type ||
           key == Py_None || type == &PyBool_Type || type == &PyBytes_Type;
}

// A sequence of plain values whose first N elements live inside the object, so
// copying typical port data needs no allocation for the bookkeeping.
template <typename T, size_t N>
class InlineVector {
public:
    size_t size() const { return size_; }
    T &operator[](size_t i) { return i < N ? inline_[i] : overflow_[i - N]; }
    void push_back(T value) {
        if (size_ < N)
            inline_[size_] = value;
        else
            overflow_.push_back(value);
        ++size_;
    }

private:
    T inline_[N];
    std::vector<T> overflow_;
    size_t size_ = 0;
};

// Releases the interpreter's recursion budget on every way out.
class RecursionGuard {
public:
    RecursionGuard() {
        if (Py_EnterRecursiveCall(" while deep-copying"))
            throw_error_already_set();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
};

} // namespace deepcopy_detail

class DeepCopier {
public:
    // No memo: start with the C++ table. A memo object: use it from the start, as
    // copy.deepcopy(x, memo) would.
    DeepCopier() = default;
    explicit DeepCopier(nb::handle memo) : memo_(nb::borrow(memo)) {}
    DeepCopier(const DeepCopier &) = delete;
    DeepCopier &operator=(const DeepCopier &) = delete;

    ~DeepCopier() {
        for (size_t i = 0; i < entries_.size(); ++i) {
            Py_DECREF(entries_[i].original);
            Py_DECREF(entries_[i].copy);
        }
    }

    nb::object copy(nb::handle x) { return copy_object(x.ptr()); }

    // The copy of a dict with plain keys whose values are atomic or containers of
    // atomic values, each container reached once (port data as most steps take it),
    // made without a memo: no other code runs and nothing is met twice, so the memo
    // would only ever be written. The same dict as copy() makes, the entries
    // inserted in the same order; an empty object for any other value.
    static nb::object copy_flat_dict(nb::handle x) {
        PyObject *dict = x.ptr();
        if (!PyDict_CheckExact(dict) || PyDict_GET_SIZE(dict) > flat_limit)
            return nb::object();
        PyObject *containers[flat_limit];
        size_t count = 0;
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict, &position, &key, &value)) {
            if (!deepcopy_detail::is_plain_key(key))
                return nb::object();
            if (deepcopy_detail::is_atomic(value))
                continue;
            if (!is_flat_container(value))
                return nb::object();
            for (size_t i = 0; i < count; ++i)
                if (containers[i] == value)
                    return nb::object();
            containers[count++] = value;
        }
        if (count == 0)
            return steal_or_throw(PyDict_Copy(dict));  // as copy_leaf copies it
        // copy() would enter one level for the dict itself.
        deepcopy_detail::RecursionGuard guard;
        nb::object y = steal_or_throw(PyDict_New());
        const Py_ssize_t used = PyDict_GET_SIZE(dict);
        position = 0;
        for (;;) {
            // copy_dict's checks, should anything touch the dict meanwhile.
            if (PyDict_GET_SIZE(dict) != used)
                raise(PyExc_RuntimeError, "dictionary changed size during iteration");
            if (!PyDict_Next(dict, &position, &key, &value))
                break;
            nb::object held_key = nb::borrow(key), value_copy = nb::borrow(value);
            if (PyList_CheckExact(value))
                value_copy = steal_or_throw(PyList_GetSlice(value, 0, PyList_GET_SIZE(value)));
            else if (PyDict_CheckExact(value))
                value_copy = steal_or_throw(PyDict_Copy(value));
            check_status(PyDict_SetItem(y.ptr(), held_key.ptr(), value_copy.ptr()));  // no Python code: plain key
        }
        return y;
    }

private:
    static constexpr Py_ssize_t flat_limit = 8;

    // What copy_leaf copies (or, for a tuple, gives back as it is).
    static bool is_flat_container(PyObject *x) {
        if (PyList_CheckExact(x) || PyTuple_CheckExact(x))
            return all_atomic_items(x);
        return PyDict_CheckExact(x) && all_atomic_entries(x);
    }

    // One memo entry of the native table; both references are owned.
    struct Entry {
        PyObject *original;
        PyObject *copy;
    };

    nb::object copy_object(PyObject *x) {
        if (!memo_.is_valid()) {
            // Native table: it only ever holds containers this copier made, so an
            // atomic value cannot be in it.
            if (deepcopy_detail::is_atomic(x))
                return nb::borrow(x);
            if (deepcopy_detail::is_native_container(x)) {
                if (PyObject *found = native_find(x))
                    return nb::borrow(found);
                return copy_container(x);
            }
            if (deepcopy_detail::is_plain_buffer(x)) {
                if (PyObject *found = native_find(x))
                    return nb::borrow(found);
                return copy_buffer(x);
            }
            materialise();
            return foreign(x);
        }
        if (deepcopy_detail::is_atomic(x) || deepcopy_detail::is_native_container(x)) {
            nb::object found = memo_get(x);
            if (found.is_valid())
                return found;
            if (deepcopy_detail::is_atomic(x))
                return nb::borrow(x);
            return copy_container(x);
        }
        if (deepcopy_detail::is_plain_buffer(x)) {
            nb::object found = memo_get(x);
            return found.is_valid() ? found : copy_buffer(x);
        }
        // copy.deepcopy does its own memo lookup.
        return foreign(x);
    }

    // What copy.deepcopy makes of a plain buffer, without its Python frame: a
    // bytearray's reconstruction is a bytearray of the same bytes; an array's
    // __deepcopy__ is called as copy.deepcopy calls it. Then the same epilogue.
    nb::object copy_buffer(PyObject *x) {
        nb::object y;
        if (PyByteArray_CheckExact(x)) {
            y = steal_or_throw(PyByteArray_FromStringAndSize(PyByteArray_AS_STRING(x), PyByteArray_GET_SIZE(x)));
        } else {
            // Natively, into pooled memory, where numpy's API allows it.
            y = array_copy::copy(x, deepcopy_detail::ndarray_type());
            if (!y.is_valid()) {
                nb::object memo = memo_.is_valid() ? memo_ : steal_or_throw(PyDict_New());
                y = vx::call_method(nb::handle(x), names::dunder_deepcopy, memo);
            }
        }
        if (!y.is(x))
            finish(x, y.ptr());
        return y;
    }

    nb::object copy_container(PyObject *x) {
        if (!memo_.is_valid())
            if (nb::object y = copy_leaf(x))
                return y;
        deepcopy_detail::RecursionGuard guard;
        PyTypeObject *type = Py_TYPE(x);
        if (type == &PyList_Type)
            return copy_list(x);
        if (type == &PyDict_Type)
            return copy_dict(x);
        return copy_tuple(x);
    }

    // A container of atomic values only, copied while the native table is the memo:
    // no Python memo could answer for an item and no other code runs meanwhile, so
    // the element-wise copy is the shallow copy (a tuple copies to itself, unrecorded,
    // as copy.deepcopy returns it). Nothing recurses, so no recursion guard. The
    // table gets one entry where copy.deepcopy stores the same pair twice. An empty
    // object for any other container.
    nb::object copy_leaf(PyObject *x) {
        PyObject *y;
        if (PyList_CheckExact(x) && all_atomic_items(x))
            y = PyList_GetSlice(x, 0, PyList_GET_SIZE(x));
        else if (PyDict_CheckExact(x) && all_atomic_entries(x))
            y = PyDict_Copy(x);
        else if (PyTuple_CheckExact(x) && all_atomic_items(x))
            return nb::borrow(x);
        else
            return nb::object();
        nb::object copy = steal_or_throw(y);
        finish(x, copy.ptr());
        return copy;
    }

    // For an exact list or tuple.
    static bool all_atomic_items(PyObject *sequence) {
        PyObject **items = PySequence_Fast_ITEMS(sequence);
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence); ++i)
            if (!deepcopy_detail::is_atomic(items[i]))
                return false;
        return true;
    }

    static bool all_atomic_entries(PyObject *dict) {
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict, &position, &key, &value))
            if (!deepcopy_detail::is_plain_key(key) || !deepcopy_detail::is_atomic(value))
                return false;
        return true;
    }

    nb::object copy_list(PyObject *x) {
        nb::object y = steal_or_throw(PyList_New(0));
        store(x, y.ptr());
        // By index with the size read each turn, as list iteration does, so a list
        // that foreign code grows or shrinks is walked as Python would walk it.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(x); ++i) {
            nb::object item = nb::borrow(PyList_GET_ITEM(x, i));
            nb::object item_copy = copy_object(item.ptr());
            check_status(PyList_Append(y.ptr(), item_copy.ptr()));
        }
        finish(x, y.ptr());
        return y;
    }

    nb::object copy_dict(PyObject *x) {
        nb::object y = steal_or_throw(PyDict_New());
        store(x, y.ptr());
        const Py_ssize_t used = PyDict_GET_SIZE(x);
        Py_ssize_t remaining = used, position = 0;
        PyObject *key, *value;
        for (;;) {
            // The checks of dict.items() iteration, made before every step.
            if (PyDict_GET_SIZE(x) != used)
                raise(PyExc_RuntimeError, "dictionary changed size during iteration");
            if (!PyDict_Next(x, &position, &key, &value))
                break;
            if (remaining-- == 0)
                raise(PyExc_RuntimeError, "dictionary keys changed during iteration");
            nb::object held_key = nb::borrow(key), held_value = nb::borrow(value);
            // y[deepcopy(key)] = deepcopy(value) evaluates the value first.
            nb::object value_copy = copy_object(held_value.ptr());
            nb::object key_copy = copy_object(held_key.ptr());
            // The copied key's own __hash__ and __eq__ may run.
            check_call([&] { return PyDict_SetItem(y.ptr(), key_copy.ptr(), value_copy.ptr()); });
        }
        finish(x, y.ptr());
        return y;
    }

    nb::object copy_tuple(PyObject *x) {
        const Py_ssize_t size = PyTuple_GET_SIZE(x);
        // The new tuple is made only once an element copies to something else; it
        // stays private (and tolerates empty slots) until it is complete.
        nb::object y;
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyObject *item = PyTuple_GET_ITEM(x, i);
            nb::object item_copy = copy_object(item);
            if (!y.is_valid() && !item_copy.is(item)) {
                y = steal_or_throw(PyTuple_New(size));
                for (Py_ssize_t j = 0; j < i; ++j)
                    PyTuple_SET_ITEM(y.ptr(), j, Py_NewRef(PyTuple_GET_ITEM(x, j)));
            }
            if (y.is_valid())
                PyTuple_SET_ITEM(y.ptr(), i, item_copy.release().ptr());
        }
        // A cycle through a mutable element may have copied this tuple already.
        nb::object found = memo_.is_valid() ? memo_subscript(x) : nb::borrow(native_find(x));
        if (found.is_valid()) {
            if (!found.is(x))
                finish(x, found.ptr());
            return found;
        }
        if (!y.is_valid())
            return nb::borrow(x);
        finish(x, y.ptr());
        return y;
    }

    nb::object foreign(PyObject *x) {
        if (!deepcopy_.is_valid())
            deepcopy_ = modules::copy.attr(names::deepcopy);
        return vx::call(deepcopy_, x, memo_);
    }

    // copy.deepcopy's epilogue for a copy that is not the original itself:
    // memo[id(x)] = y, then x joins the keep-alive list.
    void finish(PyObject *x, PyObject *y) {
        if (memo_.is_valid()) {
            store(x, y);
            keep_alive(x);
            return;
        }
        size_t position = native_store(x, y);
        if (keep_position_ == no_position)
            keep_position_ = entries_.size();
        kept_.push_back(position);
    }

    // --- the native table -----------------------------------------------------

    // A linear scan beats hashing for the few containers of typical port data.
    static constexpr size_t index_threshold = 16;

    // Position of x in entries_, or entries_.size() when absent.
    size_t native_position(PyObject *x) {
        if (entries_.size() <= index_threshold) {
            size_t i = 0;
            while (i < entries_.size() && entries_[i].original != x)
                ++i;
            return i;
        }
        auto found = index_.find(x);
        return found == index_.end() ? entries_.size() : found->second;
    }

    PyObject *native_find(PyObject *x) {
        size_t i = native_position(x);
        return i < entries_.size() ? entries_[i].copy : nullptr;
    }

    // memo[id(x)] = y; returns x's position in the table.
    size_t native_store(PyObject *x, PyObject *y) {
        size_t i = native_position(x);
        if (i < entries_.size()) {
            if (entries_[i].copy != y) {
                PyObject *old = entries_[i].copy;
                entries_[i].copy = Py_NewRef(y);
                Py_DECREF(old);
            }
            return i;
        }
        entries_.push_back(Entry{Py_NewRef(x), Py_NewRef(y)});
        if (entries_.size() == index_threshold + 1) {
            for (size_t j = 0; j < entries_.size(); ++j)
                index_.emplace(entries_[j].original, j);
        } else if (entries_.size() > index_threshold + 1) {
            index_.emplace(x, entries_.size() - 1);
        }
        return entries_.size() - 1;
    }

    // The Python memo as copy.deepcopy would have built it so far: the same keys in
    // the same order, the keep-alive list among them where it was first added. The
    // table itself is left as it is (and released with the copier).
    void materialise() {
        nb::object memo = steal_or_throw(PyDict_New());
        nb::object keep = steal_or_throw(PyList_New(0));
        for (size_t i = 0; i < kept_.size(); ++i)
            check_status(PyList_Append(keep.ptr(), entries_[kept_[i]].original));
        for (size_t i = 0; i <= entries_.size(); ++i) {
            if (keep_position_ == i) {
                nb::object key = steal_or_throw(PyLong_FromVoidPtr(memo.ptr()));
                check_status(PyDict_SetItem(memo.ptr(), key.ptr(), keep.ptr()));  // no Python code: new dict, int key
            }
            if (i == entries_.size())
                break;
            nb::object key = steal_or_throw(PyLong_FromVoidPtr(entries_[i].original));
            check_status(PyDict_SetItem(memo.ptr(), key.ptr(), entries_[i].copy));  // no Python code: new dict, int key
        }
        memo_ = std::move(memo);
    }

    // --- memo operations, native or Python --------------------------------------

    void store(PyObject *x, PyObject *y) {
        if (!memo_.is_valid()) {
            native_store(x, y);
            return;
        }
        nb::object key = steal_or_throw(PyLong_FromVoidPtr(x));
        if (PyDict_CheckExact(memo_.ptr()))
            check_call([&] { return PyDict_SetItem(memo_.ptr(), key.ptr(), y); });
        else
            vx::set_item(memo_, key, y);
    }

    // try: memo[id(memo)].append(x) except KeyError: memo[id(memo)] = [x]
    // (the native table keeps its list in finish()).
    void keep_alive(PyObject *x) {
        nb::object key = steal_or_throw(PyLong_FromVoidPtr(memo_.ptr()));
        if (append_kept(key, x))
            return;
        nb::object fresh = steal_or_throw(PyList_New(1));
        PyList_SET_ITEM(fresh.ptr(), 0, Py_NewRef(x));
        vx::set_item(memo_, key, fresh);
    }

    // memo[key].append(x); false where that raises KeyError.
    bool append_kept(nb::handle key, PyObject *x) {
        nb::object list = vx::lookup(memo_, key);
        if (!list.is_valid())
            return false;
        if (PyList_CheckExact(list.ptr())) {
            check_status(PyList_Append(list.ptr(), x));
            return true;
        }
        try {
            vx::call_method(list, names::append, x);
        } catch (nb::python_error &error) {
            if (!error.matches(PyExc_KeyError))
                throw;
            return false;
        }
        return true;
    }

    // memo.get(id(x), _nil): an empty object when absent.
    nb::object memo_get(PyObject *x) {
        nb::object key = steal_or_throw(PyLong_FromVoidPtr(x));
        if (PyDict_CheckExact(memo_.ptr())) {
            PyObject *found = PyDict_GetItemWithError(memo_.ptr(), key.ptr());  // no Python code: exact dict, int key
            if (!found && PyErr_Occurred())
                throw_error_already_set();
            return found ? nb::borrow(found) : nb::object();
        }
        // Any other mapping answers through its own get(), as copy.deepcopy asks it.
        nb::handle absent =
            deepcopy_detail::absent_marker.get_or_make([] { return steal_or_throw(PyList_New(0)); });
        nb::object found = vx::call_method(memo_, names::get, key, absent);
        return found.is(absent) ? nb::object() : found;
    }

    // memo[id(x)] with KeyError meaning absent: the tuple's re-check.
    nb::object memo_subscript(PyObject *x) {
        nb::object key = steal_or_throw(PyLong_FromVoidPtr(x));
        return vx::lookup(memo_, key);
    }

    static constexpr size_t no_position = (size_t)-1;

    nb::object memo_;      // the Python memo once there is one
    nb::object deepcopy_;  // copy.deepcopy, looked up once per copy
    deepcopy_detail::InlineVector<Entry, index_threshold> entries_;
    std::unordered_map<PyObject *, size_t> index_;  // over entries_, once they outgrow a scan
    deepcopy_detail::InlineVector<size_t, index_threshold> kept_;  // positions in entries_
    size_t keep_position_ = no_position;  // where memo[id(memo)] sits among the keys
};

// copy.deepcopy(x), and copy.deepcopy(x, memo) for a memo that is not None.
inline nb::object deepcopy(nb::handle x) {
    if (nb::object flat = DeepCopier::copy_flat_dict(x))
        return flat;
    return DeepCopier().copy(x);
}

inline nb::object deepcopy(nb::handle x, nb::handle memo) {
    if (!memo.is_valid() || memo.is_none())
        return deepcopy(x);
    return DeepCopier(memo).copy(x);
}

} // namespace vx
