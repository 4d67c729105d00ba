#include "hist/hist.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "base/bytes_le.hpp"
#include "exact/acc.hpp"

namespace vx {

std::optional<HistogramF64> make_histogram(std::span<const double> edges) {
    if (edges.empty() || edges.size() > kMaxEdges) return std::nullopt;
    for (std::size_t i = 0; i < edges.size(); ++i) {
        if (!is_finite_bits(edges[i])) return std::nullopt;
        if (i > 0 && order_key(edges[i - 1]) >= order_key(edges[i])) return std::nullopt;
    }
    HistogramF64 h;
    h.edge_keys.resize(edges.size());
    std::transform(edges.begin(), edges.end(), h.edge_keys.begin(), order_key);
    h.counts.assign(edges.size() + 1, 0);
    return h;
}

std::vector<double> edges(const HistogramF64& h) {
    std::vector<double> out(h.edge_keys.size());
    std::transform(h.edge_keys.begin(), h.edge_keys.end(), out.begin(), from_order_key);
    return out;
}

std::optional<std::vector<std::uint64_t>> try_counts(const HistogramF64& h) {
    if (h.undefined) return std::nullopt;
    return h.counts;
}

std::uint64_t total(const HistogramF64& h) {
    std::uint64_t t = 0;
    for (std::uint64_t c : h.counts) t = saturating_add(t, c);
    return t;
}

std::uint64_t quantile_rank(double q, std::uint64_t total) {
    constexpr std::uint64_t kExactLimit = std::uint64_t(1) << 53;
    std::uint64_t r;
    if (total <= kExactLimit) {
        // q*T <= T <= 2^53: the rounded product and its ceiling fit a u64.
        r = std::uint64_t(std::ceil(q * double(total)));
    } else if (q == 1.0) {
        r = total;
    } else {
        // 0 <= q < 1 is m * 2^-s with a 53-bit m and s >= 53 (m < 2^52 and
        // s = 1074 for a subnormal or zero; -0.0 passes the range check and
        // has m = 0).  m*T < 2^117 fits 128 bits, and ceil(m*T / 2^s) is the
        // quotient plus one for a non-zero remainder.
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(q);
        const unsigned e = unsigned(bits >> 52) & 0x7FF;
        const std::uint64_t frac = bits & ((std::uint64_t(1) << 52) - 1);
        const std::uint64_t m = e ? frac | (std::uint64_t(1) << 52) : frac;
        const unsigned s = e ? 1075 - e : 1074;
        const unsigned __int128 p = (unsigned __int128)m * total;
        if (s >= 128) {
            r = p != 0;
        } else {
            const unsigned __int128 low = p & (((unsigned __int128)1 << s) - 1);
            r = std::uint64_t(p >> s) + (low != 0);
        }
    }
    return r == 0 ? 1 : std::min(r, total);
}

std::optional<std::pair<double, double>> quantile_bounds(const HistogramF64& h, double q) {
    if (h.undefined || !(q >= 0.0 && q <= 1.0)) return std::nullopt;
    const std::uint64_t t = total(h);
    if (t == 0) return std::nullopt;
    const std::uint64_t r = quantile_rank(q, t);
    // r <= t and the running sum over all n + 1 bins is t: the walk stops by bin n.
    std::size_t i = 0;
    for (std::uint64_t run = h.counts[0]; run < r;) run = saturating_add(run, h.counts[++i]);
    const std::size_t n = h.edge_keys.size();
    if (i == 0 || i == n) return std::nullopt;
    return std::pair{from_order_key(h.edge_keys[i - 1]), from_order_key(h.edge_keys[i])};
}

std::vector<std::uint8_t> encode_bytes(const HistogramF64& h) {
    const std::uint64_t n = h.edge_keys.size();
    std::vector<std::uint8_t> out(hist_bytes(n));
    for (int k = 0; k < 4; ++k) out[k] = std::uint8_t(n >> (8 * k));
    out[4] = h.undefined;
    std::uint8_t* p = out.data() + kHistHeader;
    for (std::int64_t k : h.edge_keys) put_u64(p, std::uint64_t(flip_below_zero(k))), p += 8;
    for (std::uint64_t c : h.counts) put_u64(p, c), p += 8;
    put_u64(p, h.nan_count);
    return out;
}

std::optional<HistogramF64> decode_bytes(std::span<const std::uint8_t> b) {
    if (b.size() < kHistHeader || b[4] > 1) return std::nullopt;
    const std::uint64_t n = b[0] | b[1] << 8 | b[2] << 16 | std::uint64_t(b[3]) << 24;
    if (n == 0 || b.size() != hist_bytes(n)) return std::nullopt;
    HistogramF64 h;
    h.undefined = b[4];
    const std::uint8_t* p = b.data() + kHistHeader;
    h.edge_keys.resize(n);
    for (std::int64_t& k : h.edge_keys) k = flip_below_zero(std::int64_t(get_u64(p))), p += 8;
    h.counts.resize(n + 1);
    for (std::uint64_t& c : h.counts) c = get_u64(p), p += 8;
    h.nan_count = get_u64(p);
    return h;
}

}  // namespace vx
