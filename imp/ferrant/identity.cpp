// Ids and the registry: construction, lookup and reset.
#include "common/runtime.hpp"
#include "portable.hpp"

namespace ferrant {
namespace {

vx::LazyModule random_module{"random"};

// A generated id: a uniform 64-bit draw from the host's random module (so
// random.seed makes ids reproducible), as 16 upper-case hex digits padded with
// blanks on the left.
nb::object draw_id() {
    static vx::Kept zero_kept, upper_kept, spec_kept;
    nb::handle zero = zero_kept.get_or_make([] { return vx::steal_or_throw(PyLong_FromLong(0)); });
    nb::handle upper = upper_kept.get_or_make(
        [] { return vx::steal_or_throw(PyLong_FromUnsignedLongLong(18446744073709551615ULL)); });
    nb::handle spec = spec_kept.get_or_make([] { return vx::steal_or_throw(PyUnicode_InternFromString("16X")); });
    nb::object value = vx::call(random_module.attr("randint"), zero, upper);
    return vx::format(value, spec);
}

nb::object generate_unique_id() {
    nb::object ids = class_table(names::ids_);
    for (;;) {
        nb::object id = draw_id();
        if (!vx::contains(ids, id)) {
            vx::call_method(ids, names::add, id);
            return id;
        }
    }
}

} // namespace

nb::object init(const vx::Call &call) {
    static constexpr vx::Params<1> params{"__init__", {"config"}};
    auto [config] = call.bind(params);

    nb::object id_key = vx::getattr(vx::getattr(config, names::Keys), names::ID);
    nb::object id = vx::get_item(config, id_key);

    nb::object marker = vx::tunable(names::ID_TO_BE_GENERATED);
    if (id.is(marker))
        id = generate_unique_id();

    nb::object id_map = class_table(names::id_map_);
    nb::object registered = vx::lookup(id_map, id);
    if (registered.is_valid() && vx::compare(registered, call.self, Py_NE))
        vx::raise(PyExc_ValueError, "ID '%S' conflict with another object.", id.ptr());

    vx::set_item(id_map, id, call.self);
    vx::store_in_base_dict(config, id_key, id);
    vx::setattr(call.self, names::config, config);
    return nb::none();
}

nb::object get_by_id(const vx::Call &call) {
    static constexpr vx::Params<1> params{"get_by_id", {"id"}};
    auto [id] = call.bind(params);
    vx::require_str(id, "id");
    nb::object found = vx::lookup(class_table(names::id_map_), id);
    return found.is_valid() ? found : nb::none();
}

nb::object reset(const vx::Call &call) {
    call.bind_none("reset");
    vx::call_method(class_table(names::id_map_), names::clear);
    vx::call_method(class_table(names::ids_), names::clear);
    return nb::none();
}

nb::object add_preinstalled_module(const vx::Call &call) {
    static constexpr vx::Params<1> params{"add_preinstalled_module", {"module"}};
    auto [module] = call.bind(params);
    vx::require_str(module, "module");
    vx::call_method(class_table(names::preinstalled_modules_), names::add, module);
    return nb::none();
}

} // namespace ferrant
