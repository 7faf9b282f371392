// _pickle5(value): the native pickler as the tests and the recorder's Python side see it.
#include "portan/record/pickler.hpp"
#include "portan/record/tap.hpp"

namespace portan {

nb::object native_pickle(const vx::Call &call) {
    static constexpr vx::Params<1> params{"_pickle5", {"value"}};
    auto [value] = call.bind(params);
    char scalar[scalar_room];
    if (const size_t size = dump_scalar(value, scalar))
        return vx::steal_or_throw(PyBytes_FromStringAndSize(scalar, (Py_ssize_t)size));
    std::string out;
    Pickler pickler;
    if (!pickler.dump(out, value))
        return nb::none();
    return bytes_of(out);
}

} // namespace portan
