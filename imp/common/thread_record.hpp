// A record of this thread's own, made on its first use. The record is reached
// through a plain pointer: a thread-local of a trivial type costs one access,
// where the record itself (with a constructor or destructor) costs a second one
// each time for its initialisation check. Worth it for records asked several
// times a push.
//
// Each record type has one instance per thread in the module that uses it; a
// record shared by several modules is used in one and reached from the others
// through its C API.
#pragma once

namespace vx {

template <typename Record>
Record &thread_record() {
    static thread_local Record *known = nullptr;
    if (Record *found = known)
        return *found;
    static thread_local Record record;
    known = &record;
    return record;
}

} // namespace vx
