// Little-endian reads and writes of 32- and 64-bit words, independent of the host's
// byte order, for the encodings.
#pragma once

#include <cstdint>

namespace vx {

inline void put_u64(std::uint8_t* out, std::uint64_t v) {
    for (int k = 0; k < 8; ++k) out[k] = std::uint8_t(v >> (8 * k));
}

inline void put_u32(std::uint8_t* out, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) out[k] = std::uint8_t(v >> (8 * k));
}

inline std::uint64_t get_u64(const std::uint8_t* in) {
    std::uint64_t v = 0;
    for (int k = 0; k < 8; ++k) v |= std::uint64_t(in[k]) << (8 * k);
    return v;
}

}  // namespace vx
