#pragma once
// Little-endian words, the byte order of the stream protocol and of the ring
// slots, stored and loaded byte by byte so the host's order never matters.

#include <cstdint>

namespace platform {

// Each store returns the position just past what it wrote.
inline uint8_t* store_le16(uint8_t* at, uint16_t value) {
    at[0] = uint8_t(value);
    at[1] = uint8_t(value >> 8);
    return at + 2;
}

inline uint8_t* store_le32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        at[i] = uint8_t(value >> (8 * i));
    return at + 4;
}

inline uint16_t load_le16(const uint8_t* at) { return uint16_t(at[0] | at[1] << 8); }

inline uint32_t load_le32(const uint8_t* at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

}  // namespace platform
