// A recording's RecordBuffer: the open chunk the taps write into, the closed chunks
// waiting for the writer, and the values waiting to be encoded by it.
//
// The open chunk and the waiting values change only with the interpreter lock held
// and while no Python code runs (the only Python code a push may run, reading an
// array's size or making its tap's channel, runs before), so the pushing threads
// and the writer need no lock of their own for them. The writer keeps push order
// by taking waiting values from the front and writing each before it lets a later
// push go straight into the chunk. The closed chunks (and the spare chunk memory)
// are the mutex's: the writer takes and writes them without the interpreter lock.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "common/kept.hpp"
#include "common/little_endian.hpp"
#include "common/method.hpp"
#include "common/native_type.hpp"
#include "portan/record/json.hpp"
#include "portan/record/pickler.hpp"

namespace portan {

constexpr size_t message_head = 31;  // opcode, length, channel, sequence, log and publish time

inline uint64_t now_ns() {
    timespec reading;
    clock_gettime(CLOCK_REALTIME, &reading);
    return (uint64_t)reading.tv_sec * 1000000000ull + (uint64_t)reading.tv_nsec;
}


struct ChannelIndex {
    uint16_t channel;
    // (log time, offset) pairs, each number as its little-endian bytes: the message
    // index's records as they are written.
    std::vector<uint64_t> pairs;
    const char *bytes() const { return (const char *)pairs.data(); }
    size_t size() const { return pairs.size() * 8; }
};

struct Chunk {
    std::string data;
    std::vector<ChannelIndex> indexes;  // in the order of the channels' first messages
    uint64_t start = 0, end = 0;
    bool has_start = false;
    uint64_t values = 0;
};

// The encodings a push writes natively: a tap has a channel for each.
enum Kind : uint8_t { pickle_kind = 0, json_kind = 1 };
inline const char *encoding_name(Kind kind) { return kind == json_kind ? "json" : "pickle5"; }

struct Waiting {
    uint32_t tap;
    uint64_t stamp;
    PyObject *value;      // owned; null when `pickled` holds the value
    std::string pickled;  // the value encoded at the push (as `kind` says)
    Py_ssize_t size;      // bytes it holds against the limit
    Kind kind = pickle_kind;
};

struct TapState {
    // Its channels' ids by Kind once made, else 0.
    std::atomic<uint16_t> channel[2]{0, 0};
    unsigned long long written = 0;
    unsigned long long dropped = 0;
    bool asked[2] = {false, false};  // the recorder was asked for the channel (once)
    TapState() = default;
    TapState(const TapState &other) : written(other.written), dropped(other.dropped) { *this = other; }
    TapState &operator=(const TapState &other) {
        for (int i = 0; i < 2; ++i) {
            channel[i].store(other.channel[i].load());
            asked[i] = other.asked[i];
        }
        written = other.written;
        dropped = other.dropped;
        return *this;
    }
};

struct RecordState {
    Chunk open;
    std::string spare;  // a written chunk's memory, for the next one: no fresh pages
    std::deque<Chunk> closed;
    std::atomic<size_t> closed_bytes{0};  // read by a push without the mutex
    std::deque<Waiting> waiting;
    Py_ssize_t waiting_bytes = 0;
    std::vector<TapState> taps;
    unsigned long long recorded = 0;
    Py_ssize_t capacity = 1, most_bytes = 1;
    size_t chunk_size = 1 << 20;
    PyObject *array_type = nullptr;  // numpy.ndarray when numpy was loaded, owned
    // The recorder's maker of a tap's pickle channel, called on the pushing thread
    // with the tap's number at its first natively pickled value; owned.
    PyObject *channel_maker = nullptr;
    std::atomic<uint64_t> file_position{0};  // where serve() has written the file to
    bool taking = true;
    bool json = false;  // plain values as JSON, the rest pickled; else all pickled
    Pickler pickler;
    JsonWriter json_writer;
    // The writer sleeps without the interpreter lock until there is work: a closed
    // chunk, a first value waiting, or wake(). Only those moments signal, so a push
    // that just adds to the open chunk touches neither the mutex nor the writer.
    // `python_work` is the part of it that needs the writer's Python code (a value
    // to encode, wake()): serve() writes closed chunks by itself.
    std::atomic<bool> signalled{false};
    std::atomic<bool> python_work{false};
    std::mutex mutex;
    std::condition_variable work;
    bool initialized = false;  // the taps are set once: a push may wait on one of them

    // The native type's hooks (native_type.hpp), in buffer.cpp.
    int traverse(visitproc visit, void *arg) const;
    void clear();
};

inline void signal_writer(RecordState &s) {
    if (s.signalled.exchange(true))
        return;
    std::lock_guard<std::mutex> guard(s.mutex);
    s.work.notify_all();
}

inline void signal_python(RecordState &s) {
    s.python_work.store(true);
    s.signalled.store(true);
    std::lock_guard<std::mutex> guard(s.mutex);
    s.work.notify_all();
}

using RecordBuffer = vx::Native<RecordState>;

// A recorder tap: the buffer its pushes go into, and its number there.
struct TapLink {
    nb::object buffer;  // kept until dealloc: a push may still reach the tap
    uint32_t index = 0;

    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(buffer.ptr());
        return 0;
    }
    void dispose() { vx::clear(buffer); }
};

using RecordTap = vx::Native<TapLink>;

// A closed chunk's records as a read-only bytes-like object, without a copy; its
// memory goes back to the buffer for a later chunk once the writer is done with it.
struct ChunkBytes {
    nb::object buffer;
    std::string data;
    Py_ssize_t exports = 0;

    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(buffer.ptr());
        return 0;
    }
    void dispose();  // in buffer.cpp
};

using ChunkData = vx::Native<ChunkBytes>;

inline vx::Kept buffer_type;
inline vx::Kept chunk_data_type;

inline RecordState &state_of(PyObject *buffer) { return ((RecordBuffer *)buffer)->state; }

inline RecordBuffer *as_buffer(nb::handle handle) {
    PyObject *self = handle.ptr();
    if (Py_TYPE(self) != (PyTypeObject *)buffer_type.ptr())
        vx::raise(PyExc_TypeError, "expected a RecordBuffer");
    return (RecordBuffer *)self;
}

// `by_tap`: closed by a push, so the writer is told. Without memory to close it,
// the chunk stays open and closes at a later message.
inline void close_chunk(RecordState &s, bool by_tap = false) {
    if (s.open.indexes.empty())
        return;  // channels alone wait for the first message
    try {
        std::lock_guard<std::mutex> guard(s.mutex);
        s.closed.push_back(std::move(s.open));  // as it was when this throws
        s.closed_bytes += s.closed.back().data.size();
        s.open = Chunk();
        s.open.data.swap(s.spare);
        s.work.notify_all();  // a serving writer takes it at once
    } catch (const std::bad_alloc &) {
        return;
    }
    s.open.data.clear();
    try {
        s.open.data.reserve(std::min<size_t>(s.chunk_size + 4096, 64u << 20));
    } catch (const std::bad_alloc &) {  // it grows as messages come
    }
    if (by_tap)
        signal_writer(s);
}

// The message head at `at` in the open chunk, its index entry, and the counts.
inline void finish_message(RecordState &s, size_t at, uint16_t channel, uint64_t stamp, uint32_t tap,
                    bool by_tap = false) {
    // The index entry first: the only step that may run out of memory, it leaves
    // the chunk as it was (the caller then cuts the message off).
    ChannelIndex *index = nullptr;
    for (ChannelIndex &entry : s.open.indexes)
        if (entry.channel == channel) {
            index = &entry;
            break;
        }
    if (!index) {
        s.open.indexes.push_back({channel, {}});
        index = &s.open.indexes.back();
    }
    try {
        if (index->pairs.capacity() < index->pairs.size() + 2)  // grown geometrically, as push_back would
            index->pairs.reserve(std::max<size_t>(64, index->pairs.capacity() * 2));
    } catch (...) {
        if (index->pairs.empty())
            s.open.indexes.pop_back();
        throw;
    }
    char *head = &s.open.data[at];
    head[0] = 0x05;
    vx::le::put(head + 1, s.open.data.size() - at - 9, 8);
    vx::le::put(head + 9, channel, 2);
    vx::le::put(head + 11, s.recorded & 0xffffffffu, 4);  // the sequence
    vx::le::put(head + 15, stamp, 8);
    vx::le::put(head + 23, stamp, 8);
    index->pairs.push_back(vx::le::in_memory(stamp));
    index->pairs.push_back(vx::le::in_memory(at));
    if (!s.open.has_start || stamp < s.open.start)
        s.open.start = stamp;
    s.open.has_start = true;
    if (stamp > s.open.end)
        s.open.end = stamp;
    ++s.open.values;
    ++s.recorded;
    if (tap < s.taps.size())
        ++s.taps[tap].written;
    if (s.open.data.size() >= s.chunk_size)
        close_chunk(s, by_tap);
}

// A message of `head` + `data` on `channel`, pushed at `stamp`.
inline void add_message(RecordState &s, uint16_t channel, uint64_t stamp, const char *head, size_t head_size,
                 const char *data, size_t size, uint32_t tap, bool by_tap = false) {
    const size_t at = s.open.data.size();
    try {
        s.open.data.append(message_head, '\0');
        s.open.data.append(head, head_size);
        s.open.data.append(data, size);
        finish_message(s, at, channel, stamp, tap, by_tap);
    } catch (...) {  // out of memory: the chunk as it was
        s.open.data.resize(at);
        throw;
    }
}

// The bytes a waiting value holds: a bytes-like value's or an array's.
inline Py_ssize_t size_of(RecordState &s, PyObject *value) {
    PyTypeObject *type = Py_TYPE(value);
    if (type == &PyBytes_Type)
        return PyBytes_GET_SIZE(value);
    if (type == &PyByteArray_Type)
        return PyByteArray_GET_SIZE(value);
    if (type == &PyMemoryView_Type)
        return PyMemoryView_GET_BUFFER(value)->len;
    if (s.array_type && (PyObject *)type == s.array_type) {
        nb::object nbytes = vx::getattr(value, "nbytes");
        const Py_ssize_t size = PyLong_AsSsize_t(nbytes.ptr());
        if (size == -1 && PyErr_Occurred())
            vx::throw_error_already_set();
        return size;
    }
    return -1;  // counts no bytes
}

inline void release_waiting(RecordState &s, Waiting &item) {
    if (item.size > 0)
        s.waiting_bytes -= item.size;
}

// Appends `value` encoded natively to `out` and sets `kind`: as JSON where the
// buffer takes JSON and JSON gives the value back exactly, else pickled. False
// (`out` as it was) when only the writer's Python code can encode it.
inline bool encode_native(RecordState &s, std::string &out, PyObject *value, Kind &kind) {
    if (s.json && s.json_writer.dump(out, value)) {
        kind = json_kind;
        return true;
    }
    kind = pickle_kind;
    return s.pickler.dump(out, value);
}

// Writes the oldest waiting values as long as each was encoded at its push and its
// tap's channel for that encoding is made (and no closed chunk waits for the writer).
inline void write_ready(RecordState &s) {
    while (!s.waiting.empty() && s.closed_bytes.load() == 0) {
        Waiting &item = s.waiting.front();
        if (item.value || item.tap >= s.taps.size())
            break;
        const uint16_t channel = s.taps[item.tap].channel[item.kind].load();
        if (channel == 0)
            break;
        add_message(s, channel, item.stamp, "", 0, item.pickled.data(), item.pickled.size(), item.tap);
        PyObject *held = s.waiting.front().value;  // none: it was encoded, so this runs no code
        release_waiting(s, s.waiting.front());
        s.waiting.pop_front();
        Py_XDECREF(held);
    }
}

} // namespace portan
