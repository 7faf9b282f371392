// RingEnd (ring.hpp): one end of a shared-memory ring, over the mapping its
// Python end made. The words of the header are read and written with atomic
// instructions, each store fenced from the load after it (as the Python side's
// lock did): neither side misses the other's "asleep" word.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

#include "common/buffer.hpp"
#include "common/interpreter_lock.hpp"
#include "common/method_table.hpp"
#include "common/numbers.hpp"
#include "portan/ports/port_queue.hpp"
#include "portan/ring/ring.hpp"
#include "portan/ports/trace.hpp"

namespace portan {
namespace {

// The layout, published to shm.py by ring_layout(): both ends of a link may be
// either kind, and the Python end makes and checks the mapping.
constexpr char MAGIC[] = "VXRING01";
constexpr uint64_t CAPACITY_AT = 8;
constexpr uint64_t HEADER = 4096;
constexpr uint64_t TAIL_AT = 64, HEAD_AT = 128, READER_ASLEEP_AT = 192, WRITER_ASLEEP_AT = 256;
constexpr uint64_t ALIGN = 64;
constexpr uint32_t FRAMES = 0x46525856, WRAP = 0x57525856, SOCKET = 0x53525856;
constexpr uint64_t MAX_FRAMES = 1 << 16;
constexpr uint64_t RECORD = 16;  // tag u32, frame count u32, record length u64
constexpr size_t ONE_ORIGIN = 13;  // "o", the count 1 (u32), the origin (f64), ahead of a value's frame

constexpr uint64_t aligned(uint64_t n) { return (n + ALIGN - 1) & ~(ALIGN - 1); }

vx::Kept pickle_loads;

struct RingState {
    vx::HeldBuffer view;  // the mapping; released once the last call that uses it returns
    bool mapped = false;
    uint8_t *base = nullptr;  // the header page; the records follow it
    uint8_t *data = nullptr;
    uint64_t capacity = 0;
    int data_fd = -1, space_fd = -1;  // our own copies: the Python end closes its own
    bool writer = false;
    nb::object error;  // shm.RingError
    double spin = 0.0, gap = 0.0;
    uint64_t head = 0, tail = 0;
    uint64_t sleeps = 0, woken = 0;
    uint64_t last_size = 0;
    double record_bytes = 0.0;  // the recent size of a message's record
    bool streaming = false;
    bool closed = false;
    bool busy = false;  // a call is under way (one reader or writer at a time)

    // The native type's hooks (native_type.hpp).
    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(error.ptr());
        return 0;
    }
    void dispose();
};

using RingEnd = vx::Native<RingState>;

vx::Kept ring_end_type;

RingState &state_of(nb::handle self) { return ((RingEnd *)self.ptr())->state; }

uint64_t load(const RingState &s, uint64_t at) {
    return __atomic_load_n((const uint64_t *)(s.base + at), __ATOMIC_ACQUIRE);
}
void store(RingState &s, uint64_t at, uint64_t value) {
    __atomic_store_n((uint64_t *)(s.base + at), value, __ATOMIC_RELEASE);
}
void fence() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }

// A word of a record, read once: a hostile writer changing it meanwhile cannot
// make a later use of it see another value.
uint64_t record_u64(const RingState &s, uint64_t at) {
    return __atomic_load_n((const uint64_t *)(s.data + at), __ATOMIC_RELAXED);
}
uint32_t record_u32(const RingState &s, uint64_t at) {
    return __atomic_load_n((const uint32_t *)(s.data + at), __ATOMIC_RELAXED);
}

double monotonic() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec * 1e-9;
}

void bump(int fd) {
    const uint64_t one = 1;
    if (write(fd, &one, sizeof one) < 0) {
        // The counter is full (the peer takes none of them) or the peer is gone:
        // either way the other side sees it without this wake-up.
    }
}

// A signed count difference in the words of the error texts (Python ints never wrap).
struct Signed {
    const char *sign;
    unsigned long long magnitude;
};
Signed difference(uint64_t a, uint64_t b) { return a >= b ? Signed{"", a - b} : Signed{"-", b - a}; }

[[noreturn]] void ring_error(const RingState &s, const char *format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(s.error.ptr(), format, args);  // no Python code: %llu, %s and %x only
    va_end(args);
    vx::throw_error_already_set();
}

void release(RingState &s) {
    if (s.mapped) {
        s.mapped = false;
        s.base = s.data = nullptr;
        s.view.release();
    }
    for (int *fd : {&s.data_fd, &s.space_fd})
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
}

void RingState::dispose() {
    release(*this);
    vx::clear(error);
}

// Marks the end busy for one call; the mapping goes once the last call that used
// it returns (close() may come from another thread while one waits).
struct Busy {
    RingState &s;
    explicit Busy(RingState &state, bool writer) : s(state) {
        if (s.closed || !s.mapped)
            vx::raise(PyExc_ValueError, "the ring is closed");
        if (s.writer != writer)
            vx::raise(PyExc_TypeError, s.writer ? "this is the ring's writing end" : "this is the ring's reading end");
        if (s.busy)
            vx::raise(PyExc_RuntimeError, "the ring end is in use by another call");
        s.busy = true;
    }
    ~Busy() {
        s.busy = false;
        if (s.closed)
            release(s);
    }
};

// Reader -----------------------------------------------------------------------------

struct Record {
    uint64_t pos, size;
    uint32_t tag, count;
};

uint64_t writer_count(const RingState &s) {
    const uint64_t tail = load(s, TAIL_AT);
    if (tail - s.head > s.capacity) {
        const Signed off = difference(tail, s.head);
        ring_error(s, "the writer's count is off by %s%llu bytes", off.sign, off.magnitude);
    }
    return tail;
}

// The next record before `tail`, past any wrap; false when there is none.
bool next_record(RingState &s, uint64_t tail, Record &r) {
    const uint64_t capacity = s.capacity;
    while (s.head < tail) {
        const uint64_t pos = s.head % capacity;
        const uint32_t tag = record_u32(s, pos), count = record_u32(s, pos + 4);
        const uint64_t size = record_u64(s, pos + 8);
        if (size % ALIGN || size < ALIGN || size > capacity - pos || size > tail - s.head)
            ring_error(s, "a record of %llu bytes at %llu in a ring of %llu", (unsigned long long)size,
                       (unsigned long long)pos, (unsigned long long)capacity);
        if (tag == WRAP) {
            if (size != capacity - pos)
                ring_error(s, "a wrap of %llu bytes at %llu in a ring of %llu", (unsigned long long)size,
                           (unsigned long long)pos, (unsigned long long)capacity);
            s.head += size;
            continue;
        }
        if (tag != FRAMES && tag != SOCKET)
            ring_error(s, "a record with tag 0x%x at %llu", (unsigned int)tag, (unsigned long long)pos);
        r = {pos, size, tag, count};
        return true;
    }
    return false;
}

void wake_writer(RingState &s, uint64_t waits_for) {
    if (waits_for != s.woken) {
        s.woken = waits_for;
        bump(s.space_fd);
    }
}

// The record is read: its room is the writer's again (woken once it has what it
// waits for).
void consumed(RingState &s, const Record &r) {
    s.last_size = r.size;
    s.record_bytes += ((double)r.size - s.record_bytes) / 8;
    s.head += r.size;
    store(s, HEAD_AT, s.head);
    const uint64_t waits_for = load(s, WRITER_ASLEEP_AT);
    if (waits_for && s.head >= waits_for)
        wake_writer(s, waits_for);
}

// The end of a read: a writer that waits at all is woken.
void finish(RingState &s) {
    if (!s.mapped)
        return;
    store(s, HEAD_AT, s.head);
    fence();
    const uint64_t waits_for = load(s, WRITER_ASLEEP_AT);
    if (waits_for)
        wake_writer(s, waits_for);
}

uint64_t frame_length(RingState &s, const Record &r) {
    const uint64_t length = record_u64(s, r.pos + RECORD);
    if (length > r.size - ALIGN)
        ring_error(s, "a frame of %llu bytes overruns its record of %llu", (unsigned long long)length,
                   (unsigned long long)r.size);
    return length;
}

// The frames of a FRAMES record, copied out: the first as bytes, the others as
// bytearrays (a value's buffers, which its unpickled object may write to).
nb::object frames_of(RingState &s, const Record &r) {
    if (r.count == 1) {
        const uint64_t length = frame_length(s, r);
        nb::object first = vx::steal_or_throw(
            PyBytes_FromStringAndSize((const char *)s.data + r.pos + ALIGN, (Py_ssize_t)length));
        nb::object list = vx::steal_or_throw(PyList_New(1));
        PyList_SET_ITEM(list.ptr(), 0, first.release().ptr());
        return list;
    }
    const uint64_t start = aligned(RECORD + 8 * (uint64_t)r.count);
    if (r.count < 1 || r.count > MAX_FRAMES || start > r.size)
        ring_error(s, "a record of %llu bytes with %u frames", (unsigned long long)r.size, (unsigned int)r.count);
    nb::object list = vx::steal_or_throw(PyList_New(r.count));
    uint64_t offset = r.pos + start;
    const uint64_t end = r.pos + r.size;
    uint64_t at = r.pos + RECORD;
    for (uint32_t index = 0; index < r.count; ++index) {
        const uint64_t length = record_u64(s, at);
        if (length > end - offset)
            ring_error(s, "frame %u of %llu bytes overruns its record of %llu", (unsigned int)index,
                       (unsigned long long)length, (unsigned long long)r.size);
        const char *bytes = (const char *)s.data + offset;
        PyObject *frame = index == 0 ? PyBytes_FromStringAndSize(bytes, (Py_ssize_t)length)
                                     : PyByteArray_FromStringAndSize(bytes, (Py_ssize_t)length);
        if (!frame)
            vx::throw_error_already_set();
        PyList_SET_ITEM(list.ptr(), index, frame);
        at += 8;
        offset += aligned(length);
    }
    return list;
}

// The wait of wait(), without the interpreter lock: true once records may wait.
bool wait_for_records(RingState &s, long timeout) {
    bool ready = false;
    if (s.streaming) {
        const double deadline = monotonic() + s.spin;
        do {
            sched_yield();
            if (load(s, TAIL_AT) != s.head) {
                ready = true;
                break;
            }
        } while (monotonic() < deadline);
        s.streaming = false;
    }
    if (!ready) {
        const double began = monotonic();
        store(s, READER_ASLEEP_AT, ++s.sleeps);
        fence();
        if (load(s, TAIL_AT) != s.head) {
            ready = true;
        } else {
            pollfd watched{s.data_fd, POLLIN, 0};
            const int events = poll(&watched, 1, (int)std::max(0L, std::min(timeout, 1L << 30)));
            if (events > 0) {
                ready = true;
                s.streaming = monotonic() - began < s.gap;
                uint64_t count;
                if (read(s.data_fd, &count, sizeof count) < 0) {
                    // Nothing to take (another look took it) or a signal: the records tell.
                }
            }
        }
        store(s, READER_ASLEEP_AT, 0);
    }
    return ready;
}

// wait(timeout_ms): True once records may be waiting (the wake-up is taken). While
// values come close together the reader first looks again for a little while:
// waking it would cost the writer more than the looks cost here. All of it
// without the interpreter lock.
nb::object ring_wait(const vx::Call &call) {
    static constexpr vx::Params<1> params{"wait", {"timeout_ms"}};
    auto [timeout_arg] = call.bind(params);
    const long timeout = vx::long_of(timeout_arg);
    RingState &s = state_of(call.self);
    Busy busy(s, false);
    if (load(s, TAIL_AT) != s.head)
        return nb::bool_(true);
    const bool ready = vx::without_interpreter_lock([&] { return wait_for_records(s, timeout); });
    return nb::bool_(ready);
}

// next(): the next message, a list of frames; None: it comes by the socket;
// False: none waits (and a waiting writer is woken).
nb::object ring_next(const vx::Call &call) {
    call.bind_none("next");
    RingState &s = state_of(call.self);
    Busy busy(s, false);
    const uint64_t tail = writer_count(s);
    Record r;
    if (!next_record(s, tail, r)) {
        finish(s);
        return nb::bool_(false);
    }
    nb::object message = r.tag == SOCKET ? nb::none() : frames_of(s, r);
    consumed(s, r);
    return message;
}

nb::object ring_finish(const vx::Call &call) {
    call.bind_none("finish");
    RingState &s = state_of(call.self);
    Busy busy(s, false);
    finish(s);
    return nb::none();
}

// The backlog at which a SYNC link stops reading: the high-water mark, and what the
// ring's bytes hold (large values then wait in the ring, bounded, not in the port).
Py_ssize_t most_of(const RingState &s, Py_ssize_t hwm) {
    if (s.record_bytes <= 0)
        return hwm;
    const double fits = (double)s.capacity / s.record_bytes;
    const Py_ssize_t most = fits >= (double)hwm ? hwm : (Py_ssize_t)fits;
    return std::max<Py_ssize_t>(1, most);
}

Py_ssize_t backlog_of(nb::handle values, vx::PortQueueState *queue) {
    if (queue)
        return (Py_ssize_t)queue->items.size();
    if (!values.is_valid() || values.is_none())
        return 0;
    const Py_ssize_t length = vx::exit_safe([&] { return PyObject_Length(values.ptr()); });
    if (length < 0)
        vx::throw_error_already_set();
    return length;
}

// Why deliver() stopped, the first item of its answer (RingEnd has the names).
enum class DeliverStop : int {
    for_now = 0,      // the ring is empty, `most` read or the port's backlog at its limit
    handed_back = 1,  // the item is a message's frames, for the Python end to read
    by_socket = 2,    // the next message comes by the socket
    not_taken = 3,    // the item is the error of a value the port did not take
};

struct Stopped {
    DeliverStop why;
    nb::object item;
};

nb::object outcome(const Stopped &stopped, int taken) {
    nb::handle item = stopped.item.is_valid() ? stopped.item : nb::none();
    return vx::steal_or_throw(Py_BuildValue("(iOi)", (int)stopped.why, item.ptr(), taken));
}

// The exception being raised, taken.
nb::object taken_error(nb::python_error &error) {
    error.restore();
    return nb::steal(PyErr_GetRaisedException());
}

// What deliver() is told: how to bring an origin onto this process's clock, and the
// port's high-water mark.
struct DeliverTerms {
    Py_ssize_t hwm;
    double shift, offset;
};

// Where a small value's pickle stream starts in its frame, and its origin if it has one.
struct SmallValue {
    size_t skip = 0;
    bool has_origin = false;
    double origin = 0.0;
};

// A frame that is a small value: kind VALUE, perhaps its one origin ahead of it.
std::optional<SmallValue> small_value(const uint8_t *frame, uint64_t length) {
    // The prefix and the kind, copied once: what is checked is what is used.
    uint8_t head[ONE_ORIGIN + 1] = {};
    std::memcpy(head, frame, (size_t)std::min<uint64_t>(length, sizeof head));
    SmallValue small;
    if (length > ONE_ORIGIN + 3 && head[0] == 'o') {
        uint32_t count;
        std::memcpy(&count, head + 1, 4);
        if (count == 1) {
            small.skip = ONE_ORIGIN;
            small.has_origin = true;
            std::memcpy(&small.origin, head + 5, 8);
        }
    }
    if (length < small.skip + 4 || head[small.skip] != 'v' || (!small.has_origin && head[0] == 'o'))
        return std::nullopt;
    return small;
}

// The value of a pickle stream of protocol 5; not valid when it does not load (the
// Python end decodes it again and says why).
nb::object unpickled(nb::handle stream) {
    const char *text = PyBytes_AS_STRING(stream.ptr());
    const Py_ssize_t size = PyBytes_GET_SIZE(stream.ptr());
    if (!(text[0] == '\x80' && text[1] == '\x05' && text[size - 1] == '.'))
        return nb::object();
    PyObject *loaded = vx::exit_safe([&] { return PyObject_CallOneArg(pickle_loads.ptr(), stream.ptr()); });
    if (!loaded) {
        PyErr_Clear();
        return nb::object();
    }
    return nb::steal(loaded);
}

// A value's message as it came, but for the origin: whatever fails fails in the value.
nb::object value_message(nb::handle stream) {
    nb::object kind = vx::steal_or_throw(PyBytes_FromStringAndSize("v", 1));
    PyObject *joined = kind.release().ptr();
    PyBytes_Concat(&joined, stream.ptr());
    return vx::steal_or_throw(Py_BuildValue("[N]", vx::steal_or_throw(joined).release().ptr()));
}

// Queues `value` in the port, natively where its values are a native queue. True
// when reading stops for now: the end is closed, or the port's backlog is at its limit.
bool into_port(RingState &s, nb::handle port, nb::handle value, std::optional<double> origin,
               const DeliverTerms &terms) {
    nb::object values = vx::getattr(port, names::values_);
    vx::PortQueueState *queue = vx::queue_state(values);
    if (queue) {
        vx::Stamp stamp = vx::stamp_now();
        if (origin && vx::tracing)
            stamp.origin = *origin;
        vx::port_queue_push(*queue, port, value, nb::handle(), stamp);
        vx::wake_reader(*queue, port);
    } else if (origin) {
        vx::call_method(port, names::receive_, value, vx::steal_or_throw(PyFloat_FromDouble(*origin)));
    } else {
        vx::call_method(port, names::receive_, value);
    }
    if (s.closed)
        return true;
    values = vx::getattr_or_none(port, names::values_);
    return backlog_of(values, vx::queue_state(values)) >= most_of(s, terms.hwm);
}

// One record read by deliver(): nothing when the next may follow, else why it stops.
std::optional<Stopped> deliver_record(RingState &s, const Record &r, nb::handle port, const DeliverTerms &terms) {
    if (r.tag == SOCKET) {
        consumed(s, r);
        return Stopped{DeliverStop::by_socket, nb::object()};
    }
    std::optional<SmallValue> small;
    uint64_t length = 0;
    if (r.count == 1) {
        length = frame_length(s, r);
        small = small_value(s.data + r.pos + ALIGN, length);
    }
    if (!small) {
        nb::object message = frames_of(s, r);
        consumed(s, r);
        return Stopped{DeliverStop::handed_back, std::move(message)};
    }
    const char *frame = (const char *)s.data + r.pos + ALIGN;
    nb::object stream = vx::steal_or_throw(
        PyBytes_FromStringAndSize(frame + small->skip + 1, (Py_ssize_t)(length - small->skip - 1)));
    consumed(s, r);
    nb::object value = unpickled(stream);
    if (!value.is_valid())
        return Stopped{DeliverStop::handed_back, value_message(stream)};
    std::optional<double> origin;
    if (small->has_origin && std::isfinite(small->origin))
        origin = small->origin - terms.shift + terms.offset;  // as clock.origin_from_controller has it
    try {
        if (into_port(s, port, value, origin, terms))
            return Stopped{DeliverStop::for_now, nb::object()};
    } catch (nb::python_error &error) {
        return Stopped{DeliverStop::not_taken, taken_error(error)};
    }
    return std::nullopt;
}

// deliver(most, port, hwm, shift, offset): up to `most` messages into the SYNC input
// port `port`, oldest first. A small value (one frame, kind VALUE, a pickle stream,
// perhaps its one origin ahead of it) is unpickled and queued here, with its origin
// on this process's clock (origin - shift + offset); the first message of any other
// kind is handed back as it came. Returns (why it stopped, item, taken): `taken`
// messages were read (see DeliverStop for the item).
nb::object ring_deliver(const vx::Call &call) {
    static constexpr vx::Params<5> params{"deliver", {"most", "port", "hwm", "shift", "offset"}};
    auto [most_arg, port_arg, hwm_arg, shift_arg, offset_arg] = call.bind(params);
    const long most = vx::long_of(most_arg);
    const DeliverTerms terms{vx::ssize_of(hwm_arg), vx::double_of(shift_arg), vx::double_of(offset_arg)};
    RingState &s = state_of(call.self);
    Busy busy(s, false);
    int taken = 0;
    uint64_t tail = writer_count(s);
    while (taken < most && !s.closed) {
        Record r;
        if (!next_record(s, tail, r)) {
            if (load(s, TAIL_AT) == tail)
                break;
            tail = writer_count(s);  // more came meanwhile
            continue;
        }
        ++taken;
        if (std::optional<Stopped> stopped = deliver_record(s, r, nb::handle(port_arg), terms)) {
            finish(s);
            return outcome(*stopped, taken);
        }
    }
    finish(s);
    return outcome(Stopped{DeliverStop::for_now, nb::object()}, taken);
}

// Writer -----------------------------------------------------------------------------

void publish(RingState &s, uint64_t tail) {
    s.tail = tail;
    store(s, TAIL_AT, tail);  // after the record: the reader sees it whole
    fence();
    const uint64_t asleep = load(s, READER_ASLEEP_AT);
    if (asleep && asleep != s.woken) {
        s.woken = asleep;
        bump(s.data_fd);
    }
}

// put(frames, tag): one record of these flat byte buffers, if there is room for it
// now. True: written; None: it can never fit (more than half the ring); else
// (head, needed): the reader's count seen, and what it must reach.
nb::object ring_put(const vx::Call &call) {
    static constexpr vx::Params<2> params{"put", {"frames", "tag"}};
    auto [frames_arg, tag_arg] = call.bind(params);
    if (!PyList_Check(frames_arg))
        vx::raise(PyExc_TypeError, "put() takes a list of frames");
    const unsigned long tag = vx::unsigned_long_of(tag_arg);
    if (tag != FRAMES && tag != SOCKET)
        vx::raise(PyExc_ValueError, "a record is of frames or a socket mark");
    RingState &s = state_of(call.self);
    Busy busy(s, true);
    const Py_ssize_t count = PyList_GET_SIZE(frames_arg);
    if ((uint64_t)count > MAX_FRAMES)
        return nb::none();
    std::vector<vx::HeldBuffer> frames;
    frames.reserve((size_t)count);
    uint64_t size = aligned(RECORD + 8 * (uint64_t)count);
    // The list may change while a buffer is asked for: held by this reference.
    nb::object list = nb::borrow(frames_arg);
    for (Py_ssize_t i = 0; i < count && i < PyList_GET_SIZE(list.ptr()); ++i) {
        nb::object item = nb::borrow(PyList_GET_ITEM(list.ptr(), i));
        vx::HeldBuffer view;
        if (!view.acquire(item.ptr(), PyBUF_SIMPLE))
            vx::throw_error_already_set();
        size += aligned((uint64_t)view.size());
        frames.push_back(std::move(view));
    }
    const uint64_t n = frames.size();
    if (n != (uint64_t)count)
        size = aligned(RECORD + 8 * n) + (size - aligned(RECORD + 8 * (uint64_t)count));
    if (size > s.capacity / 2)
        return nb::none();
    const uint64_t capacity = s.capacity;
    uint64_t tail = s.tail;
    uint64_t pos = tail % capacity;
    const uint64_t room = capacity - pos;
    const uint64_t need = room >= size ? size : room + size;
    const uint64_t head = load(s, HEAD_AT);
    const uint64_t used = tail - head;
    if (used > capacity) {
        const Signed off = difference(tail, head);
        ring_error(s, "the reader's count is off by %s%llu bytes", off.sign, off.magnitude);
    }
    if (capacity - used < need)
        return vx::steal_or_throw(Py_BuildValue("(KK)", (unsigned long long)head,
                                                (unsigned long long)(tail + need - capacity)));
    uint8_t *data = s.data;
    auto put_header = [&](uint64_t at, uint32_t record_tag, uint32_t frame_count, uint64_t record_size) {
        std::memcpy(data + at, &record_tag, 4);
        std::memcpy(data + at + 4, &frame_count, 4);
        std::memcpy(data + at + 8, &record_size, 8);
    };
    if (room < size) {  // no room before the end: the record goes to the start
        put_header(pos, WRAP, 0, room);
        tail += room;
        pos = 0;
    }
    uint64_t offset = pos + aligned(RECORD + 8 * n);
    uint64_t at = pos + RECORD;
    for (const vx::HeldBuffer &view : frames) {
        const uint64_t length = (uint64_t)view.size();
        std::memcpy(data + at, &length, 8);
        std::memcpy(data + offset, view.data(), (size_t)length);
        at += 8;
        offset += aligned(length);
    }
    put_header(pos, (uint32_t)tag, (uint32_t)n, size);
    publish(s, tail + size);
    return nb::bool_(true);
}

vx::Kept pickle_dumps, buffer_callback_name, buffer_callback;
unsigned long out_of_band = 0;  // buffers the last native pickle gave out of band

PyObject *count_buffer(PyObject *, PyObject *) {
    ++out_of_band;
    Py_RETURN_NONE;
}

PyMethodDef count_buffer_def = {"count_buffer", count_buffer, METH_O, nullptr};

// put_value(value, origin): the message of one small value (wire.dumps(VALUE,
// value), its origin on the controller's clock ahead of it when it is a float),
// pickled straight into the ring. True: written; a list: its frames, written
// here when there was no room now (they go the Python end's way, which waits,
// says why the ring broke, or takes the socket); None: a value of another kind
// (an array, a value with buffers out of band), which wire.dumps makes. What
// pickling raises is the value's error.
nb::object ring_put_value(const vx::Call &call) {
    static constexpr vx::Params<2> params{"put_value", {"value", "origin"}};
    auto [value, origin_arg] = call.bind(params);
    const char *type_name = Py_TYPE(value)->tp_name;
    const char *dot = std::strrchr(type_name, '.');
    if (std::strcmp(dot ? dot + 1 : type_name, "ndarray") == 0)
        return nb::none();  // wire.dumps sends a plain one as an array
    const bool has_origin = PyFloat_CheckExact(origin_arg);
    const double origin = has_origin ? PyFloat_AS_DOUBLE(origin_arg) : 0.0;
    RingState &s = state_of(call.self);
    Busy busy(s, true);
    if (!pickle_dumps.is_set()) {
        nb::object module = vx::steal_call([&] { return PyImport_ImportModule("pickle"); });
        pickle_dumps.set_once(vx::getattr(module, "dumps"));
        buffer_callback_name.set_once(vx::steal_or_throw(Py_BuildValue("(s)", "buffer_callback")));
        buffer_callback.set_once(vx::steal_or_throw(PyCFunction_New(&count_buffer_def, nullptr)));
    }
    nb::object protocol = vx::steal_or_throw(PyLong_FromLong(5));
    PyObject *args[] = {value, protocol.ptr(), buffer_callback.ptr()};
    out_of_band = 0;
    PyObject *dumps = pickle_dumps.ptr(), *keywords = buffer_callback_name.ptr();
    nb::object stream = vx::steal_call([&] { return PyObject_Vectorcall(dumps, args, 2, keywords); });
    if (out_of_band || !PyBytes_CheckExact(stream.ptr()) || s.closed)
        return nb::none();
    const uint64_t length = (uint64_t)PyBytes_GET_SIZE(stream.ptr()) + 1 + (has_origin ? ONE_ORIGIN : 0);
    const uint64_t size = ALIGN + aligned(length);
    uint8_t prefix[ONE_ORIGIN + 1];
    size_t at = 0;
    if (has_origin) {
        const uint32_t one = 1;
        prefix[0] = 'o';
        std::memcpy(prefix + 1, &one, 4);
        std::memcpy(prefix + 5, &origin, 8);
        at = ONE_ORIGIN;
    }
    prefix[at++] = 'v';
    const uint64_t capacity = s.capacity;
    const uint64_t tail = s.tail;
    const uint64_t pos = tail % capacity;
    const uint64_t used = tail - load(s, HEAD_AT);
    // Room before the end and behind the reader: the record at once. Anything
    // else (a wrap, a wait, a count that is off) is the general write's.
    if (used <= capacity && capacity - used >= size && capacity - pos >= size && size <= capacity / 2) {
        uint8_t *record = s.data + pos;
        std::memcpy(record + ALIGN, prefix, at);
        std::memcpy(record + ALIGN + at, PyBytes_AS_STRING(stream.ptr()), (size_t)(length - at));
        const uint32_t tag = FRAMES, count = 1;
        std::memcpy(record, &tag, 4);
        std::memcpy(record + 4, &count, 4);
        std::memcpy(record + 8, &size, 8);
        std::memcpy(record + 16, &length, 8);
        publish(s, tail + size);
        return nb::bool_(true);
    }
    nb::object frame = vx::steal_or_throw(PyBytes_FromStringAndSize(nullptr, (Py_ssize_t)length));
    std::memcpy(PyBytes_AS_STRING(frame.ptr()), prefix, at);
    std::memcpy(PyBytes_AS_STRING(frame.ptr()) + at, PyBytes_AS_STRING(stream.ptr()), (size_t)(length - at));
    return vx::steal_or_throw(Py_BuildValue("[N]", frame.release().ptr()));
}

// writer_sleeps(waits_for): says the writer waits for the reader's count to reach
// `waits_for` (0: it waits no more); the reader's count, read after that.
nb::object ring_writer_sleeps(const vx::Call &call) {
    static constexpr vx::Params<1> params{"writer_sleeps", {"waits_for"}};
    auto [value_arg] = call.bind(params);
    const unsigned long long value = vx::unsigned_long_long_of(value_arg);
    RingState &s = state_of(call.self);
    Busy busy(s, true);
    store(s, WRITER_ASLEEP_AT, value);
    fence();
    return vx::steal_or_throw(PyLong_FromUnsignedLongLong(load(s, HEAD_AT)));
}

// The size of the record of these frames' lengths.
nb::object ring_record_size(const vx::Call &call) {
    static constexpr vx::Params<1> params{"record_size", {"lengths"}};
    auto [lengths] = call.bind(params);
    if (!PyList_Check(lengths))
        vx::raise(PyExc_TypeError, "record_size() takes a list of lengths");
    const Py_ssize_t count = PyList_GET_SIZE(lengths);
    unsigned long long size = aligned(RECORD + 8 * (uint64_t)count);
    for (Py_ssize_t i = 0; i < count; ++i) {
        size += aligned(vx::unsigned_long_long_of(PyList_GET_ITEM(lengths, i)));
    }
    return vx::steal_or_throw(PyLong_FromUnsignedLongLong(size));
}

nb::object ring_close(const vx::Call &call) {
    call.bind_none("close");
    RingState &s = state_of(call.self);
    s.closed = true;
    if (!s.busy)
        release(s);  // else the call under way lets go of it
    return nb::none();
}

PyObject *get_head(PyObject *self, void *) { return PyLong_FromUnsignedLongLong(state_of(self).head); }
PyObject *get_tail(PyObject *self, void *) { return PyLong_FromUnsignedLongLong(state_of(self).tail); }
PyObject *get_last_size(PyObject *self, void *) { return PyLong_FromUnsignedLongLong(state_of(self).last_size); }
PyObject *get_record_bytes(PyObject *self, void *) { return PyFloat_FromDouble(state_of(self).record_bytes); }

PyGetSetDef ring_getset[] = {
    {"head", get_head, nullptr, "The reader's count (bytes read).", nullptr},
    {"tail", get_tail, nullptr, "The writer's count (bytes written).", nullptr},
    {"last_size", get_last_size, nullptr, "The size of the last record read.", nullptr},
    {"record_bytes", get_record_bytes, nullptr, "The recent size of a message's record.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

auto ring_methods = vx::method_table(
    VX_METHOD("wait", ring_wait, "Wait up to `timeout_ms` for records (reader); True when some may wait."),
    VX_METHOD("next", ring_next, "The next message's frames, None (by the socket) or False (none waits)."),
    VX_METHOD("finish", ring_finish, "The end of a read: a writer waiting for room is woken."),
    VX_METHOD("deliver", ring_deliver, "Small values straight into a SYNC input port: (why it stopped, item, taken)."),
    VX_METHOD("put", ring_put, "One record now if there is room: True, None (never fits) or (head, needed)."),
    VX_METHOD("put_value", ring_put_value, "One small value pickled into the ring: True, its frames, or None."),
    VX_METHOD("writer_sleeps", ring_writer_sleeps, "The writer's wait word; returns the reader's count."),
    VX_METHOD("record_size", ring_record_size, "The bytes of the record of frames of these lengths."),
    VX_METHOD("close", ring_close, "Let go of the mapping and the eventfds."));

void load_pickle_loads() {
    if (!pickle_loads.is_set())
        pickle_loads.set_once(vx::getattr(vx::import_module("pickle"), "loads"));
}

// The mapping `map` as a ring of `capacity` bytes, or ValueError.
vx::HeldBuffer ring_view(PyObject *map, unsigned long long capacity) {
    vx::HeldBuffer view;
    if (!view.acquire(map, PyBUF_WRITABLE))
        vx::throw_error_already_set();
    if (capacity < 4 * ALIGN || capacity % ALIGN || (uint64_t)view.size() < HEADER + capacity ||
        ((uintptr_t)view.data() % ALIGN))
        vx::raise(PyExc_ValueError, "the mapping holds no ring of that capacity");
    return view;
}

// Our own copies of the eventfds, closed with the ring end.
void copy_fds(RingState &s, int data_fd, int space_fd) {
    s.data_fd = fcntl(data_fd, F_DUPFD_CLOEXEC, 0);
    s.space_fd = s.data_fd < 0 ? -1 : fcntl(space_fd, F_DUPFD_CLOEXEC, 0);
    if (s.space_fd < 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        vx::throw_error_already_set();
    }
}

// RingEnd(map, data_fd, space_fd, capacity, writer, error, spin, gap)
nb::object ring_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    PyObject *map = nullptr, *error = nullptr;
    int data_fd = -1, space_fd = -1, writer = 0;
    unsigned long long capacity = 0;
    double spin = 0.0, gap = 0.0;
    static const char *keywords[] = {"map", "data_fd", "space_fd", "capacity", "writer", "error", "spin", "gap",
                                     nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OiiKpOdd", (char **)keywords, &map, &data_fd, &space_fd,
                                     &capacity, &writer, &error, &spin, &gap))
        vx::throw_error_already_set();
    if (!PyType_Check(error) || !PyType_IsSubtype((PyTypeObject *)error, (PyTypeObject *)PyExc_Exception))
        vx::raise(PyExc_TypeError, "error must be an exception class");
    load_pickle_loads();
    vx::HeldBuffer view = ring_view(map, capacity);
    nb::object self = vx::make_native<RingState>(type);
    RingState &s = state_of(self);
    s.base = (uint8_t *)view.data();
    s.view = std::move(view);
    s.mapped = true;
    s.data = s.base + HEADER;
    s.capacity = capacity;
    copy_fds(s, data_fd, space_fd);
    s.writer = writer != 0;
    s.error = nb::borrow(error);
    s.spin = spin;
    s.gap = gap;
    if (s.writer) {
        s.tail = load(s, TAIL_AT);
    } else {
        s.head = load(s, HEAD_AT);
        if (s.head % ALIGN) {
            PyErr_Format(error, "the reader's count %llu is no record's start",  // no Python code: %llu only
                         (unsigned long long)s.head);
            vx::throw_error_already_set();
        }
    }
    return self;
}

} // namespace

nb::object ring_layout() {
    nb::dict layout;
    layout["magic"] = vx::steal_or_throw(PyBytes_FromStringAndSize(MAGIC, sizeof MAGIC - 1));
    const std::pair<const char *, uint64_t> words[] = {
        {"capacity_at", CAPACITY_AT}, {"header", HEADER}, {"tail_at", TAIL_AT}, {"head_at", HEAD_AT},
        {"reader_asleep_at", READER_ASLEEP_AT}, {"writer_asleep_at", WRITER_ASLEEP_AT}, {"align", ALIGN},
        {"frames", FRAMES}, {"wrap", WRAP}, {"socket", SOCKET}, {"max_frames", MAX_FRAMES}};
    for (const auto &[key, value] : words)
        layout[key] = vx::steal_or_throw(PyLong_FromUnsignedLongLong(value));
    return layout;
}

nb::object make_ring_end_type() {
    nb::object type = nb::borrow(ring_end_type.set(vx::make_native_type<RingState>(
        {"velarix.imp.portan.RingEnd",
         "The hot paths of one end of a shared-memory ring (cluster/shm.py).",
         {{Py_tp_new, (void *)vx::slot_new<ring_new>},
          {Py_tp_methods, (void *)ring_methods.rows},
          {Py_tp_getset, (void *)ring_getset}}})));
    // deliver()'s reasons by name, so that the Python end never copies the numbers.
    static constexpr std::pair<const char *, DeliverStop> stops[] = {
        {"DELIVERED_FOR_NOW", DeliverStop::for_now},
        {"HANDED_BACK", DeliverStop::handed_back},
        {"BY_SOCKET", DeliverStop::by_socket},
        {"NOT_TAKEN", DeliverStop::not_taken},
    };
    for (const auto &[name, why] : stops)
        type.attr(name) = nb::int_((int)why);
    return type;
}

} // namespace portan
