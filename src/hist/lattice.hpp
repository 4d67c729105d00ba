// Minimum and maximum in the IEEE 754 total order.
//
// Under the total order min and max are the meet and join of a lattice on
// bit patterns: each is associative, commutative and idempotent, so the
// extremes reached are the same bits whatever the order of the values, and
// -0.0 and +0.0 (distinct keys) always land in the same places.  A NaN is
// kept out of the extremes and only poisons the state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "hist/order_key.hpp"
#include "receipt/receipt.hpp"

namespace vx {

// min, max (8 bytes each), the flag byte, the count (8 bytes).
inline constexpr std::size_t kExtremaBytes = 8 + 8 + 1 + 8;
static_assert(kExtremaBytes == 25);
using ExtremaBytes = std::array<std::uint8_t, kExtremaBytes>;

// Flag bits, in the layout of the encoded flag byte.
inline constexpr std::uint8_t kSawNan = 1;
inline constexpr std::uint8_t kHasValue = 2;

struct ExtremaF64 {
    double min = 0.0;  // +0.0 (all bits zero) until a non-NaN value arrives
    double max = 0.0;
    std::uint64_t count = 0;  // values offered, NaNs included, saturating
    bool nan = false;
    bool has_value = false;
};

inline void add(ExtremaF64& s, double x) {
    s.count = saturating_inc(s.count);
    if (is_nan_bits(x)) {
        s.nan = true;
        return;
    }
    if (!s.has_value) {
        s.min = s.max = x;
        s.has_value = true;
        return;
    }
    const std::int64_t k = order_key(x);
    if (k < order_key(s.min)) s.min = x;
    if (k > order_key(s.max)) s.max = x;
}

// Absent for an empty or poisoned state.
std::optional<double> try_min(const ExtremaF64& s);
std::optional<double> try_max(const ExtremaF64& s);
// max - min, one binary64 subtraction: +inf when it overflows; the quiet NaN
// 0x7FF8...0 when both extremes are the same infinity.
std::optional<double> try_range(const ExtremaF64& s);

ExtremaBytes to_bytes(const ExtremaF64& s);
// Reads 25 bytes; absent when the flag byte is above 3, or when it says no
// value was offered while min or max is not all zero bits.  Anything else is
// taken as stored.
std::optional<ExtremaF64> from_bytes(const std::uint8_t* in);

inline Digest state_hash(const ExtremaF64& s) { return sha256(to_bytes(s)); }

}  // namespace vx
