// What the recorder's two encoders share: a value appended to a buffer whole, or
// not at all.
#pragma once

#include <string>

namespace portan {

// `save()` appends to `out` from `begin` on; when it refuses (false) or throws,
// `out` is cut back to `begin`.
template <typename Save>
bool append_or_undo(std::string &out, size_t begin, Save &&save) {
    try {
        if (save())
            return true;
    } catch (...) {
        out.resize(begin);
        throw;
    }
    out.resize(begin);
    return false;
}

} // namespace portan
