#include <algorithm>
#include <cerrno>
#include <dlfcn.h>
#include <unistd.h>

#include "portan/record/chunk_file.hpp"

namespace portan {

// --- writing closed chunks without the interpreter lock -------------------------------------
//
// The compressors are the system's zstd and lz4 libraries, when they can be loaded;
// without them the writer compresses through the Python packages instead.

namespace {

struct Codecs {
    size_t (*zstd_bound)(size_t) = nullptr;
    size_t (*zstd_compress)(void *, size_t, const void *, size_t, int) = nullptr;
    // A context kept for the next chunk saves setting one up (and clearing its
    // tables) for each; without these the one-shot call makes its own.
    void *(*zstd_create)() = nullptr;
    size_t (*zstd_free)(void *) = nullptr;
    size_t (*zstd_compress_with)(void *, void *, size_t, const void *, size_t, int) = nullptr;
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
            found.zstd_create = (void *(*)())dlsym(zstd, "ZSTD_createCCtx");
            found.zstd_free = (size_t(*)(void *))dlsym(zstd, "ZSTD_freeCCtx");
            found.zstd_compress_with =
                (size_t(*)(void *, void *, size_t, const void *, size_t, int))dlsym(zstd, "ZSTD_compressCCtx");
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

// The zstd context of this thread (the writer's), freed when the thread ends.
struct ZstdContext {
    void *context = nullptr;
    ~ZstdContext() {
        if (context)
            codecs().zstd_free(context);
    }
};

void *zstd_context() {
    Codecs &c = codecs();
    if (!c.zstd_create || !c.zstd_free || !c.zstd_compress_with)
        return nullptr;
    static thread_local ZstdContext kept;
    if (!kept.context)
        kept.context = c.zstd_create();
    return kept.context;
}

constexpr int zstd_level = 3;  // the zstd package's default, as the Python writer uses

} // namespace

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

bool compress_into(Codec codec, const std::string &data, Compressed &out) {
    Codecs &c = codecs();
    if (codec == Codec::zstd) {
        const size_t bound = c.zstd_bound(data.size());
        char *room = out.room(bound);
        void *context = zstd_context();
        const size_t made = context ? c.zstd_compress_with(context, room, bound, data.data(), data.size(), zstd_level)
                                    : c.zstd_compress(room, bound, data.data(), data.size(), zstd_level);
        if (c.zstd_is_error(made)) {
            errno = EIO;
            return false;
        }
        out.size = made;
    } else {
        const size_t bound = c.lz4_bound(data.size(), nullptr);
        char *room = out.room(bound);
        const size_t made = c.lz4_compress(room, bound, data.data(), data.size(), nullptr);
        if (c.lz4_is_error(made)) {
            errno = EIO;
            return false;
        }
        out.size = made;
    }
    return true;
}

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

} // namespace portan
