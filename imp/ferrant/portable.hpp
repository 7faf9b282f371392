// PortableImp: process-wide identity, configuration and serialisation.
#pragma once

#include "common/kept.hpp"
#include "common/method.hpp"

namespace ferrant {

// The class object, set once by the module; the registries live on it.
inline vx::Kept portable_class;

vx::MethodBody init, get_by_id, reset, add_preinstalled_module, serialize, deserialize;

// PortableImp.<name>, always read through the class itself so that a subclass can
// never shadow the registries.
inline nb::object class_table(nb::handle name) { return vx::getattr(portable_class, name); }

} // namespace ferrant
