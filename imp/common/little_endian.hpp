// Little-endian numbers in byte buffers: the one reader and writer of the formats
// the modules read and write (recordings, pickles). On a little-endian machine each
// is one load or store.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

namespace vx::le {

constexpr bool native = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// The `bytes` (1 to 8) little-endian bytes at `at`.
// (A byte loop: with a constant count the compiler makes it one load.)
inline uint64_t get(const unsigned char *at, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | at[i];
    return value;
}

// `bytes` little-endian bytes of `value` at `at`.
inline void put(char *at, uint64_t value, int bytes) {
    if constexpr (native) {
        std::memcpy(at, &value, (size_t)bytes);
    } else {
        for (int i = 0; i < bytes; ++i)
            at[i] = (char)((value >> (8 * i)) & 0xff);
    }
}

// `bytes` little-endian bytes of `value` after what `out` holds.
inline void append(std::string &out, uint64_t value, int bytes = 8) {
    char b[8];
    put(b, value, bytes);
    out.append(b, (size_t)bytes);
}

// A number whose bytes in memory are its little-endian bytes.
inline uint64_t in_memory(uint64_t value) {
    uint64_t out;
    put((char *)&out, value, 8);
    return out;
}

} // namespace vx::le
