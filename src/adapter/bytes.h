// Little-endian loads and stores on byte buffers. Every record that crosses
// the driver boundary is read and written through these, never by casting a
// struct over a buffer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fcboot {

inline std::uint16_t LoadLe16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t LoadLe32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline std::uint64_t LoadLe64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(LoadLe32(p)) |
           (static_cast<std::uint64_t>(LoadLe32(p + 4)) << 32);
}

inline void StoreLe16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void StoreLe32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

inline void StoreLe64(std::uint8_t* p, std::uint64_t v) {
    StoreLe32(p, static_cast<std::uint32_t>(v));
    StoreLe32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

// Copies a string field of a driver record into a destination of destSize
// bytes: at most srcSize source bytes, stopping at a terminator, always
// terminated, the rest of the destination zero. Driver strings may fill their
// field with no terminator, so neither side is read or written past its size.
inline void CopyBoundedString(char* dest, std::size_t destSize, const char* src,
                              std::size_t srcSize) {
    if (destSize == 0) return;
    std::size_t n = 0;
    while (n < srcSize && n + 1 < destSize && src[n] != '\0') {
        dest[n] = src[n];
        ++n;
    }
    for (std::size_t i = n; i < destSize; ++i) dest[i] = '\0';
}

// Length of a string held in a field of fieldSize bytes, which may lack a
// terminator.
inline std::size_t BoundedLength(const char* s, std::size_t fieldSize) {
    std::size_t n = 0;
    while (n < fieldSize && s[n] != '\0') ++n;
    return n;
}

}  // namespace fcboot
