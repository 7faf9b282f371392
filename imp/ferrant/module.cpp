// velarix.imp.ferrant: builds PortableImp on the package's Implementation base.
#include "common/classes.hpp"
#include "common/host.hpp"
#include "common/method_table.hpp"
#include "common/names.hpp"
#include "portable.hpp"

namespace ferrant {
namespace {

auto methods = vx::method_table(
    VX_METHOD("__init__", init, "Register this object under its configured or a generated id."),
    VX_METHOD("serialize", serialize, "The serialised form of this object; `interface` names the class."));

auto static_methods = vx::method_table(
    VX_METHOD("get_by_id", get_by_id, "The object registered under `id`, or None."),
    VX_METHOD("reset", reset, "Forget every registered object and generated id."),
    VX_METHOD("deserialize", deserialize, "Re-create an object from its serialised form."),
    VX_METHOD("add_preinstalled_module", add_preinstalled_module,
              "Serialise classes of modules matching `module` without source."));

nb::object build_class(const char *module_name) {
    // The process-wide tables, always reached through the class itself.
    nb::dict ns;
    ns["_id_map"] = nb::dict();
    ns["_ids"] = vx::steal_or_throw(PySet_New(nullptr));
    ns["_preinstalled_modules"] = vx::steal_or_throw(PySet_New(nullptr));
    ns["SerializationKeys"] = vx::make_key_class(
        "SerializationKeys", "PortableImp", module_name,
        {{"CLASS", "class"}, {"MODULE", "module"}, {"SOURCE", "source"}, {"SETTINGS", "config"}});
    return vx::define_class_on(
        names::Implementation,
        {"PortableImp", module_name, "Identity, configuration and serialisation of framework objects.",
         {{"_id_map", "Dict[str, 'PortableImp']"},
          {"_preinstalled_modules", "Set[str]"},
          {"_ids", "Set[str]"},
          {"config", "'Portable.Configuration'"}},
         methods, static_methods},
        ns);
}

} // namespace
} // namespace ferrant

NB_MODULE(ferrant, m) {
    names::init();
    m.attr("PortableImp") = ferrant::portable_class.set(ferrant::build_class("velarix.imp.ferrant"));
}
