#include "hist/lattice.hpp"

#include <bit>
#include <limits>

#include "base/bytes_le.hpp"
#include "base/fpenv.hpp"

namespace vx {

namespace {

bool defined(const ExtremaF64& s) { return s.has_value && !s.nan; }

}  // namespace

std::optional<double> try_min(const ExtremaF64& s) {
    return defined(s) ? std::optional(s.min) : std::nullopt;
}

std::optional<double> try_max(const ExtremaF64& s) {
    return defined(s) ? std::optional(s.max) : std::nullopt;
}

// A NaN difference (inf - inf, or a decoded NaN extreme) is returned as the
// one quiet NaN with sign 0: the sign and payload the hardware gives an
// invalid operation differ between machines (x86 sets the sign bit, ARM
// does not), and every result must be the same bits everywhere.
std::optional<double> try_range(const ExtremaF64& s) {
    if (!defined(s)) return std::nullopt;
    const DefaultFpEnv env;  // the difference rounded to nearest, subnormal extremes read as they are
    const double r = s.max - s.min;
    return r == r ? r : std::numeric_limits<double>::quiet_NaN();
}

ExtremaBytes to_bytes(const ExtremaF64& s) {
    ExtremaBytes out;
    put_u64(out.data(), std::bit_cast<std::uint64_t>(s.min));
    put_u64(out.data() + 8, std::bit_cast<std::uint64_t>(s.max));
    out[16] = std::uint8_t((s.nan ? kSawNan : 0) | (s.has_value ? kHasValue : 0));
    put_u64(out.data() + 17, s.count);
    return out;
}

std::optional<ExtremaF64> from_bytes(const std::uint8_t* in) {
    const std::uint64_t lo = get_u64(in), hi = get_u64(in + 8);
    const std::uint8_t flags = in[16];
    if (flags > (kSawNan | kHasValue)) return std::nullopt;
    if (!(flags & kHasValue) && (lo | hi) != 0) return std::nullopt;
    return ExtremaF64{std::bit_cast<double>(lo), std::bit_cast<double>(hi), get_u64(in + 17),
                      bool(flags & kSawNan), bool(flags & kHasValue)};
}

}  // namespace vx
