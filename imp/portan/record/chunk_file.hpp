// Compressing, checksumming and writing closed chunks, without the interpreter lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace portan {

enum class Codec { none, zstd, lz4 };

// Whether chunks can be written natively with `codec` (its library and zlib's crc32
// could be loaded). The first call, which loads them, holds the interpreter lock.
bool codec_available(Codec codec);

uint32_t crc_of(const std::string &data);

// Room for a compressed chunk, kept from one chunk to the next: no zero fill, no
// fresh pages.
struct Compressed {
    std::unique_ptr<char[]> bytes;
    size_t capacity = 0, size = 0;
    char *room(size_t needed) {
        if (needed > capacity) {
            bytes.reset(new char[needed]);
            capacity = needed;
        }
        return bytes.get();
    }
    const char *data() const { return bytes.get(); }
};

// False with `errno` set when the chunk could not be compressed. Each thread keeps
// its own compression context.
bool compress_into(Codec codec, const std::string &data, Compressed &out);

// All of `parts` at `position`, or false with errno set and the file cut back to
// `position` (a chunk is on disk whole or not at all).
bool write_all(int fd, uint64_t position, const std::vector<std::pair<const char *, size_t>> &parts,
               uint64_t &written);

struct Written {
    uint64_t start, end, offset, chunk_length, index_length, compressed, uncompressed;
    std::vector<std::tuple<uint16_t, uint64_t, uint64_t>> indexes;  // channel, offset, messages
};

} // namespace portan
