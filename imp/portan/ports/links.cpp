// What input and output ports share: the portable base and the list of links.
//
// A link list is never changed in place: a change builds a new list and stores it
// with one attribute store, and no Python code runs between reading the old list and
// storing the new one, so a push walks a consistent snapshot and two changes at once
// cannot lose one.
#include "common/runtime.hpp"
#include "portan/ports/ports.hpp"

namespace portan {

// PortableImp.__init__(self, config): the id and the registry; then the timing.
void init_port_base(nb::handle self, nb::handle config) {
    nb::object base = vx::module_attr(vx::modules::imp, names::PortableImp);
    vx::call(vx::getattr(base, names::dunder_init), self, config);
    nb::object keys = vx::getattr(config, names::Keys);
    vx::setattr(self, names::timing_, vx::get_item(config, vx::getattr(keys, names::TIMING)));
    vx::setattr(self, names::connected_ports_, vx::steal_or_throw(PyList_New(0)));
}

namespace {

bool holds_identical(nb::handle list, nb::handle item) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i)
        if (PyList_GET_ITEM(list.ptr(), i) == item.ptr())
            return true;
    return false;
}

// self._connected_ports as an exact list (a list put there by hand is copied first).
nb::object links_of(nb::handle self) { return vx::list_copy(vx::getattr(self, names::connected_ports_)); }

} // namespace

void link(nb::handle self, nb::handle other, nb::handle other_class, const char *own_kind,
          const char *other_kind) {
    if (!vx::is_instance(other, other_class)) {
        nb::object type_name = vx::steal_or_throw(PyType_GetName(Py_TYPE(other.ptr())));
        vx::raise(PyExc_TypeError, "An %s port connects only to an %s port, not to %U.", own_kind, other_kind,
                  type_name.ptr());
    }
    nb::object links = links_of(self);
    if (holds_identical(links, other))
        return;
    vx::check_status(PyList_Append(links.ptr(), other.ptr()));
    vx::setattr(self, names::connected_ports_, links);
}

void unlink(nb::handle self, nb::handle other) {
    nb::object links = links_of(self);
    nb::object kept = vx::steal_or_throw(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(links.ptr()); ++i) {
        PyObject *item = PyList_GET_ITEM(links.ptr(), i);
        if (item != other.ptr())
            vx::check_status(PyList_Append(kept.ptr(), item));
    }
    vx::setattr(self, names::connected_ports_, kept);
}

} // namespace portan
