// RingEnd: the hot paths of one end of a shared-memory ring (cluster/shm.py keeps
// the set-up, the file's layout is described there). The reader waits for the
// writer's eventfd without the interpreter lock, checks every record it reads
// against the ring and the writer's count, and either copies a message out or,
// for the common small value, unpickles it and queues it in an input port
// straight away. The writer puts a record in without waiting; the waiting for
// room stays with the Python end, which also watches the peer's socket.
#pragma once

#include "common/method.hpp"

namespace portan {

nb::object make_ring_end_type();

// The ring's layout as a dict (magic, word offsets, alignment, record tags) for
// the Python end, which makes and checks the mapping.
nb::object ring_layout();

} // namespace portan
