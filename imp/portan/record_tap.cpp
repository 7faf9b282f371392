// RecordBuffer and RecordTap (record_tap.hpp), and the native pickler they use.
//
// Everything here runs with the interpreter lock held and runs no Python code while
// it changes a buffer (the only Python code a push may run, reading an array's
// size, runs before), so the pushing threads and the writer thread need no lock of
// their own. The writer keeps push order by taking waiting values from the front
// and writing each before it lets a later push go straight into the chunk.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <unistd.h>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "common/method.hpp"
#include "common/runtime.hpp"
#include "event.hpp"
#include "record_tap.hpp"

namespace portan {
namespace {

// --- the native pickler ---------------------------------------------------------------
//
// Writes what pickle.dumps(value, protocol=5) writes, byte for byte, for values made
// of None, bool, int (64 bits), float, str, bytes, bytearray, list, tuple and dict of
// those exact types: the same opcodes, memo and batches, in one frame. Anything else
// (a subclass, a bigger int, a string with lone surrogates, a value that would need a
// second frame, a recursive tuple, a very deep nesting) it leaves to the pickle module.

constexpr size_t max_body = 60000;  // under the pickle module's 64 KB frame target
constexpr int max_depth = 100;      // deeper values go to the pickle module (and its limit)
constexpr size_t batch = 1000;      // the pickle module's APPENDS / SETITEMS batch

class Pickler {
public:
    // Appends the pickle of `value` to `out` and returns true, or leaves `out` as it
    // was and returns false.
    bool dump(std::string &out, PyObject *value) {
        out_ = &out;
        const size_t begin = out.size();
        out.append("\x80\x05", 2);
        const size_t frame = out.size();
        out.append(9, '\0');
        body_ = out.size();
        memo_.clear();
        memo_index_.clear();
        tuples_.clear();
        bool done = false;
        try {
            done = save(value, 0);
        } catch (...) {
            out.resize(begin);
            throw;
        }
        if (!done) {
            out.resize(begin);
            return false;
        }
        out.push_back('.');
        const uint64_t length = out.size() - body_;
        if (length >= 4) {
            out[frame] = '\x95';
            put_le(&out[frame + 1], length, 8);
        } else {
            out.erase(frame, 9);
        }
        return true;
    }

private:
    static void put_le(char *at, uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            at[i] = (char)((value >> (8 * i)) & 0xff);
    }

    void op(char code) { out_->push_back(code); }

    void op_le(char code, uint64_t value, int bytes) {
        char head[9];
        head[0] = code;
        put_le(head + 1, value, bytes);
        out_->append(head, (size_t)bytes + 1);
    }

    bool room_for(size_t more) const { return out_->size() - body_ + more <= max_body; }

    long find(PyObject *value) const {
        if (!memo_index_.empty()) {
            auto found = memo_index_.find(value);
            return found == memo_index_.end() ? -1 : (long)found->second;
        }
        for (size_t i = 0; i < memo_.size(); ++i)
            if (memo_[i] == value)
                return (long)i;
        return -1;
    }

    void memoize(PyObject *value) {
        memo_.push_back(value);
        if (memo_.size() == 17) {
            for (size_t i = 0; i < memo_.size(); ++i)
                memo_index_.emplace(memo_[i], (uint32_t)i);
        } else if (!memo_index_.empty()) {
            memo_index_.emplace(value, (uint32_t)(memo_.size() - 1));
        }
        op('\x94');  // MEMOIZE
    }

    bool save_long(PyObject *value) {
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow)
            return false;  // beyond 64 bits: LONG1 from the pickle module
        if (number == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        if (number >= -0x80000000LL && number <= 0x7fffffffLL) {
            const uint32_t bits = (uint32_t)(int32_t)number;
            if (bits & 0xffff0000u)
                op_le('J', bits, 4);  // BININT
            else if (bits & 0xff00u)
                op_le('M', bits, 2);  // BININT2
            else
                op_le('K', bits, 1);  // BININT1
            return true;
        }
        // LONG1: the fewest little-endian two's-complement bytes, as the pickle module
        // counts them (one more than the magnitude's bits need, less a redundant 0xff).
        const uint64_t magnitude = number < 0 ? 0 - (uint64_t)number : (uint64_t)number;
        const int bits = 64 - __builtin_clzll(magnitude);
        int bytes = (bits >> 3) + 1;
        unsigned char data[9];
        for (int i = 0; i < 9; ++i)
            data[i] = i < 8 ? (unsigned char)(((uint64_t)number >> (8 * i)) & 0xff) : (number < 0 ? 0xff : 0x00);
        if (number < 0 && bytes > 1 && data[bytes - 1] == 0xff && (data[bytes - 2] & 0x80) != 0)
            --bytes;
        op('\x8a');
        out_->push_back((char)bytes);
        out_->append((const char *)data, (size_t)bytes);
        return true;
    }

    bool save_sized(char short_code, char long_code, const char *data, Py_ssize_t size) {
        if (!room_for((size_t)size + 6))
            return false;
        if (size <= 0xff)
            op_le(short_code, (uint64_t)size, 1);
        else
            op_le(long_code, (uint64_t)size, 4);
        out_->append(data, (size_t)size);
        return true;
    }

    bool save(PyObject *value, int depth) {
        if (!room_for(16))
            return false;
        if (value == Py_None) {
            op('N');
            return true;
        }
        if (value == Py_True || value == Py_False) {
            op(value == Py_True ? '\x88' : '\x89');
            return true;
        }
        PyTypeObject *type = Py_TYPE(value);
        if (type == &PyLong_Type)
            return save_long(value);
        if (type == &PyFloat_Type) {
            char data[8];
            if (PyFloat_Pack8(PyFloat_AS_DOUBLE(value), data, 0) < 0) {
                PyErr_Clear();
                return false;
            }
            op('G');  // BINFLOAT, big-endian
            out_->append(data, 8);
            return true;
        }
        const long seen = find(value);
        if (seen >= 0) {
            if (seen < 256)
                op_le('h', (uint64_t)seen, 1);  // BINGET
            else
                op_le('j', (uint64_t)seen, 4);  // LONG_BINGET
            return true;
        }
        if (type == &PyBytes_Type) {
            if (!save_sized('C', 'B', PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value)))
                return false;
            memoize(value);
            return true;
        }
        if (type == &PyUnicode_Type) {
            Py_ssize_t size = 0;
            const char *data = PyUnicode_AsUTF8AndSize(value, &size);
            if (!data) {  // lone surrogates: the pickle module writes them its own way
                PyErr_Clear();
                return false;
            }
            if (!save_sized('\x8c', 'X', data, size))
                return false;
            memoize(value);
            return true;
        }
        if (depth >= max_depth)
            return false;
        if (type == &PyDict_Type)
            return save_dict(value, depth + 1);
        if (type == &PyList_Type)
            return save_list(value, depth + 1);
        if (type == &PyTuple_Type)
            return save_tuple(value, depth + 1);
        if (type == &PyByteArray_Type) {
            const Py_ssize_t size = PyByteArray_GET_SIZE(value);
            if (!room_for((size_t)size + 9))
                return false;
            op_le('\x96', (uint64_t)size, 8);  // BYTEARRAY8
            out_->append(PyByteArray_AS_STRING(value), (size_t)size);
            memoize(value);
            return true;
        }
        return false;
    }

    bool save_list(PyObject *list, int depth) {
        op(']');  // EMPTY_LIST
        memoize(list);
        const size_t size = (size_t)PyList_GET_SIZE(list);
        if (size == 1) {
            if (!save(PyList_GET_ITEM(list, 0), depth))
                return false;
            op('a');  // APPEND
            return true;
        }
        size_t total = 0;
        while (total < size) {
            op('(');  // MARK
            for (size_t in_batch = 0; total < size && in_batch < batch; ++in_batch, ++total)
                if (!save(PyList_GET_ITEM(list, (Py_ssize_t)total), depth))
                    return false;
            op('e');  // APPENDS
        }
        return true;
    }

    bool save_dict(PyObject *dict, int depth) {
        op('}');  // EMPTY_DICT
        memoize(dict);
        const Py_ssize_t size = PyDict_GET_SIZE(dict);
        if (size == 0)
            return true;
        Py_ssize_t position = 0;
        PyObject *key, *item;
        if (size == 1) {
            PyDict_Next(dict, &position, &key, &item);
            if (!save(key, depth) || !save(item, depth))
                return false;
            op('s');  // SETITEM
            return true;
        }
        // As the pickle module: a batch after every full one, so a multiple of the
        // batch size ends with an empty MARK SETITEMS.
        size_t in_batch;
        do {
            in_batch = 0;
            op('(');
            while (PyDict_Next(dict, &position, &key, &item)) {
                if (!save(key, depth) || !save(item, depth))
                    return false;
                if (++in_batch == batch)
                    break;
            }
            op('u');  // SETITEMS
        } while (in_batch == batch);
        return true;
    }

    bool save_tuple(PyObject *tuple, int depth) {
        const Py_ssize_t size = PyTuple_GET_SIZE(tuple);
        if (size == 0) {
            op(')');  // EMPTY_TUPLE, not memoized
            return true;
        }
        // A tuple met again inside itself (through a list or dict): the pickle module
        // writes it with POP and a memo get; it is left to it.
        if (std::find(tuples_.begin(), tuples_.end(), tuple) != tuples_.end())
            return false;
        tuples_.push_back(tuple);
        if (size > 3)
            op('(');
        for (Py_ssize_t i = 0; i < size; ++i)
            if (!save(PyTuple_GET_ITEM(tuple, i), depth))
                return false;
        tuples_.pop_back();
        op(size > 3 ? 't' : (char)('\x85' + size - 1));  // TUPLE, TUPLE1..3
        memoize(tuple);
        return true;
    }

    std::string *out_ = nullptr;
    size_t body_ = 0;
    std::vector<PyObject *> memo_;  // borrowed: no Python code runs while they are used
    std::unordered_map<PyObject *, uint32_t> memo_index_;
    std::vector<PyObject *> tuples_;
};

// --- the buffer -----------------------------------------------------------------------

constexpr size_t message_head = 31;  // opcode, length, channel, sequence, log and publish time

uint64_t now_ns() {
    timespec reading;
    clock_gettime(CLOCK_REALTIME, &reading);
    return (uint64_t)reading.tv_sec * 1000000000ull + (uint64_t)reading.tv_nsec;
}

void put_u64_at(char *at, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        at[i] = (char)((v >> (8 * i)) & 0xff);
}

void put_u64(std::string &out, uint64_t v) {
    char b[8];
    put_u64_at(b, v);
    out.append(b, 8);
}

struct ChannelIndex {
    uint16_t channel;
    std::string pairs;  // (log time, offset) as little-endian u64s
};

struct Chunk {
    std::string data;
    std::vector<ChannelIndex> indexes;  // in the order of the channels' first messages
    uint64_t start = 0, end = 0;
    bool has_start = false;
    uint64_t values = 0;
};

struct Waiting {
    uint32_t tap;
    uint64_t stamp;
    PyObject *value;      // owned; null when `pickled` holds the value
    std::string pickled;  // the value's pickle, made at the push
    Py_ssize_t size;      // bytes it holds against the limit
};

struct TapState {
    // Its pickle channel's id once the writer made it, else 0; read by a push that
    // waits for it without the interpreter lock.
    std::atomic<uint16_t> channel{0};
    unsigned long long written = 0;
    unsigned long long dropped = 0;
    bool asked = false;  // its first value went to the writer for the channel
    TapState() = default;
    TapState(const TapState &other)
        : channel(other.channel.load()), written(other.written), dropped(other.dropped), asked(other.asked) {}
    TapState &operator=(const TapState &other) {
        channel.store(other.channel.load());
        written = other.written;
        dropped = other.dropped;
        asked = other.asked;
        return *this;
    }
};

struct RecordState {
    Chunk open;
    std::string spare;  // a written chunk's memory, for the next one: no fresh pages
    std::deque<Chunk> closed;
    size_t closed_bytes = 0;
    std::deque<Waiting> waiting;
    Py_ssize_t waiting_bytes = 0;
    std::vector<TapState> taps;
    unsigned long long recorded = 0;
    Py_ssize_t capacity = 1, most_bytes = 1;
    size_t chunk_size = 1 << 20;
    PyObject *array_type = nullptr;  // numpy.ndarray when numpy was loaded, owned
    bool taking = true;
    Pickler pickler;
    // The writer sleeps without the interpreter lock until there is work: a closed
    // chunk, a first value waiting, or wake(). Only those moments signal, so a push
    // that just adds to the open chunk touches neither the mutex nor the writer.
    std::atomic<bool> signalled{false};
    std::mutex mutex;
    std::condition_variable work;
    std::condition_variable channel_made;  // set_channel(): a first push may go on
    bool initialized = false;  // the taps are set once: a push may wait on one of them
};

void signal_writer(RecordState &s) {
    if (s.signalled.exchange(true))
        return;
    std::lock_guard<std::mutex> guard(s.mutex);
    s.work.notify_one();
}

struct RecordBuffer {
    PyObject_HEAD
    RecordState state;
};

struct RecordTap {
    PyObject_HEAD
    PyObject *buffer;  // owned
    uint32_t index;
};

// A closed chunk's records as a read-only bytes-like object, without a copy; its
// memory goes back to the buffer for a later chunk once the writer is done with it.
struct ChunkData {
    PyObject_HEAD
    PyObject *buffer;  // owned
    std::string data;
    Py_ssize_t exports;
};

vx::Kept buffer_type;
vx::Kept chunk_data_type;

RecordState &state_of(PyObject *buffer) { return ((RecordBuffer *)buffer)->state; }

RecordBuffer *as_buffer(nb::handle handle) {
    PyObject *self = handle.ptr();
    if (Py_TYPE(self) != (PyTypeObject *)buffer_type.ptr())
        vx::raise(PyExc_TypeError, "expected a RecordBuffer");
    return (RecordBuffer *)self;
}

// `by_tap`: closed by a push, so the writer is told.
void close_chunk(RecordState &s, bool by_tap = false) {
    if (s.open.indexes.empty())
        return;  // channels alone wait for the first message
    s.closed_bytes += s.open.data.size();
    s.closed.push_back(std::move(s.open));
    s.open = Chunk();
    s.open.data.swap(s.spare);
    s.open.data.clear();
    s.open.data.reserve(std::min<size_t>(s.chunk_size + 4096, 64u << 20));
    if (by_tap)
        signal_writer(s);
}

// The message head at `at` in the open chunk, its index entry, and the counts.
void finish_message(RecordState &s, size_t at, uint16_t channel, uint64_t stamp, uint32_t tap,
                    bool by_tap = false) {
    char *head = &s.open.data[at];
    head[0] = 0x05;
    put_u64_at(head + 1, s.open.data.size() - at - 9);
    head[9] = (char)(channel & 0xff);
    head[10] = (char)(channel >> 8);
    const uint32_t sequence = (uint32_t)(s.recorded & 0xffffffffu);
    for (int i = 0; i < 4; ++i)
        head[11 + i] = (char)((sequence >> (8 * i)) & 0xff);
    put_u64_at(head + 15, stamp);
    put_u64_at(head + 23, stamp);
    ChannelIndex *index = nullptr;
    for (ChannelIndex &entry : s.open.indexes)
        if (entry.channel == channel) {
            index = &entry;
            break;
        }
    if (!index) {
        s.open.indexes.push_back({channel, std::string()});
        index = &s.open.indexes.back();
    }
    put_u64(index->pairs, stamp);
    put_u64(index->pairs, at);
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
void add_message(RecordState &s, uint16_t channel, uint64_t stamp, const char *head, size_t head_size,
                 const char *data, size_t size, uint32_t tap) {
    const size_t at = s.open.data.size();
    s.open.data.append(message_head, '\0');
    s.open.data.append(head, head_size);
    s.open.data.append(data, size);
    finish_message(s, at, channel, stamp, tap);
}

// The bytes a waiting value holds: a bytes-like value's or an array's.
Py_ssize_t size_of(RecordState &s, PyObject *value) {
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

void release_waiting(RecordState &s, Waiting &item) {
    if (item.size > 0)
        s.waiting_bytes -= item.size;
}

} // namespace
} // namespace portan

namespace vx {

void record_tap_receive(PyObject *tap_object, PyObject *value, int64_t &push_ns) {
    using namespace portan;
    RecordTap *tap = (RecordTap *)tap_object;
    RecordState &s = state_of(tap->buffer);
    if (!s.taking || tap->index >= s.taps.size())
        return;
    if (push_ns == 0)
        push_ns = (int64_t)now_ns();
    const uint64_t stamp = (uint64_t)push_ns;
    TapState &own = s.taps[tap->index];
    if (s.waiting.empty() && own.channel != 0) {
        if (s.closed_bytes > (size_t)s.most_bytes) {  // the writer is far behind
            ++own.dropped;
            return;
        }
        const size_t at = s.open.data.size();
        s.open.data.append(message_head, '\0');
        if (s.pickler.dump(s.open.data, value)) {
            finish_message(s, at, own.channel, stamp, tap->index, true);
            return;
        }
        s.open.data.resize(at);
    }
    // Behind values that wait, or not for the native pickler: waits for the writer.
    const Py_ssize_t size = size_of(s, value);  // may run code: before the checks
    if (!s.taking || tap->index >= s.taps.size())
        return;
    if ((Py_ssize_t)s.waiting.size() >= s.capacity ||
        (size >= 0 && s.waiting_bytes + size > s.most_bytes)) {
        ++s.taps[tap->index].dropped;
        return;
    }
    Waiting item{tap->index, stamp, nullptr, std::string(), size};
    // Pickled now when it can be, so a value changed after its push is recorded as
    // it was pushed.
    if (!s.pickler.dump(item.pickled, value))
        item.value = Py_NewRef(value);
    const bool pickled = item.value == nullptr;
    s.waiting.push_back(std::move(item));
    if (size > 0)
        s.waiting_bytes += size;
    if (s.waiting.size() == 1)
        signal_writer(s);
    TapState &tap_state = s.taps[tap->index];
    if (pickled && s.waiting.size() == 1 && tap_state.channel.load() == 0 && !tap_state.asked) {
        // The tap's first value, pickled already: the writer only makes its channel
        // from the port's metadata and copies it in. Waiting for that here, briefly
        // and without the interpreter lock, lets the writer in at once, so the values
        // after it go straight into the chunk instead of queueing behind it while the
        // writer waits for the lock.
        tap_state.asked = true;
        release_held_wakes();  // no node waits on this thread meanwhile
        PyThreadState *thread = PyEval_SaveThread();
        {
            std::unique_lock<std::mutex> hold(s.mutex);
            s.channel_made.wait_for(hold, std::chrono::milliseconds(10),
                                    [&] { return tap_state.channel.load() != 0; });
        }
        exit_safe([&] { PyEval_RestoreThread(thread); });
    }
}

} // namespace vx

namespace portan {
namespace {

// --- writing closed chunks without the interpreter lock -------------------------------------
//
// The compressors are the system's zstd and lz4 libraries, when they can be loaded;
// without them the writer compresses through the Python packages instead.

struct Codecs {
    size_t (*zstd_bound)(size_t) = nullptr;
    size_t (*zstd_compress)(void *, size_t, const void *, size_t, int) = nullptr;
    unsigned (*zstd_is_error)(size_t) = nullptr;
    size_t (*lz4_bound)(size_t, const void *) = nullptr;
    size_t (*lz4_compress)(void *, size_t, const void *, size_t, const void *) = nullptr;
    unsigned (*lz4_is_error)(size_t) = nullptr;
    unsigned long (*crc32)(unsigned long, const unsigned char *, unsigned) = nullptr;
    bool loaded = false;
};

Codecs &codecs() {
    static Codecs found;  // filled once, under the interpreter lock
    if (!found.loaded) {
        found.loaded = true;
        if (void *zstd = dlopen("libzstd.so.1", RTLD_NOW | RTLD_LOCAL)) {
            found.zstd_bound = (size_t(*)(size_t))dlsym(zstd, "ZSTD_compressBound");
            found.zstd_compress = (size_t(*)(void *, size_t, const void *, size_t, int))dlsym(zstd, "ZSTD_compress");
            found.zstd_is_error = (unsigned (*)(size_t))dlsym(zstd, "ZSTD_isError");
        }
        if (void *lz4 = dlopen("liblz4.so.1", RTLD_NOW | RTLD_LOCAL)) {
            found.lz4_bound = (size_t(*)(size_t, const void *))dlsym(lz4, "LZ4F_compressFrameBound");
            found.lz4_compress =
                (size_t(*)(void *, size_t, const void *, size_t, const void *))dlsym(lz4, "LZ4F_compressFrame");
            found.lz4_is_error = (unsigned (*)(size_t))dlsym(lz4, "LZ4F_isError");
        }
        if (void *z = dlopen("libz.so.1", RTLD_NOW | RTLD_LOCAL))
            found.crc32 = (unsigned long (*)(unsigned long, const unsigned char *, unsigned))dlsym(z, "crc32");
    }
    return found;
}

enum class Codec { none, zstd, lz4 };

bool codec_available(Codec codec) {
    Codecs &c = codecs();
    if (!c.crc32)
        return false;
    if (codec == Codec::zstd)
        return c.zstd_bound && c.zstd_compress && c.zstd_is_error;
    if (codec == Codec::lz4)
        return c.lz4_bound && c.lz4_compress && c.lz4_is_error;
    return true;
}

uint32_t crc_of(const std::string &data) {
    unsigned long crc = 0;
    size_t done = 0;
    while (done < data.size()) {
        const unsigned part = (unsigned)std::min<size_t>(data.size() - done, 1u << 30);
        crc = codecs().crc32(crc, (const unsigned char *)data.data() + done, part);
        done += part;
    }
    return (uint32_t)crc;
}

// False with `errno` set when the chunk could not be compressed.
bool compress_into(Codec codec, const std::string &data, std::string &out) {
    Codecs &c = codecs();
    if (codec == Codec::zstd) {
        out.resize(c.zstd_bound(data.size()));
        const size_t made = c.zstd_compress(&out[0], out.size(), data.data(), data.size(), 3);
        if (c.zstd_is_error(made)) {
            errno = EIO;
            return false;
        }
        out.resize(made);
    } else {
        out.resize(c.lz4_bound(data.size(), nullptr));
        const size_t made = c.lz4_compress(&out[0], out.size(), data.data(), data.size(), nullptr);
        if (c.lz4_is_error(made)) {
            errno = EIO;
            return false;
        }
        out.resize(made);
    }
    return true;
}

// All of `parts` at `position`, or false with errno set and the file cut back to
// `position` (a chunk is on disk whole or not at all).
bool write_all(int fd, uint64_t position, const std::vector<std::pair<const char *, size_t>> &parts,
               uint64_t &written) {
    written = 0;
    for (const auto &[data, size] : parts) {
        size_t done = 0;
        while (done < size) {
            const ssize_t n = ::write(fd, data + done, size - done);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                const int error = errno;
                if (ftruncate(fd, (off_t)position) == 0)
                    lseek(fd, (off_t)position, SEEK_SET);
                errno = error;
                return false;
            }
            done += (size_t)n;
            written += (uint64_t)n;
        }
    }
    return true;
}

struct Written {
    uint64_t start, end, offset, chunk_length, index_length, compressed, uncompressed;
    std::vector<std::tuple<uint16_t, uint64_t, uint64_t>> indexes;  // channel, offset, messages
};

// --- RecordBuffer's methods --------------------------------------------------------------

uint16_t channel_id(PyObject *number) {
    const long value = PyLong_AsLong(number);
    if (value == -1 && PyErr_Occurred())
        vx::throw_error_already_set();
    if (value < 1 || value > 0xffff)
        vx::raise(PyExc_ValueError, "a channel id is 1 to 65535");
    return (uint16_t)value;
}

PyObject *buffer_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *self = type->tp_alloc(type, 0);
    if (!self)
        return nullptr;
    try {
        new (&((RecordBuffer *)self)->state) RecordState();
    } catch (...) {
        PyObject_GC_UnTrack(self);
        type->tp_free(self);
        Py_DECREF(type);
        PyErr_NoMemory();
        return nullptr;
    }
    return self;
}

int buffer_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    RecordState &s = state_of(self);
    for (Waiting &item : s.waiting)
        Py_VISIT(item.value);
    Py_VISIT(s.array_type);
    return 0;
}

// Each value let go after it left the queue: releasing one may run code.
int buffer_clear(PyObject *self) {
    RecordState &s = state_of(self);
    while (!s.waiting.empty()) {
        PyObject *value = s.waiting.front().value;
        release_waiting(s, s.waiting.front());
        s.waiting.pop_front();
        Py_XDECREF(value);
    }
    Py_CLEAR(s.array_type);
    return 0;
}

void buffer_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    buffer_clear(self);
    state_of(self).~RecordState();
    type->tp_free(self);
    Py_DECREF(type);
}

// __init__(taps, queue_size, queue_bytes, chunk_size, array_type=None)
int buffer_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    Py_ssize_t count = 0, capacity = 0, most_bytes = 0, chunk_size = 0;
    PyObject *array_type = Py_None;
    static const char *keywords[] = {"taps", "queue_size", "queue_bytes", "chunk_size", "array_type", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "nnnn|O", (char **)keywords, &count, &capacity, &most_bytes,
                                     &chunk_size, &array_type))
        return -1;
    if (count < 0 || count > 0xffffff) {
        PyErr_SetString(PyExc_ValueError, "taps must be 0 to 16777215");
        return -1;
    }
    if (capacity < 1 || most_bytes < 1 || chunk_size < 1) {
        PyErr_SetString(PyExc_ValueError, "queue_size, queue_bytes and chunk_size must be at least 1");
        return -1;
    }
    RecordState &s = state_of(self);
    if (s.initialized) {
        PyErr_SetString(PyExc_RuntimeError, "a RecordBuffer is set up once");
        return -1;
    }
    s.initialized = true;
    try {
        s.taps.assign((size_t)count, TapState());
        s.open.data.reserve(std::min<size_t>((size_t)chunk_size + 4096, 64u << 20));
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return -1;
    }
    s.capacity = capacity;
    s.most_bytes = most_bytes;
    s.chunk_size = (size_t)chunk_size;
    PyObject *old = s.array_type;
    s.array_type = array_type != Py_None ? Py_NewRef(array_type) : nullptr;
    Py_XDECREF(old);
    return 0;
}

nb::object bytes_of(const std::string &data) {
    return vx::steal_or_throw(PyBytes_FromStringAndSize(data.data(), (Py_ssize_t)data.size()));
}

// front(): (tap, stamp, value, pickle) of the oldest waiting value, with value None
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

struct Buffer {
    Py_buffer view{};
    bool held = false;
    explicit Buffer(PyObject *object) {
        if (PyObject_GetBuffer(object, &view, PyBUF_SIMPLE) < 0)  // no Python code: bytes-like objects only
            vx::throw_error_already_set();
        held = true;
    }
    ~Buffer() {
        if (held)
            PyBuffer_Release(&view);
    }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
};

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
    std::unique_ptr<Buffer> body, start;
    if (data && data != Py_None)
        body = std::make_unique<Buffer>(data);
    if (head && head != Py_None)
        start = std::make_unique<Buffer>(head);
    Waiting &item = s.waiting.front();
    if (!body && item.value)
        vx::raise(PyExc_ValueError, "the waiting value has no pickle: give its data");
    const char *bytes = body ? (const char *)body->view.buf : item.pickled.data();
    const size_t size = body ? (size_t)body->view.len : item.pickled.size();
    add_message(s, id, item.stamp, start ? (const char *)start->view.buf : "", start ? (size_t)start->view.len : 0,
                bytes, size, item.tap);
    body.reset();
    start.reset();
    pop_front(s);
    return nb::bool_(!s.closed.empty());
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
    const unsigned long long stamp = PyLong_AsUnsignedLongLong(log_time);
    if (stamp == (unsigned long long)-1 && PyErr_Occurred())
        vx::throw_error_already_set();
    Buffer body(data);
    std::unique_ptr<Buffer> start;
    if (head && head != Py_None)
        start = std::make_unique<Buffer>(head);
    add_message(s, id, stamp, start ? (const char *)start->view.buf : "", start ? (size_t)start->view.len : 0,
                (const char *)body.view.buf, (size_t)body.view.len, UINT32_MAX);
    return nb::none();
}

// add_record(data): a whole record (a channel) into the open chunk.
nb::object buffer_add_record(const vx::Call &call) {
    static constexpr vx::Params<1> params{"add_record", {"data"}};
    auto [data] = call.bind(params);
    RecordState &s = as_buffer(call.self)->state;
    Buffer body(data);
    s.open.data.append((const char *)body.view.buf, (size_t)body.view.len);
    return nb::none();
}

// set_channel(tap, channel): the tap's pickle channel; its pushes now go straight
// into the chunk.
nb::object buffer_set_channel(const vx::Call &call) {
    static constexpr vx::Params<2> params{"set_channel", {"tap", "channel"}};
    auto [tap, channel] = call.bind(params);
    RecordState &s = as_buffer(call.self)->state;
    const Py_ssize_t index = PyLong_AsSsize_t(tap);
    if (index == -1 && PyErr_Occurred())
        vx::throw_error_already_set();
    if (index < 0 || (size_t)index >= s.taps.size())
        vx::raise(PyExc_IndexError, "no tap %zd", index);
    s.taps[(size_t)index].channel.store(channel_id(channel));
    std::lock_guard<std::mutex> guard(s.mutex);
    s.channel_made.notify_all();
    return nb::none();
}

nb::object buffer_close_chunk(const vx::Call &call) {
    call.bind_none("close_chunk");
    close_chunk(as_buffer(call.self)->state);
    return nb::none();
}

nb::object chunk_data(PyObject *buffer, std::string &data) {
    PyTypeObject *type = (PyTypeObject *)chunk_data_type.ptr();
    PyObject *made = type->tp_alloc(type, 0);
    if (!made)
        vx::throw_error_already_set();
    ChunkData *chunk = (ChunkData *)made;
    new (&chunk->data) std::string();
    chunk->buffer = Py_NewRef(buffer);
    chunk->exports = 0;
    chunk->data.swap(data);
    return nb::steal(made);
}

// take(): the closed chunks, oldest first, each (records, start, end, [(channel,
// index pairs as little-endian u64s), ...]); the records are a bytes-like object.
nb::object buffer_take(const vx::Call &call) {
    call.bind_none("take");
    RecordState &s = as_buffer(call.self)->state;
    nb::object chunks = vx::steal_or_throw(PyList_New(0));
    while (!s.closed.empty()) {
        Chunk &chunk = s.closed.front();
        nb::object indexes = vx::steal_or_throw(PyList_New(0));
        for (const ChannelIndex &index : chunk.indexes) {
            nb::object channel = vx::steal_or_throw(PyLong_FromLong(index.channel));
            nb::object pairs = bytes_of(index.pairs);
            nb::object entry = vx::steal_or_throw(PyTuple_Pack(2, channel.ptr(), pairs.ptr()));
            vx::check_status(PyList_Append(indexes.ptr(), entry.ptr()));
        }
        nb::object data = chunk_data(call.self.ptr(), chunk.data);
        nb::object start = vx::steal_or_throw(PyLong_FromUnsignedLongLong(chunk.start));
        nb::object end = vx::steal_or_throw(PyLong_FromUnsignedLongLong(chunk.end));
        nb::object entry = vx::steal_or_throw(PyTuple_Pack(4, data.ptr(), start.ptr(), end.ptr(), indexes.ptr()));
        vx::check_status(PyList_Append(chunks.ptr(), entry.ptr()));
        s.closed_bytes -= ((ChunkData *)data.ptr())->data.size();
        s.closed.pop_front();
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
    const double seconds = PyFloat_AsDouble(timeout);
    if (seconds == -1.0 && PyErr_Occurred())
        vx::throw_error_already_set();
    RecordState &s = as_buffer(call.self)->state;
    nb::object hold = nb::borrow(call.self);  // the state outlives the wait
    bool woken = s.signalled.exchange(false);
    if (!woken && seconds > 0.0) {
        const auto limit = std::chrono::duration<double>(std::min(seconds, 3600.0));
        PyThreadState *thread = PyEval_SaveThread();
        {
            std::unique_lock<std::mutex> hold_lock(s.mutex);
            woken = s.work.wait_for(hold_lock, limit, [&] { return s.signalled.load(); });
        }
        // At exit the interpreter may end this daemon thread right here (exit_safe.hpp).
        vx::exit_safe([&] { PyEval_RestoreThread(thread); });
        s.signalled.store(false);
    }
    return nb::bool_(woken);
}

nb::object buffer_wake(const vx::Call &call) {
    call.bind_none("wake");
    signal_writer(as_buffer(call.self)->state);
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
    return nb::bool_(!s.waiting.empty() || !s.closed.empty());
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
    const long fd = PyLong_AsLong(fd_arg);
    if (fd == -1 && PyErr_Occurred())
        vx::throw_error_already_set();
    unsigned long long position = PyLong_AsUnsignedLongLong(position_arg);
    if (position == (unsigned long long)-1 && PyErr_Occurred())
        vx::throw_error_already_set();
    const Codec codec = codec_named(compression);
    if (!codec_available(codec))
        vx::raise(PyExc_RuntimeError, "the compressor is not available here");
    std::vector<Chunk> chunks;
    if (s.closed.empty())
        return vx::steal_or_throw(Py_BuildValue("(Ki[])", position, 0));
    while (!s.closed.empty()) {
        s.closed_bytes -= s.closed.front().data.size();
        chunks.push_back(std::move(s.closed.front()));
        s.closed.pop_front();
    }
    nb::object hold = nb::borrow(call.self);
    std::vector<Written> done;
    int error = 0;
    const char *name = codec == Codec::zstd ? "zstd" : codec == Codec::lz4 ? "lz4" : "";
    const size_t name_size = std::strlen(name);
    PyThreadState *thread = PyEval_SaveThread();
    try {
        std::string compressed, head, indexes;
        for (Chunk &chunk : chunks) {
            const std::string *body = &chunk.data;
            if (codec != Codec::none) {
                if (!compress_into(codec, chunk.data, compressed)) {
                    error = errno;
                    break;
                }
                body = &compressed;
            }
            head.clear();
            head.push_back(0x06);
            put_u64(head, 8 * 3 + 4 + 4 + name_size + 8 + body->size());
            put_u64(head, chunk.start);
            put_u64(head, chunk.end);
            put_u64(head, chunk.data.size());
            const uint32_t crc = crc_of(chunk.data);
            const uint32_t lengths[2] = {crc, (uint32_t)name_size};
            for (uint32_t value : lengths)
                for (int i = 0; i < 4; ++i)
                    head.push_back((char)((value >> (8 * i)) & 0xff));
            head.append(name, name_size);
            put_u64(head, body->size());
            Written entry{chunk.start, chunk.end, position, head.size() + body->size(), 0, body->size(),
                          chunk.data.size(), {}};
            indexes.clear();
            uint64_t at = position + entry.chunk_length;
            for (const ChannelIndex &index : chunk.indexes) {
                entry.indexes.emplace_back(index.channel, at + indexes.size(), index.pairs.size() / 16);
                indexes.push_back(0x07);
                put_u64(indexes, 6 + index.pairs.size());
                indexes.push_back((char)(index.channel & 0xff));
                indexes.push_back((char)(index.channel >> 8));
                const uint32_t size = (uint32_t)index.pairs.size();
                for (int i = 0; i < 4; ++i)
                    indexes.push_back((char)((size >> (8 * i)) & 0xff));
                indexes += index.pairs;
            }
            entry.index_length = indexes.size();
            uint64_t written = 0;
            if (!write_all((int)fd, position, {{head.data(), head.size()}, {body->data(), body->size()},
                                               {indexes.data(), indexes.size()}}, written)) {
                error = errno;
                break;
            }
            position += written;
            done.push_back(std::move(entry));
        }
    } catch (...) {  // out of memory: reported below, with the lock
        error = ENOMEM;
    }
    vx::exit_safe([&] { PyEval_RestoreThread(thread); });
    for (Chunk &chunk : chunks)  // the memory of one for a later chunk
        if (s.spare.capacity() < chunk.data.capacity() &&
            chunk.data.capacity() <= std::min<size_t>(s.chunk_size + 4096, 64u << 20) * 2)
            s.spare.swap(chunk.data);
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
    return vx::steal_or_throw(Py_BuildValue("(KiO)", position, error, list.ptr()));
}

PyMethodDef buffer_methods[] = {
    VX_METHOD("front", buffer_front, "(tap, stamp, value, pickle) of the oldest waiting value, or None."),
    VX_METHOD("write_front", buffer_write_front,
              "Write the oldest waiting value on `channel` and take it off; True when a closed chunk waits."),
    VX_METHOD("drop_front", buffer_drop_front, "Take the oldest waiting value off, unwritten."),
    VX_METHOD("add_message", buffer_add_message, "A message of head + data on `channel` into the open chunk."),
    VX_METHOD("add_record", buffer_add_record, "A whole record into the open chunk."),
    VX_METHOD("set_channel", buffer_set_channel, "The pickle channel of tap `tap`."),
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
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot buffer_slots[] = {
    {Py_tp_doc, (void *)"A recording's open chunk, closed chunks and waiting values."},
    {Py_tp_new, (void *)buffer_new},
    {Py_tp_init, (void *)buffer_init},
    {Py_tp_dealloc, (void *)buffer_dealloc},
    {Py_tp_traverse, (void *)buffer_traverse},
    {Py_tp_clear, (void *)buffer_clear},
    {Py_tp_methods, (void *)buffer_methods},
    {0, nullptr},
};

PyType_Spec buffer_spec = {
    "velarix.imp.portan.RecordBuffer",
    sizeof(RecordBuffer),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    buffer_slots,
};

// --- RecordTap ---------------------------------------------------------------------------

PyObject *tap_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    PyObject *buffer = nullptr;
    unsigned int index = 0;
    static const char *keywords[] = {"buffer", "tap", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OI", (char **)keywords, &buffer, &index))
        return nullptr;
    if (Py_TYPE(buffer) != (PyTypeObject *)buffer_type.ptr()) {
        PyErr_SetString(PyExc_TypeError, "RecordTap(buffer, tap) needs a RecordBuffer");
        return nullptr;
    }
    if (index >= state_of(buffer).taps.size()) {
        PyErr_SetString(PyExc_IndexError, "no such tap in the buffer");
        return nullptr;
    }
    PyObject *self = type->tp_alloc(type, 0);
    if (!self)
        return nullptr;
    ((RecordTap *)self)->buffer = Py_NewRef(buffer);
    ((RecordTap *)self)->index = index;
    return self;
}

int tap_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(((RecordTap *)self)->buffer);
    return 0;
}

int tap_clear(PyObject *self) {
    (void)self;  // the buffer stays: a push may still reach the tap
    return 0;
}

void tap_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(((RecordTap *)self)->buffer);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot tap_slots[] = {
    {Py_tp_doc, (void *)"What a recorder tap's pushes go into: its recording's buffer."},
    {Py_tp_new, (void *)tap_new},
    {Py_tp_dealloc, (void *)tap_dealloc},
    {Py_tp_traverse, (void *)tap_traverse},
    {Py_tp_clear, (void *)tap_clear},
    {0, nullptr},
};

PyType_Spec tap_spec = {
    "velarix.imp.portan.RecordTap",
    sizeof(RecordTap),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    tap_slots,
};

// --- ChunkData ------------------------------------------------------------------------

int chunk_getbuffer(PyObject *self, Py_buffer *view, int flags) {
    ChunkData *chunk = (ChunkData *)self;
    if (PyBuffer_FillInfo(view, self, chunk->data.data(), (Py_ssize_t)chunk->data.size(), 1, flags) < 0)
        return -1;
    ++chunk->exports;
    return 0;
}

void chunk_releasebuffer(PyObject *self, Py_buffer *) { --((ChunkData *)self)->exports; }

Py_ssize_t chunk_length(PyObject *self) { return (Py_ssize_t)((ChunkData *)self)->data.size(); }

int chunk_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(((ChunkData *)self)->buffer);
    return 0;
}

void chunk_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    ChunkData *chunk = (ChunkData *)self;
    if (chunk->buffer) {
        RecordState &s = state_of(chunk->buffer);
        if (s.spare.capacity() < chunk->data.capacity() &&
            chunk->data.capacity() <= std::min<size_t>(s.chunk_size + 4096, 64u << 20) * 2)
            s.spare.swap(chunk->data);
    }
    Py_CLEAR(chunk->buffer);
    chunk->data.~basic_string();
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot chunk_slots[] = {
    {Py_tp_doc, (void *)"A closed chunk's records (read-only bytes-like)."},
    {Py_tp_dealloc, (void *)chunk_dealloc},
    {Py_tp_traverse, (void *)chunk_traverse},
    {Py_bf_getbuffer, (void *)chunk_getbuffer},
    {Py_bf_releasebuffer, (void *)chunk_releasebuffer},
    {Py_sq_length, (void *)chunk_length},
    {0, nullptr},
};

PyType_Spec chunk_spec = {
    "velarix.imp.portan.ChunkData",
    sizeof(ChunkData),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    chunk_slots,
};

} // namespace

nb::object make_record_buffer_type() {
    chunk_data_type.set_new(PyType_FromSpec(&chunk_spec));
    return nb::borrow(buffer_type.set_new(PyType_FromSpec(&buffer_spec)));
}

nb::object make_record_tap_type() {
    return nb::borrow(vx::known_record_tap_type.set_new(PyType_FromSpec(&tap_spec)));
}

nb::object native_pickle(const vx::Call &call) {
    static constexpr vx::Params<1> params{"_pickle5", {"value"}};
    auto [value] = call.bind(params);
    std::string out;
    Pickler pickler;
    if (!pickler.dump(out, value))
        return nb::none();
    return bytes_of(out);
}

} // namespace portan

// --- reading chunks back -------------------------------------------------------------------
//
// The replay's hot loop: the messages of a decompressed chunk, routed by channel and
// decoded here. A pickle of the kinds the taps write natively is read natively too;
// any other pickle goes to pickle.loads, which also raises for a broken one.

namespace portan {
namespace {

uint64_t get_le(const unsigned char *at, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | at[i];
    return value;
}

class Unpickler {
public:
    // The value of the pickle, a new reference; nullptr (no error set) when the
    // pickle holds what only the pickle module reads, or is not what it should be.
    PyObject *load(const unsigned char *data, size_t size) {
        at_ = data;
        end_ = data + size;
        PyObject *result = run();
        clear();
        return result;
    }

    ~Unpickler() { clear(); }

private:
    void clear() {
        for (PyObject *item : stack_)
            Py_DECREF(item);
        for (PyObject *item : memo_)
            Py_DECREF(item);
        stack_.clear();
        memo_.clear();
        marks_.clear();
    }

    bool take(size_t count, const unsigned char *&out) {
        if ((size_t)(end_ - at_) < count)
            return false;
        out = at_;
        at_ += count;
        return true;
    }

    bool push(PyObject *made) {
        if (!made) {
            PyErr_Clear();
            return false;
        }
        stack_.push_back(made);
        return true;
    }

    bool sized(int length_bytes, uint64_t &size, const unsigned char *&bytes) {
        const unsigned char *head;
        if (!take((size_t)length_bytes, head))
            return false;
        size = get_le(head, length_bytes);
        return size <= (uint64_t)(end_ - at_) && take((size_t)size, bytes);
    }

    // As in the pickle module, an opcode sees only the items above the top mark.
    size_t fence() const { return marks_.empty() ? 0 : marks_.back(); }

    // Items from the top mark on, in order; the mark is dropped.
    bool pop_mark(size_t &from) {
        if (marks_.empty() || marks_.back() > stack_.size())
            return false;
        from = marks_.back();
        marks_.pop_back();
        return true;
    }

    bool append_items(size_t from) {
        if (from == 0 || from - 1 < fence() || !PyList_CheckExact(stack_[from - 1]))
            return false;
        PyObject *list = stack_[from - 1];
        for (size_t i = from; i < stack_.size(); ++i)
            if (PyList_Append(list, stack_[i]) < 0) {
                PyErr_Clear();
                return false;
            }
        for (size_t i = from; i < stack_.size(); ++i)
            Py_DECREF(stack_[i]);
        stack_.resize(from);
        return true;
    }

    bool set_items(size_t from) {
        if (from == 0 || from - 1 < fence() || ((stack_.size() - from) & 1) || !PyDict_CheckExact(stack_[from - 1]))
            return false;
        PyObject *dict = stack_[from - 1];
        for (size_t i = from; i < stack_.size(); i += 2) {
            // Keys of the kinds read here hash without Python code; an unhashable one
            // (a list) fails, and the pickle module then says so.
            if (vx::exit_safe([&] { return PyDict_SetItem(dict, stack_[i], stack_[i + 1]); }) < 0) {
                PyErr_Clear();
                return false;
            }
        }
        for (size_t i = from; i < stack_.size(); ++i)
            Py_DECREF(stack_[i]);
        stack_.resize(from);
        return true;
    }

    bool tuple_of(size_t from) {
        const size_t count = stack_.size() - from;
        PyObject *tuple = PyTuple_New((Py_ssize_t)count);
        if (!tuple) {
            PyErr_Clear();
            return false;
        }
        for (size_t i = 0; i < count; ++i)
            PyTuple_SET_ITEM(tuple, (Py_ssize_t)i, stack_[from + i]);  // the stack's references move
        stack_.resize(from);
        stack_.push_back(tuple);
        return true;
    }

    PyObject *run() {
        const unsigned char *p;
        uint64_t size;
        while (at_ < end_) {
            const unsigned char code = *at_++;
            switch (code) {
                case 0x80:  // PROTO
                    if (!take(1, p) || p[0] > 5)
                        return nullptr;
                    break;
                case 0x95:  // FRAME: the pickle module refuses one longer than the data
                    if (!take(8, p) || get_le(p, 8) > (uint64_t)(end_ - at_))
                        return nullptr;
                    break;
                case 'N':
                    stack_.push_back(Py_NewRef(Py_None));
                    break;
                case 0x88:
                    stack_.push_back(Py_NewRef(Py_True));
                    break;
                case 0x89:
                    stack_.push_back(Py_NewRef(Py_False));
                    break;
                case 'K':
                    if (!take(1, p) || !push(PyLong_FromLong(p[0])))
                        return nullptr;
                    break;
                case 'M':
                    if (!take(2, p) || !push(PyLong_FromLong((long)get_le(p, 2))))
                        return nullptr;
                    break;
                case 'J':
                    if (!take(4, p) || !push(PyLong_FromLong((long)(int32_t)(uint32_t)get_le(p, 4))))
                        return nullptr;
                    break;
                case 0x8a: {  // LONG1, up to 8 bytes here
                    if (!take(1, p))
                        return nullptr;
                    const int count = p[0];
                    if (count > 8 || !take((size_t)count, p))
                        return nullptr;
                    uint64_t bits = count ? get_le(p, count) : 0;
                    if (count > 0 && count < 8 && (p[count - 1] & 0x80))
                        bits |= ~0ull << (8 * count);  // sign-extended
                    if (!push(PyLong_FromLongLong((long long)bits)))
                        return nullptr;
                    break;
                }
                case 'G': {
                    if (!take(8, p))
                        return nullptr;
                    const double value = PyFloat_Unpack8((const char *)p, 0);
                    if (value == -1.0 && PyErr_Occurred()) {
                        PyErr_Clear();
                        return nullptr;
                    }
                    if (!push(PyFloat_FromDouble(value)))
                        return nullptr;
                    break;
                }
                case 0x8c:  // SHORT_BINUNICODE
                case 'X':   // BINUNICODE
                    if (!sized(code == 'X' ? 4 : 1, size, p) ||
                        !push(PyUnicode_DecodeUTF8((const char *)p, (Py_ssize_t)size, "surrogatepass")))
                        return nullptr;
                    break;
                case 'C':  // SHORT_BINBYTES
                case 'B':  // BINBYTES
                    if (!sized(code == 'B' ? 4 : 1, size, p) ||
                        !push(PyBytes_FromStringAndSize((const char *)p, (Py_ssize_t)size)))
                        return nullptr;
                    break;
                case 0x96:  // BYTEARRAY8
                    if (!sized(8, size, p) || !push(PyByteArray_FromStringAndSize((const char *)p, (Py_ssize_t)size)))
                        return nullptr;
                    break;
                case ']':
                    if (!push(PyList_New(0)))
                        return nullptr;
                    break;
                case '}':
                    if (!push(PyDict_New()))
                        return nullptr;
                    break;
                case ')':
                    if (!push(PyTuple_New(0)))
                        return nullptr;
                    break;
                case '(':
                    marks_.push_back(stack_.size());
                    break;
                case 'a':
                    if (stack_.size() < fence() + 2 || !append_items(stack_.size() - 1))
                        return nullptr;
                    break;
                case 's':
                    if (stack_.size() < fence() + 3 || !set_items(stack_.size() - 2))
                        return nullptr;
                    break;
                case 'e':
                case 'u':
                case 't': {
                    size_t from;
                    if (!pop_mark(from))
                        return nullptr;
                    if (code == 't' ? !tuple_of(from) : code == 'e' ? !append_items(from) : !set_items(from))
                        return nullptr;
                    break;
                }
                case 0x85:
                case 0x86:
                case 0x87: {
                    const size_t count = (size_t)(code - 0x84);
                    if (stack_.size() < fence() + count || !tuple_of(stack_.size() - count))
                        return nullptr;
                    break;
                }
                case 0x94:  // MEMOIZE
                    if (stack_.size() <= fence())
                        return nullptr;
                    memo_.push_back(Py_NewRef(stack_.back()));
                    break;
                case 'h':
                case 'j': {
                    if (!take(code == 'h' ? 1 : 4, p))
                        return nullptr;
                    const uint64_t index = get_le(p, code == 'h' ? 1 : 4);
                    if (index >= memo_.size())
                        return nullptr;
                    stack_.push_back(Py_NewRef(memo_[index]));
                    break;
                }
                case '.':
                    if (stack_.size() != 1 || !marks_.empty() || at_ != end_)
                        return nullptr;
                    {
                        PyObject *result = stack_.back();
                        stack_.clear();
                        return result;
                    }
                default:
                    return nullptr;
            }
        }
        return nullptr;
    }

    const unsigned char *at_ = nullptr, *end_ = nullptr;
    std::vector<PyObject *> stack_;  // owned
    std::vector<PyObject *> memo_;   // owned
    std::vector<size_t> marks_;
};

} // namespace

// read_chunk(data, position, since, routes, loads): from `position` in a chunk's
// records, [(target, log time, value), ...] of the messages logged at `since` or
// later whose channel `routes` maps to (target, decoder): decoder None for the raw
// bytes, True for a pickle, else a callable of the bytes. A channel mapped to None
// is skipped. Returns (batch, position, stop): it stops before a channel record
// (stop 0) or a message on a channel `routes` lacks (stop: its id), or at the end
// (stop None); after a value that does not decode, stop is the exception it raised.
nb::object read_chunk(const vx::Call &call) {
    static constexpr vx::Params<5> params{"_read_chunk", {"data", "position", "since", "routes", "loads"}};
    auto [data, position_arg, since_arg, routes, loads] = call.bind(params);
    if (!PyDict_CheckExact(routes))
        vx::raise(PyExc_TypeError, "routes must be a dict");
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0)  // no Python code: bytes-like objects only
        vx::throw_error_already_set();
    struct Release {
        Py_buffer *view;
        ~Release() { PyBuffer_Release(view); }
    } release{&view};
    const Py_ssize_t start = PyLong_AsSsize_t(position_arg);
    if (start == -1 && PyErr_Occurred())
        vx::throw_error_already_set();
    const unsigned long long since = PyLong_AsUnsignedLongLong(since_arg);
    if (since == (unsigned long long)-1 && PyErr_Occurred())
        vx::throw_error_already_set();
    const unsigned char *bytes = (const unsigned char *)view.buf;
    const size_t end = (size_t)view.len;
    size_t position = start < 0 ? end : (size_t)start;
    nb::object batch = vx::steal_or_throw(PyList_New(0));
    nb::object stop = nb::none();
    Unpickler unpickler;
    long last_id = -1;
    nb::object target, decoder;  // held: a decoder's code may change `routes`
    bool skip = false;
    while (position + 9 <= end) {
        const unsigned char opcode = bytes[position];
        const uint64_t length = get_le(bytes + position + 1, 8);
        if (length > end - position - 9)
            break;  // a torn record: the caller's check of the chunk catches it
        if (opcode == 0x04) {
            stop = vx::steal_or_throw(PyLong_FromLong(0));
            break;
        }
        if (opcode != 0x05 || length < 22) {
            position += 9 + length;
            continue;
        }
        const long channel = (long)get_le(bytes + position + 9, 2);
        const uint64_t log_time = get_le(bytes + position + 15, 8);
        if (channel != last_id) {
            nb::object key = vx::steal_or_throw(PyLong_FromLong(channel));
            PyObject *entry = PyDict_GetItemWithError(routes, key.ptr());  // no Python code: int keys
            if (!entry) {
                if (PyErr_Occurred())
                    vx::throw_error_already_set();
                stop = key;
                break;
            }
            if (entry == Py_None) {
                skip = true;
            } else {
                if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 2)
                    vx::raise(PyExc_TypeError, "a route must be (target, decoder) or None");
                skip = false;
                target = nb::borrow(PyTuple_GET_ITEM(entry, 0));
                decoder = nb::borrow(PyTuple_GET_ITEM(entry, 1));
            }
            last_id = channel;
        }
        const size_t payload = position + 31;
        const size_t payload_size = (size_t)length - 22;
        position += 9 + length;
        if (skip || log_time < since)
            continue;
        nb::object value;
        if (decoder.is_none()) {
            value = vx::steal_or_throw(PyBytes_FromStringAndSize((const char *)bytes + payload, (Py_ssize_t)payload_size));
        } else {
            const bool pickled = decoder.ptr() == Py_True;
            PyObject *native = pickled ? unpickler.load(bytes + payload, payload_size) : nullptr;
            if (native) {
                value = nb::steal(native);
            } else {
                nb::object raw = vx::steal_or_throw(
                    PyBytes_FromStringAndSize((const char *)bytes + payload, (Py_ssize_t)payload_size));
                PyObject *function = pickled ? loads : decoder.ptr();
                // A value that does not decode ends the play; the values before it are kept.
                PyObject *made = vx::exit_safe([&] { return PyObject_CallOneArg(function, raw.ptr()); });
                if (!made) {
                    nb::object error = vx::steal_or_throw(PyErr_GetRaisedException());
                    nb::object at = vx::steal_or_throw(PyLong_FromSize_t(position));
                    return vx::steal_or_throw(PyTuple_Pack(3, batch.ptr(), at.ptr(), error.ptr()));
                }
                value = nb::steal(made);
            }
        }
        nb::object stamp = vx::steal_or_throw(PyLong_FromUnsignedLongLong(log_time));
        nb::object item = vx::steal_or_throw(PyTuple_Pack(3, target.ptr(), stamp.ptr(), value.ptr()));
        vx::check_status(PyList_Append(batch.ptr(), item.ptr()));
    }
    if (stop.is_none() && position + 9 > end)
        position = end;
    nb::object at = vx::steal_or_throw(PyLong_FromSize_t(position));
    return vx::steal_or_throw(PyTuple_Pack(3, batch.ptr(), at.ptr(), stop.ptr()));
}

} // namespace portan
