// Little-endian reads and writes of 32- and 64-bit words, independent of the
// host's byte order, for the encodings.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vx {

template <class U>
inline void put_le(std::uint8_t* out, U v) {
    for (std::size_t k = 0; k < sizeof(U); ++k) out[k] = std::uint8_t(v >> (8 * k));
}

template <class U>
inline U get_le(const std::uint8_t* in) {
    U v = 0;
    for (std::size_t k = 0; k < sizeof(U); ++k) v |= U(in[k]) << (8 * k);
    return v;
}

inline void put_u64(std::uint8_t* out, std::uint64_t v) { put_le(out, v); }
inline std::uint64_t get_u64(const std::uint8_t* in) { return get_le<std::uint64_t>(in); }
inline void put_u32(std::uint8_t* out, std::uint32_t v) { put_le(out, v); }
inline std::uint32_t get_u32(const std::uint8_t* in) { return get_le<std::uint32_t>(in); }

}  // namespace vx
