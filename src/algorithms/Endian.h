#pragma once
// Loads and stores of 32-bit words in a fixed byte order, independent of the
// host's. The cipher and the hashes are defined on these byte orders.

#include <bit>
#include <cstdint>
#include <cstring>

inline uint32_t ByteSwap32(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
}

inline uint32_t LoadBigEndian32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return std::endian::native == std::endian::big ? v : ByteSwap32(v);
}

inline void StoreBigEndian32(uint8_t* p, uint32_t v) {
    if constexpr (std::endian::native != std::endian::big) v = ByteSwap32(v);
    std::memcpy(p, &v, sizeof v);
}

// Two big-endian words in one 64-bit access (bytes 0..3 the first word), so
// a block written as a whole and read back as a whole never splits a store.
inline uint64_t ByteSwap64(uint64_t v) {
    return (uint64_t{ByteSwap32(static_cast<uint32_t>(v))} << 32) |
           ByteSwap32(static_cast<uint32_t>(v >> 32));
}

inline void LoadBigEndianPair(const uint8_t* p, uint32_t& first, uint32_t& second) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native != std::endian::big) v = ByteSwap64(v);
    first = static_cast<uint32_t>(v >> 32);
    second = static_cast<uint32_t>(v);
}

inline void StoreBigEndianPair(uint8_t* p, uint32_t first, uint32_t second) {
    uint64_t v = (uint64_t{first} << 32) | second;
    if constexpr (std::endian::native != std::endian::big) v = ByteSwap64(v);
    std::memcpy(p, &v, sizeof v);
}

inline uint32_t LoadLittleEndian32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return std::endian::native == std::endian::little ? v : ByteSwap32(v);
}

inline void StoreLittleEndian32(uint8_t* p, uint32_t v) {
    if constexpr (std::endian::native != std::endian::little) v = ByteSwap32(v);
    std::memcpy(p, &v, sizeof v);
}

inline uint32_t RotateLeft32(uint32_t v, int n) {
    return std::rotl(v, n);
}
