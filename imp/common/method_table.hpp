// Method tables that end themselves: CPython and the class builders walk a
// PyMethodDef table up to a zeroed entry, and a table written without one is read
// past its end. method_table(rows...) holds the rows and then that entry.
//
//     auto methods = vx::method_table(
//         VX_METHOD("start", start, "..."),
//         VX_METHOD("stop", stop, "..."));
//
// A table must outlive what is made from it: define it at namespace scope.
#pragma once

#include <cstddef>

#include "method.hpp"

namespace vx {

template <size_t N>
struct MethodTable {
    PyMethodDef rows[N + 1];

    operator PyMethodDef *() { return rows; }
};

template <typename... Rows>
MethodTable<sizeof...(Rows)> method_table(Rows... rows) {
    return {{rows..., PyMethodDef{nullptr, nullptr, 0, nullptr}}};
}

} // namespace vx
