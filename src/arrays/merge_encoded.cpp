#include "arrays/merge_encoded.hpp"

#include <algorithm>
#include <cstring>

#include "base/bytes_le.hpp"
#include "exact/acc.hpp"

namespace vx {

const char* error_text(EncodedError e) {
    switch (e) {
        case EncodedError::WrongByteLength: return "wrong byte length";
        case EncodedError::Undefined: return "undefined (insufficient data or invalid input)";
        case EncodedError::EdgesDiffer: return "histograms have different edges";
    }
    return "";
}

namespace {

constexpr std::uint8_t kExtremaNan = 1, kExtremaHasValue = 2;
constexpr std::size_t kFlagsAt = 16, kCountAt = 17;

bool valid_extrema(std::span<const std::uint8_t> b) {
    const std::uint8_t flags = b[kFlagsAt];
    if (flags > (kExtremaNan | kExtremaHasValue)) return false;
    return (flags & kExtremaHasValue) || (get_u64(&b[0]) == 0 && get_u64(&b[8]) == 0);
}

// Histogram layout: n (u32), the undefined byte, n edges, n + 1 counts, the
// NaN count; 21 + 16·n bytes in all.
constexpr std::size_t kHistHead = 5;

std::uint32_t get_u32(const std::uint8_t* in) {
    return std::uint32_t(in[0]) | std::uint32_t(in[1]) << 8 | std::uint32_t(in[2]) << 16 |
           std::uint32_t(in[3]) << 24;
}

bool valid_histogram(std::span<const std::uint8_t> b) {
    if (b.size() < kHistHead || b[4] > 1) return false;
    const std::uint64_t n = get_u32(b.data());
    return n != 0 && b.size() == 16 * n + 21;
}

}  // namespace

Expected<ExtremaBytes, EncodedError> merge_extrema(std::span<const std::uint8_t> a,
                                                   std::span<const std::uint8_t> b) {
    if (a.size() != kExtremaBytes || b.size() != kExtremaBytes)
        return fail(EncodedError::WrongByteLength);
    if (!valid_extrema(a) || !valid_extrema(b)) return fail(EncodedError::Undefined);
    ExtremaBytes out{};
    const bool a_has = a[kFlagsAt] & kExtremaHasValue, b_has = b[kFlagsAt] & kExtremaHasValue;
    std::uint64_t lo = 0, hi = 0;  // both zero while neither side holds a value
    if (a_has) lo = get_u64(&a[0]), hi = get_u64(&a[8]);
    if (b_has) {
        const std::uint64_t b_lo = get_u64(&b[0]), b_hi = get_u64(&b[8]);
        if (!a_has || total_order_key(b_lo) < total_order_key(lo)) lo = b_lo;
        if (!a_has || total_order_key(b_hi) > total_order_key(hi)) hi = b_hi;
    }
    put_u64(&out[0], lo);
    put_u64(&out[8], hi);
    out[kFlagsAt] = a[kFlagsAt] | b[kFlagsAt];
    put_u64(&out[kCountAt], saturating_add(get_u64(&a[kCountAt]), get_u64(&b[kCountAt])));
    return out;
}

Expected<std::vector<std::uint8_t>, EncodedError> merge_histograms(
    std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    if (!valid_histogram(a) || !valid_histogram(b)) return fail(EncodedError::Undefined);
    const std::size_t n = get_u32(a.data());
    const std::size_t edges_end = kHistHead + 8 * n;
    if (a.size() != b.size() || !std::equal(a.begin(), a.begin() + 4, b.begin()) ||
        !std::equal(a.begin() + kHistHead, a.begin() + edges_end, b.begin() + kHistHead))
        return fail(EncodedError::EdgesDiffer);
    std::vector<std::uint8_t> out(a.begin(), a.end());
    out[4] = a[4] | b[4];
    // The n + 1 counts and the NaN count that follows them, word by word.
    for (std::size_t at = edges_end; at < a.size(); at += 8)
        put_u64(&out[at], saturating_add(get_u64(&a[at]), get_u64(&b[at])));
    return out;
}

}  // namespace vx
