// PortableImp: process-wide identity, configuration and serialisation.
#pragma once

#include "common/kept.hpp"
#include "common/method.hpp"

namespace ferrant {

// The class object, set once by the module; the registries live on it.
inline vx::Kept portable_class;

nb::object init(const vx::Call &call);
nb::object get_by_id(const vx::Call &call);
nb::object reset(const vx::Call &call);
nb::object add_preinstalled_module(const vx::Call &call);
nb::object serialize(const vx::Call &call);
nb::object deserialize(const vx::Call &call);

// PortableImp.<name>, always read through the class itself so that a subclass can
// never shadow the registries.
inline nb::object class_table(nb::handle name) { return vx::getattr(portable_class, name); }

} // namespace ferrant
