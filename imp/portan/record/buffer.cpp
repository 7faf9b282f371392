// The RecordBuffer type's methods, and ChunkData (a closed chunk lent to Python).
#include <chrono>
#include <cerrno>
#include <cstring>
#include <memory>

#include "common/method_table.hpp"
#include "common/runtime.hpp"
#include "portan/record/buffer.hpp"
#include "common/buffer.hpp"
#include "common/interpreter_lock.hpp"
#include "common/numbers.hpp"
#include "portan/record/chunk_file.hpp"
#include "portan/record/tap.hpp"

namespace portan {
namespace {

// The memory of one written chunk for a later one: the biggest that is not far
// beyond a chunk's size.
void keep_spare(RecordState &s, std::string &data) {
    std::lock_guard<std::mutex> guard(s.mutex);
    if (s.spare.capacity() < data.capacity() &&
        data.capacity() <= std::min<size_t>(s.chunk_size + 4096, 64u << 20) * 2)
        s.spare.swap(data);
}

// The closed chunks, oldest first, taken off the buffer; with the mutex held.
// Without memory for the list, the chunks stay in the buffer for a later take.
void take_closed(RecordState &s, std::vector<Chunk> &chunks) {
    try {
        chunks.reserve(chunks.size() + s.closed.size());
    } catch (const std::bad_alloc &) {
        return;
    }
    while (!s.closed.empty()) {
        s.closed_bytes -= s.closed.front().data.size();
        chunks.push_back(std::move(s.closed.front()));  // reserved: does not throw
        s.closed.pop_front();
    }
}

// --- RecordBuffer's methods --------------------------------------------------------------

uint16_t channel_id(PyObject *number) {
    const long value = vx::long_of(number);
    if (value < 1 || value > 0xffff)
        vx::raise(PyExc_ValueError, "a channel id is 1 to 65535");
    return (uint16_t)value;
}

} // namespace

int RecordState::traverse(visitproc visit, void *arg) const {
    for (const Waiting &item : waiting)
        Py_VISIT(item.value);
    Py_VISIT(array_type);
    Py_VISIT(channel_maker);
    return 0;
}

// Each value let go after it left the queue: releasing one may run code.
void RecordState::clear() {
    while (!waiting.empty()) {
        PyObject *value = waiting.front().value;
        release_waiting(*this, waiting.front());
        waiting.pop_front();
        Py_XDECREF(value);
    }
    Py_CLEAR(array_type);
    Py_CLEAR(channel_maker);
}

void ChunkBytes::dispose() {
    if (buffer.is_valid())
        keep_spare(state_of(buffer.ptr()), data);
    vx::clear(buffer);
}

namespace {

nb::object buffer_new(PyTypeObject *type, PyObject *, PyObject *) { return vx::make_native<RecordState>(type); }

// __init__(taps, queue_size, queue_bytes, chunk_size, array_type=None, json=False):
// with `json`, the values JSON gives back exactly are written as JSON.
void buffer_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    Py_ssize_t count = 0, capacity = 0, most_bytes = 0, chunk_size = 0;
    PyObject *array_type = Py_None;
    int json = 0;
    static const char *keywords[] = {"taps", "queue_size", "queue_bytes", "chunk_size", "array_type", "json",
                                     nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "nnnn|Op", (char **)keywords, &count, &capacity, &most_bytes,
                                     &chunk_size, &array_type, &json))
        vx::throw_error_already_set();
    if (count < 0 || count > 0xffffff)
        vx::raise(PyExc_ValueError, "taps must be 0 to 16777215");
    if (capacity < 1 || most_bytes < 1 || chunk_size < 1)
        vx::raise(PyExc_ValueError, "queue_size, queue_bytes and chunk_size must be at least 1");
    RecordState &s = state_of(self);
    if (s.initialized)
        vx::raise(PyExc_RuntimeError, "a RecordBuffer is set up once");
    s.initialized = true;
    s.taps.assign((size_t)count, TapState());  // bad_alloc: MemoryError, by slot_init
    s.open.data.reserve(std::min<size_t>((size_t)chunk_size + 4096, 64u << 20));
    s.capacity = capacity;
    s.most_bytes = most_bytes;
    s.chunk_size = (size_t)chunk_size;
    s.json = json != 0;
    PyObject *old = s.array_type;
    s.array_type = array_type != Py_None ? Py_NewRef(array_type) : nullptr;
    Py_XDECREF(old);
}

// when pickle holds it and pickle None otherwise; None when nothing waits.
nb::object buffer_front(const vx::Call &call) {
    call.bind_none("front");
    RecordState &s = as_buffer(call.self)->state;
    if (s.waiting.empty())
        return nb::none();
    const Waiting &item = s.waiting.front();
    nb::object tap = vx::steal_or_throw(PyLong_FromUnsignedLong(item.tap));
    nb::object stamp = vx::steal_or_throw(PyLong_FromUnsignedLongLong(item.stamp));
    nb::object value = item.value ? nb::borrow(item.value) : nb::none();
    nb::object pickled = item.value ? nb::none() : bytes_of(item.pickled);
    return vx::steal_or_throw(PyTuple_Pack(4, tap.ptr(), stamp.ptr(), value.ptr(), pickled.ptr()));
}

// Takes the oldest waiting value off the queue; a value still held is let go
// after the queue is consistent again.
void pop_front(RecordState &s) {
    PyObject *value = s.waiting.front().value;
    release_waiting(s, s.waiting.front());
    s.waiting.pop_front();
    Py_XDECREF(value);
}

// The bytes of a bytes-like object.
vx::HeldBuffer bytes_of(PyObject *object) {
    vx::HeldBuffer held;
    if (!held.acquire(object, PyBUF_SIMPLE))
        vx::throw_error_already_set();
    return held;
}

// The same for an optional argument: none held where it is None or not given.
vx::HeldBuffer bytes_if_given(PyObject *object) {
    return object && object != Py_None ? bytes_of(object) : vx::HeldBuffer();
}

const char *chars(const vx::HeldBuffer &held) { return held.held() ? (const char *)held.data() : ""; }
size_t length(const vx::HeldBuffer &held) { return held.held() ? (size_t)held.size() : 0; }

// write_front(channel, data=None, head=b""): the oldest waiting value as a message
// on `channel`, its data head + data (data None: the pickle made at its push).
// True when a closed chunk waits to be written.
nb::object buffer_write_front(const vx::Call &call) {
    static constexpr vx::Params<3> params{"write_front", {"channel", "data", "head"}, 1};
    auto [channel, data, head] = call.bind(params);
    RecordState &s = as_buffer(call.self)->state;
    const uint16_t id = channel_id(channel);
    if (s.waiting.empty())
        vx::raise(PyExc_LookupError, "no value waits");
    vx::HeldBuffer body = bytes_if_given(data), start = bytes_if_given(head);
    Waiting &item = s.waiting.front();
    if (!body.held() && item.value)
        vx::raise(PyExc_ValueError, "the waiting value has no pickle: give its data");
    const char *bytes = body.held() ? chars(body) : item.pickled.data();
    const size_t size = body.held() ? length(body) : item.pickled.size();
    add_message(s, id, item.stamp, chars(start), length(start), bytes, size, item.tap);
    body.release();
    start.release();
    pop_front(s);
    return nb::bool_(s.closed_bytes.load() != 0);
}

nb::object buffer_drop_front(const vx::Call &call) {
    call.bind_none("drop_front");
    RecordState &s = as_buffer(call.self)->state;
    if (!s.waiting.empty())
        pop_front(s);
    return nb::none();
}

// add_message(channel, log_time, data, head=b""): a message outside any tap.
nb::object buffer_add_message(const vx::Call &call) {
    static constexpr vx::Params<4> params{"add_message", {"channel", "log_time", "data", "head"}, 3};
    auto [channel, log_time, data, head] = call.bind(params);
    RecordState &s = as_buffer(call.self)->state;
    const uint16_t id = channel_id(channel);
    const unsigned long long stamp = vx::unsigned_long_long_of(log_time);
    const vx::HeldBuffer body = bytes_of(data), start = bytes_if_given(head);
    add_message(s, id, stamp, chars(start), length(start), chars(body), length(body), UINT32_MAX);
    return nb::none();
}

// add_record(data): a whole record (a channel) into the open chunk.
nb::object buffer_add_record(const vx::Call &call) {
    static constexpr vx::Params<1> params{"add_record", {"data"}};
    auto [data] = call.bind(params);
    RecordState &s = as_buffer(call.self)->state;
    const vx::HeldBuffer body = bytes_of(data);
    s.open.data.append(chars(body), length(body));
    return nb::none();
}

Kind kind_named(PyObject *encoding) {
    if (!encoding || encoding == Py_None)
        return pickle_kind;
    const char *text = PyUnicode_Check(encoding) ? PyUnicode_AsUTF8(encoding) : nullptr;
    if (!text)
        vx::raise(PyExc_TypeError, "encoding must be a str");
    if (std::strcmp(text, "pickle5") == 0)
        return pickle_kind;
    if (std::strcmp(text, "json") == 0)
        return json_kind;
    vx::raise(PyExc_ValueError, "encoding must be 'pickle5' or 'json'");
}

// set_channel(tap, channel, encoding="pickle5"): the tap's channel for values
// encoded so at their push; they now go straight into the chunk.
nb::object buffer_set_channel(const vx::Call &call) {
    static constexpr vx::Params<3> params{"set_channel", {"tap", "channel", "encoding"}, 2};
    auto [tap, channel, encoding] = call.bind(params);
    RecordState &s = as_buffer(call.self)->state;
    const Py_ssize_t index = vx::ssize_of(tap);
    if (index < 0 || (size_t)index >= s.taps.size())
        vx::raise(PyExc_IndexError, "no tap %zd", index);
    const Kind kind = kind_named(encoding);
    s.taps[(size_t)index].channel[kind].store(channel_id(channel));
    return nb::none();
}

// front_encoding(): the encoding of the oldest waiting value's encoded data
// ("json" or "pickle5"), or None when it waits unencoded or nothing waits.
nb::object buffer_front_encoding(const vx::Call &call) {
    call.bind_none("front_encoding");
    RecordState &s = as_buffer(call.self)->state;
    if (s.waiting.empty() || s.waiting.front().value)
        return nb::none();
    return vx::steal_or_throw(PyUnicode_FromString(encoding_name(s.waiting.front().kind)));
}

nb::object buffer_close_chunk(const vx::Call &call) {
    call.bind_none("close_chunk");
    close_chunk(as_buffer(call.self)->state);
    return nb::none();
}

nb::object chunk_data(PyObject *buffer, std::string &data) {
    nb::object made = vx::make_native<ChunkBytes>((PyTypeObject *)chunk_data_type.ptr());
    ChunkBytes &chunk = vx::native_state<ChunkBytes>(made.ptr());
    chunk.buffer = nb::borrow(buffer);
    chunk.data.swap(data);
    return made;
}

// take(): the closed chunks, oldest first, each (records, start, end, [(channel,
// index pairs as little-endian u64s), ...]); the records are a bytes-like object.
nb::object buffer_take(const vx::Call &call) {
    call.bind_none("take");
    RecordState &s = as_buffer(call.self)->state;
    nb::object chunks = vx::steal_or_throw(PyList_New(0));
    std::vector<Chunk> closed;
    {
        std::lock_guard<std::mutex> guard(s.mutex);
        take_closed(s, closed);
    }
    for (Chunk &chunk : closed) {
        nb::object indexes = vx::steal_or_throw(PyList_New(0));
        for (const ChannelIndex &index : chunk.indexes) {
            nb::object channel = vx::steal_or_throw(PyLong_FromLong(index.channel));
            nb::object pairs =
                vx::steal_or_throw(PyBytes_FromStringAndSize(index.bytes(), (Py_ssize_t)index.size()));
            nb::object entry = vx::steal_or_throw(PyTuple_Pack(2, channel.ptr(), pairs.ptr()));
            vx::check_status(PyList_Append(indexes.ptr(), entry.ptr()));
        }
        nb::object data = chunk_data(call.self.ptr(), chunk.data);
        nb::object start = vx::steal_or_throw(PyLong_FromUnsignedLongLong(chunk.start));
        nb::object end = vx::steal_or_throw(PyLong_FromUnsignedLongLong(chunk.end));
        nb::object entry = vx::steal_or_throw(PyTuple_Pack(4, data.ptr(), start.ptr(), end.ptr(), indexes.ptr()));
        vx::check_status(PyList_Append(chunks.ptr(), entry.ptr()));
    }
    return chunks;
}

// stop(): no more values are taken; returns how many waited (left out).
nb::object buffer_stop(const vx::Call &call) {
    call.bind_none("stop");
    RecordState &s = as_buffer(call.self)->state;
    s.taking = false;
    const size_t left = s.waiting.size();
    while (!s.waiting.empty())
        pop_front(s);
    return vx::steal_or_throw(PyLong_FromSize_t(left));
}

// stats(): (recorded, waiting, [(written, dropped) per tap]).
nb::object buffer_stats(const vx::Call &call) {
    call.bind_none("stats");
    RecordState &s = as_buffer(call.self)->state;
    nb::object taps = vx::steal_or_throw(PyList_New((Py_ssize_t)s.taps.size()));
    for (size_t i = 0; i < s.taps.size(); ++i) {
        nb::object written = vx::steal_or_throw(PyLong_FromUnsignedLongLong(s.taps[i].written));
        nb::object dropped = vx::steal_or_throw(PyLong_FromUnsignedLongLong(s.taps[i].dropped));
        PyList_SET_ITEM(taps.ptr(), (Py_ssize_t)i,
                        vx::steal_or_throw(PyTuple_Pack(2, written.ptr(), dropped.ptr())).release().ptr());
    }
    nb::object recorded = vx::steal_or_throw(PyLong_FromUnsignedLongLong(s.recorded));
    nb::object waiting = vx::steal_or_throw(PyLong_FromSize_t(s.waiting.size()));
    return vx::steal_or_throw(PyTuple_Pack(3, recorded.ptr(), waiting.ptr(), taps.ptr()));
}

// wait(timeout): sleeps, without the interpreter lock, until a push gave the writer
// work or wake() was called (True), or `timeout` seconds passed (False).
nb::object buffer_wait(const vx::Call &call) {
    static constexpr vx::Params<1> params{"wait", {"timeout"}};
    auto [timeout] = call.bind(params);
    const double seconds = vx::double_of(timeout);
    RecordState &s = as_buffer(call.self)->state;
    nb::object hold = nb::borrow(call.self);  // the state outlives the wait
    bool woken = s.signalled.exchange(false);
    if (!woken && seconds > 0.0) {
        const auto limit = std::chrono::duration<double>(std::min(seconds, 3600.0));
        woken = vx::without_interpreter_lock([&] {
            std::unique_lock<std::mutex> hold_lock(s.mutex);
            return s.work.wait_for(hold_lock, limit, [&] { return s.signalled.load(); });
        });
        s.signalled.store(false);
    }
    return nb::bool_(woken);
}

nb::object buffer_wake(const vx::Call &call) {
    call.bind_none("wake");
    signal_python(as_buffer(call.self)->state);
    return nb::none();
}

nb::object buffer_dropped(const vx::Call &call) {
    call.bind_none("dropped");
    RecordState &s = as_buffer(call.self)->state;
    unsigned long long total = 0;
    for (const TapState &tap : s.taps)
        total += tap.dropped;
    return vx::steal_or_throw(PyLong_FromUnsignedLongLong(total));
}

// pending(): whether anything waits for the writer (values or closed chunks).
nb::object buffer_pending(const vx::Call &call) {
    call.bind_none("pending");
    RecordState &s = as_buffer(call.self)->state;
    return nb::bool_(!s.waiting.empty() || s.closed_bytes.load() != 0);
}

Codec codec_named(PyObject *name) {
    const char *text = PyUnicode_Check(name) ? PyUnicode_AsUTF8(name) : nullptr;
    if (!text)
        vx::raise(PyExc_TypeError, "compression must be a str");
    if (std::strcmp(text, "zstd") == 0)
        return Codec::zstd;
    if (std::strcmp(text, "lz4") == 0)
        return Codec::lz4;
    if (std::strcmp(text, "none") == 0)
        return Codec::none;
    vx::raise(PyExc_ValueError, "compression must be 'zstd', 'lz4' or 'none'");
}

// can_write(compression): whether write_closed() can compress so here.
nb::object buffer_can_write(const vx::Call &call) {
    static constexpr vx::Params<1> params{"can_write", {"compression"}};
    auto [compression] = call.bind(params);
    return nb::bool_(codec_available(codec_named(compression)));
}

// Compresses and writes `chunks`, each with its message indexes, at `position` of
// file `fd` (moved on past what was written); run without the interpreter lock.
// Returns 0, or the errno of what stopped it (the file then ends before the chunk
// that failed, and `done` lists the chunks before it).
int write_chunks(Codec codec, int fd, uint64_t &position, std::vector<Chunk> &chunks, std::vector<Written> &done) {
    int error = 0;
    const char *name = codec == Codec::zstd ? "zstd" : codec == Codec::lz4 ? "lz4" : "";
    const size_t name_size = std::strlen(name);
    try {
        thread_local Compressed compressed;  // the writer's, from one chunk to the next
        std::string head, indexes;
        for (Chunk &chunk : chunks) {
            struct {
                const char *bytes;
                size_t length;
                const char *data() const { return bytes; }
                size_t size() const { return length; }
            } view{chunk.data.data(), chunk.data.size()}, *body = &view;
            if (codec != Codec::none) {
                if (!compress_into(codec, chunk.data, compressed)) {
                    error = errno;
                    break;
                }
                view = {compressed.data(), compressed.size};
            }
            head.clear();
            head.push_back(0x06);
            vx::le::append(head, 8 * 3 + 4 + 4 + name_size + 8 + body->size());
            vx::le::append(head, chunk.start);
            vx::le::append(head, chunk.end);
            vx::le::append(head, chunk.data.size());
            const uint32_t crc = crc_of(chunk.data);
            const uint32_t lengths[2] = {crc, (uint32_t)name_size};
            for (uint32_t value : lengths)
                vx::le::append(head, value, 4);
            head.append(name, name_size);
            vx::le::append(head, body->size());
            Written entry{chunk.start, chunk.end, position, head.size() + body->size(), 0, body->size(),
                          chunk.data.size(), {}};
            indexes.clear();
            uint64_t at = position + entry.chunk_length;
            for (const ChannelIndex &index : chunk.indexes) {
                entry.indexes.emplace_back(index.channel, at + indexes.size(), index.size() / 16);
                indexes.push_back(0x07);
                vx::le::append(indexes, 6 + index.size());
                vx::le::append(indexes, index.channel, 2);
                vx::le::append(indexes, (uint32_t)index.size(), 4);
                indexes.append(index.bytes(), index.size());
            }
            entry.index_length = indexes.size();
            uint64_t written = 0;
            if (!write_all(fd, position, {{head.data(), head.size()}, {body->data(), body->size()},
                                          {indexes.data(), indexes.size()}}, written)) {
                error = errno;
                break;
            }
            position += written;
            done.push_back(std::move(entry));
        }
    } catch (...) {  // out of memory: reported as such
        error = ENOMEM;
    }
    return error;
}

// The written chunks as (start, end, offset, chunk length, [(channel, index offset,
// messages), ...], index length, compressed size, uncompressed size) tuples.
nb::object written_list(const std::vector<Written> &done) {
    nb::object list = vx::steal_or_throw(PyList_New(0));
    for (const Written &entry : done) {
        nb::object indexes = vx::steal_or_throw(PyList_New(0));
        for (const auto &[channel, offset, count] : entry.indexes) {
            nb::object item = vx::steal_or_throw(Py_BuildValue("(iKK)", (int)channel, (unsigned long long)offset,
                                                               (unsigned long long)count));
            vx::check_status(PyList_Append(indexes.ptr(), item.ptr()));
        }
        nb::object item = vx::steal_or_throw(Py_BuildValue(
            "(KKKKOKKK)", (unsigned long long)entry.start, (unsigned long long)entry.end,
            (unsigned long long)entry.offset, (unsigned long long)entry.chunk_length, indexes.ptr(),
            (unsigned long long)entry.index_length, (unsigned long long)entry.compressed,
            (unsigned long long)entry.uncompressed));
        vx::check_status(PyList_Append(list.ptr(), item.ptr()));
    }
    return list;
}

struct FileArgs {
    int fd;
    uint64_t position;
    Codec codec;
};

FileArgs file_args(PyObject *fd_arg, PyObject *position_arg, PyObject *compression) {
    const long fd = vx::long_of(fd_arg);
    if (fd < 0 || fd > INT32_MAX)
        vx::raise(PyExc_ValueError, "not a file descriptor");
    const unsigned long long position = vx::unsigned_long_long_of(position_arg);
    const Codec codec = codec_named(compression);
    if (!codec_available(codec))
        vx::raise(PyExc_RuntimeError, "the compressor is not available here");
    return {(int)fd, (uint64_t)position, codec};
}

// write_closed(fd, position, compression): compresses and writes every closed chunk
// with its message indexes at `position` of file `fd`, all without the interpreter
// lock. Returns (position, errno, [(start, end, offset, chunk length, [(channel,
// index offset, messages), ...], index length, compressed size, uncompressed
// size), ...]) for the chunks written; errno is 0, or why the write stopped (the
// file then ends before the chunk that failed).
nb::object buffer_write_closed(const vx::Call &call) {
    static constexpr vx::Params<3> params{"write_closed", {"fd", "position", "compression"}};
    auto [fd_arg, position_arg, compression] = call.bind(params);
    RecordState &s = as_buffer(call.self)->state;
    FileArgs file = file_args(fd_arg, position_arg, compression);
    std::vector<Chunk> chunks;
    {
        std::lock_guard<std::mutex> guard(s.mutex);
        take_closed(s, chunks);
    }
    if (chunks.empty())
        return vx::steal_or_throw(Py_BuildValue("(Ki[])", (unsigned long long)file.position, 0));
    nb::object hold = nb::borrow(call.self);
    std::vector<Written> done;
    const int error =
        vx::without_interpreter_lock([&] { return write_chunks(file.codec, file.fd, file.position, chunks, done); });
    for (Chunk &chunk : chunks)
        keep_spare(s, chunk.data);
    nb::object list = written_list(done);
    return vx::steal_or_throw(Py_BuildValue("(KiO)", (unsigned long long)file.position, error, list.ptr()));
}

// How serve()'s wait ended: the errno of a write that failed (or 0), and whether
// it was woken for Python work.
struct Served {
    int error = 0;
    bool woken = false;
};

// serve()'s loop, without the interpreter lock.
Served serve_until(RecordState &s, FileArgs &file, std::chrono::steady_clock::time_point deadline,
                   std::vector<Written> &done) {
    Served served;
    try {
        std::vector<Chunk> chunks;
        std::unique_lock<std::mutex> lock(s.mutex);
        while (true) {
            s.signalled.store(false);  // every signal is seen here, under the mutex
            if (s.python_work.exchange(false)) {
                served.woken = true;
                break;
            }
            if (!s.closed.empty()) {
                take_closed(s, chunks);
                lock.unlock();
                served.error = write_chunks(file.codec, file.fd, file.position, chunks, done);
                s.file_position.store(file.position);
                for (Chunk &chunk : chunks)
                    keep_spare(s, chunk.data);
                chunks.clear();
                lock.lock();
                if (served.error)
                    break;
                continue;
            }
            if (std::chrono::steady_clock::now() >= deadline)
                break;
            s.work.wait_until(lock, deadline);
        }
    } catch (...) {  // out of memory: reported with the lock taken back
        served.error = ENOMEM;
    }
    return served;
}

// serve(fd, position, compression, timeout): the writer's sleep, without the
// interpreter lock, until a value waits for its Python code or wake() is called
// (woken True), `timeout` seconds pass or a write fails; meanwhile it compresses and
// writes each chunk a push closes, as write_closed() does, at once. Returns
// (position, errno, [written chunks as write_closed() gives them], woken).
nb::object buffer_serve(const vx::Call &call) {
    static constexpr vx::Params<4> params{"serve", {"fd", "position", "compression", "timeout"}};
    auto [fd_arg, position_arg, compression, timeout] = call.bind(params);
    RecordState &s = as_buffer(call.self)->state;
    FileArgs file = file_args(fd_arg, position_arg, compression);
    const double seconds = vx::double_of(timeout);
    nb::object hold = nb::borrow(call.self);  // the state outlives the wait
    std::vector<Written> done;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(std::max(0.0, std::min(seconds, 3600.0))));
    const Served served = vx::without_interpreter_lock([&] { return serve_until(s, file, deadline, done); });
    const int error = served.error;
    const bool woken = served.woken;
    nb::object list = written_list(done);
    return vx::steal_or_throw(
        Py_BuildValue("(KiOO)", (unsigned long long)file.position, error, list.ptr(), woken ? Py_True : Py_False));
}

// written_to(): where serve() has written the file to (0 before it wrote).
nb::object buffer_written_to(const vx::Call &call) {
    call.bind_none("written_to");
    return vx::steal_or_throw(PyLong_FromUnsignedLongLong(as_buffer(call.self)->state.file_position.load()));
}

// write_ready(): writes the oldest waiting values as long as each was pickled at its
// push and its tap's channel is made; True when a closed chunk waits to be written.
nb::object buffer_write_ready(const vx::Call &call) {
    call.bind_none("write_ready");
    RecordState &s = as_buffer(call.self)->state;
    write_ready(s);
    return nb::bool_(s.closed_bytes.load() != 0);
}

// set_channel_maker(maker): `maker(tap)` is called on the pushing thread at a tap's
// first natively pickled value, when no value waits; it returns (channel id,
// channel record or None when the record is in the file already), or None to leave
// the value to the writer. None: no maker.
nb::object buffer_set_channel_maker(const vx::Call &call) {
    static constexpr vx::Params<1> params{"set_channel_maker", {"maker"}};
    auto [maker] = call.bind(params);
    if (maker != Py_None && !PyCallable_Check(maker))
        vx::raise(PyExc_TypeError, "the channel maker must be callable or None");
    RecordState &s = as_buffer(call.self)->state;
    PyObject *old = s.channel_maker;
    s.channel_maker = maker != Py_None ? Py_NewRef(maker) : nullptr;
    Py_XDECREF(old);
    return nb::none();
}

auto buffer_methods = vx::method_table(
    VX_METHOD("front", buffer_front, "(tap, stamp, value, pickle) of the oldest waiting value, or None."),
    VX_METHOD("write_front", buffer_write_front,
              "Write the oldest waiting value on `channel` and take it off; True when a closed chunk waits."),
    VX_METHOD("drop_front", buffer_drop_front, "Take the oldest waiting value off, unwritten."),
    VX_METHOD("add_message", buffer_add_message, "A message of head + data on `channel` into the open chunk."),
    VX_METHOD("add_record", buffer_add_record, "A whole record into the open chunk."),
    VX_METHOD("set_channel", buffer_set_channel, "The channel of tap `tap` for an encoding (pickle5 or json)."),
    VX_METHOD("front_encoding", buffer_front_encoding, "The encoding of the oldest waiting value's data, or None."),
    VX_METHOD("close_chunk", buffer_close_chunk, "Close the open chunk when it holds a message."),
    VX_METHOD("take", buffer_take, "The closed chunks, oldest first."),
    VX_METHOD("stop", buffer_stop, "Take no more values; the number of those that waited."),
    VX_METHOD("stats", buffer_stats, "(recorded, waiting, [(written, dropped) per tap])."),
    VX_METHOD("dropped", buffer_dropped, "Values the taps turned away."),
    VX_METHOD("can_write", buffer_can_write, "Whether write_closed() can compress so here."),
    VX_METHOD("write_closed", buffer_write_closed,
              "Compress and write the closed chunks at `position` of file `fd`, without the interpreter lock."),
    VX_METHOD("wait", buffer_wait, "Sleep until there is work for the writer (True) or `timeout` seconds pass."),
    VX_METHOD("wake", buffer_wake, "End the writer's wait()."),
    VX_METHOD("pending", buffer_pending, "Whether values or closed chunks wait for the writer."),
    VX_METHOD("serve", buffer_serve,
              "Write the chunks the taps close until a value waits for the writer, wake() or `timeout` seconds."),
    VX_METHOD("written_to", buffer_written_to, "Where serve() has written the file to."),
    VX_METHOD("write_ready", buffer_write_ready,
              "Write the oldest waiting values that were pickled at their push and have a channel."),
    VX_METHOD("set_channel_maker", buffer_set_channel_maker,
              "The callable that makes a tap's pickle channel on the pushing thread."));

// --- ChunkData ------------------------------------------------------------------------

int chunk_getbuffer(PyObject *self, Py_buffer *view, int flags) {
    ChunkBytes &chunk = vx::native_state<ChunkBytes>(self);
    if (PyBuffer_FillInfo(view, self, chunk.data.data(), (Py_ssize_t)chunk.data.size(), 1, flags) < 0)
        return -1;
    ++chunk.exports;
    return 0;
}

void chunk_releasebuffer(PyObject *self, Py_buffer *) { --vx::native_state<ChunkBytes>(self).exports; }

Py_ssize_t chunk_length(PyObject *self) { return (Py_ssize_t)vx::native_state<ChunkBytes>(self).data.size(); }

} // namespace

nb::object make_record_buffer_type() {
    chunk_data_type.set(vx::make_native_type<ChunkBytes>(
        {"velarix.imp.portan.ChunkData",
         "A closed chunk's records (read-only bytes-like).",
         {{Py_bf_getbuffer, (void *)chunk_getbuffer},
          {Py_bf_releasebuffer, (void *)chunk_releasebuffer},
          {Py_sq_length, (void *)chunk_length}}}));
    return nb::borrow(buffer_type.set(vx::make_native_type<RecordState>(
        {"velarix.imp.portan.RecordBuffer",
         "A recording's open chunk, closed chunks and waiting values.",
         {{Py_tp_new, (void *)vx::slot_new<buffer_new>},
          {Py_tp_init, (void *)vx::slot_init<buffer_init>},
          {Py_tp_methods, (void *)buffer_methods.rows}}})));
}

} // namespace portan
