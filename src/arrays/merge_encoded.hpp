// Merges of the states whose classes have an encoding but no merge: the
// histogram (21 + 16·n bytes) and the extrema (25 bytes).  Each works on the
// encodings alone and gives the encoding of the state that one object fed
// both inputs would hold.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "base/expected.hpp"

namespace vx {

enum class EncodedError { WrongByteLength, Undefined, EdgesDiffer };
const char* error_text(EncodedError e);

// The IEEE-754 total order as signed integers: the bit pattern, with the
// low 63 bits inverted when the sign bit is set, so that negative values
// order by decreasing magnitude and -0.0 (key -1) sits below +0.0 (key 0).
inline std::int64_t total_order_key(std::uint64_t bits) {
    const std::int64_t b = std::int64_t(bits);
    return b ^ std::int64_t(std::uint64_t(b >> 63) >> 1);
}

inline constexpr std::size_t kExtremaBytes = 25;
using ExtremaBytes = std::array<std::uint8_t, kExtremaBytes>;

// min of both mins and max of both maxes in the total order, over the sides
// that hold a value; NaN and has-value flags ORed; counts added, saturating.
// Undefined unless each side is a valid encoding (flags <= 3, zero extremes
// without a value).
Expected<ExtremaBytes, EncodedError> merge_extrema(std::span<const std::uint8_t> a,
                                                   std::span<const std::uint8_t> b);

// Counts and NaN counts added bin by bin, saturating; the undefined flags
// ORed.  Both encodings must be valid and carry bit-identical edges.
Expected<std::vector<std::uint8_t>, EncodedError> merge_histograms(
    std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);

}  // namespace vx
