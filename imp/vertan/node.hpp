// NodeImp: the node base (handlers, state, condition, logger, load bookkeeping)
// and its timed, error-guarded step cycle.
#pragma once

#include "common/host.hpp"
#include "common/method.hpp"
#include "common/names.hpp"

namespace vertan {

// Set once by the module and kept for its life.
inline nb::handle node_class;    // NodeImp, for super(NodeImp, self)
inline nb::handle module_name;   // "velarix.imp.vertan", the __module__ of the handlers
inline nb::handle default_data;  // the one empty dict _cycle() uses without argument
inline nb::handle zero, one, hundred;

// node.cpp
nb::object init(const vx::Call &call);
nb::object set_setup_handler(const vx::Call &call);
nb::object set_pre_step_handler(const vx::Call &call);
nb::object set_post_step_handler(const vx::Call &call);
nb::object set_step_handler(const vx::Call &call);
nb::object start(const vx::Call &call);
nb::object stop(const vx::Call &call);
nb::object get_name(const vx::Call &call);
nb::object set_logger(const vx::Call &call);
nb::object get_state(const vx::Call &call);
nb::object get_counter(const vx::Call &call);
nb::object get_load(const vx::Call &call);
nb::object get_data(const vx::Call &call);
nb::object get_metadata(const vx::Call &call);
nb::object push_data(const vx::Call &call);
nb::object push_metadata(const vx::Call &call);
nb::object do_nothing(const vx::Call &call);

// cycle.cpp
nb::object cycle(const vx::Call &call);
nb::object setup_wrapper(const vx::Call &call);
nb::object deepcopy(const vx::Call &call);

// --- helpers shared by the two files -------------------------------------------

// module.<name>, looked up at each use. The module's own namespace answers first,
// which is what attribute access finds for these names, without its overhead; a
// missing name takes the full lookup (module __getattr__, AttributeError).
inline nb::object module_attr(vx::LazyModule &module, nb::handle name) {
    PyObject *namespace_ = PyModule_GetDict(module.get().ptr());
    PyObject *found = PyDict_GetItemWithError(namespace_, name.ptr());
    if (found)
        return nb::borrow(found);
    if (PyErr_Occurred())
        vx::throw_error_already_set();
    return module.attr(name);
}

// velarix.constants.Constants, resolved at each use.
inline nb::object constants() { return module_attr(vx::modules::constants, names::Constants); }

// Constants.<group>.<name>
inline nb::object constant(nb::handle constants, nb::handle group, nb::handle name) {
    return vx::getattr(vx::getattr(constants, group), name);
}

// velarix.logger.LogType.<name>, resolved at each use.
inline nb::object log_type(nb::handle name) {
    return vx::getattr(module_attr(vx::modules::logger, names::LogType), name);
}

// `a == b` as Python evaluates it (no identity shortcut for objects that may
// define their own equality).
inline bool equals(nb::handle a, nb::handle b) {
    if (PyUnicode_CheckExact(a.ptr()) && PyUnicode_CheckExact(b.ptr()))
        return a.is(b) || PyUnicode_Compare(a.ptr(), b.ptr()) == 0;
    if (a.is(b) && PyLong_CheckExact(a.ptr()))
        return true;
    nb::object result = vx::steal_or_throw(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
    return vx::check_status(PyObject_IsTrue(result.ptr()));
}

// time.time(), through the module at each use so a patched clock is seen.
inline nb::object now() {
    nb::object clock = module_attr(vx::modules::time, names::time);
    return vx::steal_or_throw(PyObject_CallNoArgs(clock.ptr()));
}

// self.<name>(args...) with the instance's own method lookup.
template <typename... Args>
nb::object call_method(nb::handle self, nb::handle name, Args... args) {
    PyObject *vector[] = {self.ptr(), nb::handle(args).ptr()...};
    return vx::steal_or_throw(
        PyObject_VectorcallMethod(name.ptr(), vector, 1 + sizeof...(Args), nullptr));
}

// self._logger.write(log_type, message)
inline void write_log(nb::handle self, nb::handle type, nb::handle message) {
    nb::object logger = vx::getattr(self, names::logger);
    call_method(logger, names::write, type, message);
}

// self.get_name() as text, the way string formatting shows it.
inline nb::object name_text(nb::handle self) {
    return vx::to_text(call_method(self, names::get_name));
}

} // namespace vertan
