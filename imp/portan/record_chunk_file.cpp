#include <algorithm>
#include <cerrno>
#include <dlfcn.h>
#include <unistd.h>

#include "record_chunk_file.hpp"

namespace portan::rec {

// --- writing closed chunks without the interpreter lock -------------------------------------
//
// The compressors are the system's zstd and lz4 libraries, when they can be loaded;
// without them the writer compresses through the Python packages instead.

namespace {

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

} // namespace portan::rec
